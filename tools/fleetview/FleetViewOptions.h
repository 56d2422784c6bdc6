#pragma once
// Command line of velmora-fleetview. The broker password comes from --password-file (mode 0600
// or stricter) or VELMORA_FLEET_PASSWORD, never from the command line.

#include <QString>

#include <optional>

struct FleetViewOptions {
    QString broker;  // mqtt://HOST:PORT or mqtts://HOST:PORT
    QString user;
    QString password;
    QString caFile;  // the CAs of an mqtts:// broker; empty: the system's store
    quint16 httpPort = 0;
    QString httpBind = QStringLiteral("127.0.0.1");
    int httpRateHz = 5;
    QString mapTiles;
    QString logLevel = QStringLiteral("info");
    double forgetAfterH = 24;  // a station not heard from for this long is forgotten
    static constexpr const char* kPasswordEnv = "VELMORA_FLEET_PASSWORD";

    // An error text (the caller prints it with the usage and exits 2), "help", or empty.
    static QString parse(int argc, char** argv, FleetViewOptions& out);
    static QString usage();
};
