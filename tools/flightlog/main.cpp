// velmora-flightlog: reads a flight log the station recorded and turns it into CSV, a summary, a
// plot, or a replay towards a station.

#include "FlightLog.h"
#include "FlightLogColumns.h"
#include "FlightLogReplay.h"
#include "FlightLogSummary.h"
#ifdef VELMORA_FLIGHTLOG_CHARTS
#include "FlightLogPlot.h"
#include <QApplication>
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSaveFile>

#include <cstdio>
#include <memory>

using namespace flightlog;

namespace {

constexpr int kBadInput = 1;
constexpr int kUsage = 2;

int failWith(const QString& message, int code = kBadInput)
{
    std::fprintf(stderr, "velmora-flightlog: %s\n", qPrintable(message));
    return code;
}

// Written whole or not at all: a failure leaves no partial file behind.
bool writeAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString helpText()
{
    QString keys;
    for (const auto& c : columns())
        keys += QString::fromUtf8(c.key) + ' ';
    return QStringLiteral(
               "Usage: velmora-flightlog FILE MODE\n"
               "Reads a flight log (data/flightData/Flight_<vehicle>_<time>.xlsx, tab-separated text).\n\n"
               "Modes:\n"
               "  --csv OUT                         RFC 4180 CSV with English column keys\n"
               "  --summary [--json] [-o OUT]       duration, take-off/landing, maxima, distance, battery,\n"
               "                                    satellites, alerts; a table, or JSON with --json\n"
               "  --plot KEY[,KEY...] -o OUT.png [--size WxH]\n"
               "                                    columns against time, one panel per unit (default 1200x800)\n"
               "  --replay --udp HOST:PORT [--rate X] [--listen PORT] [--id N]\n"
               "                                    plays the log as a vehicle to a station over UDP\n"
               "  --help                            this text\n\n"
               "Exit status: 0 done, 1 bad input or failure (nothing written), 2 bad usage.\n\n"
               "Column keys: %1\n")
        .arg(keys.trimmed());
}

#ifdef VELMORA_FLIGHTLOG_CHARTS
// Only a plot needs a QApplication (Qt Charts draws with widgets); the rest runs on Qt Core.
bool wantsPlot(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "--plot") == 0)
            return true;
    return false;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<QCoreApplication> app;
#ifdef VELMORA_FLIGHTLOG_CHARTS
    if (wantsPlot(argc, argv)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    }
#endif
    if (!app)
        app = std::make_unique<QCoreApplication>(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption csv("csv", "CSV output.", "OUT");
    const QCommandLineOption summary("summary", "Summary.");
    const QCommandLineOption json("json", "Summary as JSON.");
    const QCommandLineOption output("o", "Output file.", "OUT");
    const QCommandLineOption plot("plot", "Columns to plot.", "KEYS");
    const QCommandLineOption size("size", "Plot size.", "WxH", "1200x800");
    const QCommandLineOption replay("replay", "Replay.");
    const QCommandLineOption udp("udp", "Station address.", "HOST:PORT");
    const QCommandLineOption rate("rate", "Replay speed.", "X", "1");
    const QCommandLineOption listen("listen", "Local UDP port.", "PORT", "0");
    const QCommandLineOption id("id", "Vehicle id.", "N");
    const QCommandLineOption help(QStringList{"h", "help"}, "Help.");
    parser.addOptions({csv, summary, json, output, plot, size, replay, udp, rate, listen, id, help});
    if (!parser.parse(app->arguments()))
        return failWith(parser.errorText() + "\n" + helpText(), kUsage);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText()), stdout);
        return 0;
    }
    const int modes =
        int(parser.isSet(csv)) + int(parser.isSet(summary)) + int(parser.isSet(plot)) + int(parser.isSet(replay));
    if (parser.positionalArguments().size() != 1 || modes != 1)
        return failWith(QStringLiteral("give one FILE and one mode\n") + helpText(), kUsage);
#ifndef VELMORA_FLIGHTLOG_CHARTS
    if (parser.isSet(plot))
        return failWith(QStringLiteral("--plot is not available: this build was made without Qt Charts "
                                       "(install qt6-charts-dev and configure again)"));
#endif
    if (parser.isSet(plot) && !parser.isSet(output))
        return failWith(QStringLiteral("--plot needs -o FILE.png"), kUsage);

    FlightLog log;
    QString error;
    if (!log.read(parser.positionalArguments().first(), &error))
        return failWith(error);

    if (parser.isSet(csv)) {
        if (!writeAtomically(parser.value(csv), toCsv(log), &error))
            return failWith(error);
        return 0;
    }
    if (parser.isSet(summary)) {
        const auto s = summarize(log);
        const QByteArray text = QByteArray::fromStdString(parser.isSet(json) ? s.dump(2) + "\n" : summaryText(s));
        if (!parser.isSet(output)) {
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            return 0;
        }
        if (!writeAtomically(parser.value(output), text, &error))
            return failWith(error);
        return 0;
    }
#ifdef VELMORA_FLIGHTLOG_CHARTS
    if (parser.isSet(plot)) {
        const auto m = QRegularExpression(QStringLiteral("^(\\d{2,5})x(\\d{2,5})$")).match(parser.value(size));
        if (!m.hasMatch())
            return failWith(QStringLiteral("--size wants WxH, e.g. 1200x800"), kUsage);
        QImage image;
        if (!plotColumns(log, parser.value(plot).split(',', Qt::SkipEmptyParts),
                         QSize(m.captured(1).toInt(), m.captured(2).toInt()), &image, &error))
            return failWith(error);
        QSaveFile file(parser.value(output));
        if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
            return failWith(
                QStringLiteral("%1: cannot write the PNG: %2").arg(parser.value(output), file.errorString()));
        return 0;
    }
#endif
    // Replay.
    FlightLogReplay::Options options;
    const QString target = parser.value(udp);
    const int colon = target.lastIndexOf(':');
    bool portOk = false;
    options.port = quint16(target.mid(colon + 1).toUInt(&portOk));
    if (colon <= 0 || !portOk || options.port == 0 ||
        !options.host.setAddress(target.left(colon) == "localhost" ? QStringLiteral("127.0.0.1") : target.left(colon)))
        return failWith(QStringLiteral("--replay needs --udp HOST:PORT with a numeric address"), kUsage);
    bool ok = false;
    options.rate = parser.value(rate).toDouble(&ok);
    if (!ok || !(options.rate > 0 && options.rate <= 1000))
        return failWith(QStringLiteral("--rate wants a number above 0, at most 1000"), kUsage);
    options.listenPort = quint16(parser.value(listen).toUInt(&ok));
    if (!ok)
        return failWith(QStringLiteral("--listen wants a port number"), kUsage);
    const QString idText = parser.isSet(id) ? parser.value(id) : log.vehicleTag();
    const int vehicleId = idText.toInt(&ok);
    options.vehicleId = ok && vehicleId >= 1 && vehicleId <= 254 ? vehicleId : 1;
    if (parser.isSet(id) && options.vehicleId != vehicleId)
        return failWith(QStringLiteral("--id wants 1..254"), kUsage);
    FlightLogReplay player(log, options);
    if (!player.start(&error))
        return failWith(error);
    QObject::connect(&player, &FlightLogReplay::finished, app.get(), [] { QCoreApplication::exit(0); });
    std::printf("replaying %zu rows as vehicle %d from UDP port %u to %s at rate %g\n", log.rowCount(),
                options.vehicleId, unsigned(player.localPort()), qPrintable(target), options.rate);
    std::fflush(stdout);
    return app->exec();
}
