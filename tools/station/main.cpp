// velmora-station: the library as a headless station (StationRuntime holds the process).

#include "StationRuntime.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    StationOptions options;
    const QString error = StationOptions::parse(argc, argv, options);
    // The broker password stays out of ps and /proc/<pid>/cmdline.
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mqtt-password") == 0)
            std::memset(argv[i + 1], '*', std::strlen(argv[i + 1]));
    if (error == "help") {
        std::fputs(StationOptions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!error.isEmpty()) {
        // A mistake in the file is shown alone: the usage would bury the line that names it.
        const bool inFile = !options.configFile.isEmpty() && error.startsWith(options.configFile + ":");
        std::fprintf(stderr, "velmora-station: %s\n%s", qPrintable(error),
                     inFile ? "" : qPrintable(StationOptions::usage()));
        return 2;
    }
    StationRuntime station(std::move(options), QStringLiteral("velmora-station"), true);
    if (const int rc = station.start(argc, argv))
        return rc;
    return station.exec();
}
