#pragma once
// velmora-desk's own options, taken out of argv before the station's parser sees the rest:
//   --tiles DIR       raster map tiles DIR/z/x/y.png (web mercator), drawn under the map
//   --geometry WxH    the window's size (default 1280x800)

#include <QSize>
#include <QString>

struct DeskOptions {
    QString tilesDir;
    QSize geometry{1280, 800};
    static constexpr int kMinSide = 320;
    static constexpr int kMaxSide = 8192;

    // Removes the desk's options from argv (argc shrinks); on a bad value returns why.
    static QString take(int& argc, char** argv, DeskOptions& out);
    static QString usage();
};
