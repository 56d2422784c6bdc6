#include "DeskOptions.h"

#include <QDir>
#include <QRegularExpression>

#include <cstring>

QString DeskOptions::take(int& argc, char** argv, DeskOptions& out)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const bool tiles = std::strcmp(argv[i], "--tiles") == 0;
        const bool geometry = std::strcmp(argv[i], "--geometry") == 0;
        if (!tiles && !geometry) {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= argc)
            return QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(argv[i]));
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (tiles) {
            if (!QDir(value).exists())
                return QStringLiteral("--tiles: no folder %1").arg(value);
            out.tilesDir = QDir(value).absolutePath();
            continue;
        }
        const auto m = QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(value);
        const int w = m.hasMatch() ? m.captured(1).toInt() : 0;
        const int h = m.hasMatch() ? m.captured(2).toInt() : 0;
        if (w < kMinSide || h < kMinSide || w > kMaxSide || h > kMaxSide)
            return QStringLiteral("--geometry must be WIDTHxHEIGHT, each %1..%2 pixels, not %3")
                .arg(kMinSide)
                .arg(kMaxSide)
                .arg(value);
        out.geometry = QSize(w, h);
    }
    argc = kept;
    argv[argc] = nullptr;
    return {};
}

QString DeskOptions::usage()
{
    return QStringLiteral("velmora-desk: the station with its operator window. The station's options, and:\n"
                          "  --tiles DIR       map tiles DIR/z/x/y.png drawn under the map (none: a metric grid)\n"
                          "  --geometry WxH    window size in pixels (default 1280x800)\n");
}
