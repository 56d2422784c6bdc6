#pragma once
// Command line of velmora-fleetview. The broker password comes from --password-file (mode 0600
// or stricter) or VELMORA_FLEET_PASSWORD, never from the command line. Every option is also a
// key of the configuration file (--config FILE, TOML, as velmora-station's; the installed program
// reads kDefaultConfig when there is one); the command line wins.

#include "ProgramConfig.h"

#include <QString>

#include <optional>
#include <vector>

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
    QString logFormat = QStringLiteral("text");
    QString passwordFile;
    int httpPerPeer = 8;
    QString metricsBind;  // /metrics, /healthz, /readyz also on this address (default: loopback only)
    QString configFile;
    bool printConfig = false;
    progconfig::Sources sources;
    static constexpr const char* kDefaultConfig = "/etc/velmora/fleetview.conf";
    static const std::vector<progconfig::Spec>& specs();
    static QString describe(const FleetViewOptions& options);
    double forgetAfterH = 24;  // a station not heard from for this long is forgotten
    static constexpr const char* kPasswordEnv = "VELMORA_FLEET_PASSWORD";

    // An error text (the caller prints it with the usage and exits 2), "help", or empty.
    static QString parse(int argc, char** argv, FleetViewOptions& out);
    static QString usage();
};
