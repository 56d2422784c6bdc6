#pragma once
// Command line of velmora-station.
//
// The broker password comes from --mqtt-password (visible in the process list until parsed),
// --mqtt-password-file (a regular file of mode 0600 or stricter, one trailing newline dropped)
// or, when neither is given, the VELMORA_MQTT_PASSWORD environment variable, which is then
// removed from the environment. The two options exclude each other.

#include <QString>
#include <QStringList>

#include "bridge/MavlinkLinks.h"

#include <optional>
#include <vector>

struct StationOptions {
    QString dataDir;  // empty: the platform's standard locations
    QString logLevel = QStringLiteral("info");
    int logMaxMb = 20;  // rotate the log file at this size
    int logFiles = 5;  // log files kept, the current one included
    static constexpr int kMostLogMb = 4096;
    static constexpr int kMostLogFiles = 1000;
    static constexpr int kMostSocketPathBytes = 107;
    static constexpr int kMinHttpRateHz = 1;
    static constexpr int kMostHttpRateHz = 50;
    std::optional<quint16> udpLocalPort;
    quint16 udpDevicePort = 0;  // 0: answer to the heartbeat's source port
    QString serialPath;
    int serialBaud = 115200;
    QString cloudUrl;
    QString mqttUri;
    QString mqttUser;
    QString mqttPassword;
    QString mqttCaFile;  // the CAs of an mqtts:// broker; empty: the system's store
    static constexpr const char* kPasswordEnv = "VELMORA_MQTT_PASSWORD";
    static constexpr int kMostPasswordFileBytes = 4096;
    bool noCloud = false;
    // A forced firmware update skips the landed-and-disarmed check: only where no aircraft flies.
    bool allowForcedFirmware = false;  // no cloud URL and no broker: nothing leaves the machine but the link
    QString endpointDir;  // empty: the CLI endpoint below $TMPDIR
    // The fleet page (src/web): off unless --http is given; port 0 picks a free one.
    std::optional<quint16> httpPort;
    QString httpBind = QStringLiteral("127.0.0.1");
    int httpRateHz = 5;
    QString mapTiles;  // tile URL template for the page's map; empty: no tiles
    // Publishing the fleet to a broker for velmora-fleetview (cloud/FleetPublisher.h); off
    // without --fleet-broker. The password from --fleet-password-file or VELMORA_FLEET_PASSWORD
    // (then removed from the environment), as for --mqtt. It is not the cloud: --no-cloud
    // leaves it on.
    QString fleetBroker;
    QString stationId;
    QString fleetUser;
    int fleetStatusEverySec = 5;
    QString fleetPassword;
    static constexpr const char* kFleetPasswordEnv = "VELMORA_FLEET_PASSWORD";
    static QString checkFleetOptions(const StationOptions& options);
    // The MAVLink bridge (src/bridge): off without --mavlink.
    std::vector<MavlinkEndpoint> mavlink;
    bool mavlinkControl = false;
    std::optional<mavlink::SigningKey> mavlinkKey;
    QString mavlinkBind;  // empty: 127.0.0.1
    // The catalogue from :/i18n; empty: the system locale's, English where it has none.
    QString language;
    static const QStringList& languages();

    // Parses argv; on failure returns the error text (the caller prints it and exits 2).
    static QString parse(int argc, char** argv, StationOptions& out);
    static QString usage();
};
