#pragma once
// Command line of velmora-station.
//
// Every option is also a key of the configuration file (--config FILE, TOML; see
// tools/service/ProgramConfig.h): the command line wins over the file, the file over the
// defaults, and an error in the file names the file, the line and the key. The installed program
// reads kDefaultConfig when no --config is given.
//
// The broker password comes from --mqtt-password (visible in the process list until parsed),
// --mqtt-password-file (a regular file of mode 0600 or stricter, one trailing newline dropped)
// or, when neither is given, the VELMORA_MQTT_PASSWORD environment variable, which is then
// removed from the environment. The two options exclude each other.

#include <QString>
#include <QStringList>

#include "ProgramConfig.h"

#include "bridge/MavlinkLinks.h"

#include <optional>
#include <vector>

struct StationOptions {
    QString dataDir;  // empty: the platform's standard locations
    QString logLevel = QStringLiteral("info");
    // "text": one line per event; "json": one JSON object per line, for log shippers. Under
    // systemd (JOURNAL_STREAM names standard error) the log goes to standard error only, without
    // the time (the journal adds it); otherwise also to DATA/logs/station.log, rotated.
    QString logFormat = QStringLiteral("text");
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
    QString mqttPasswordFile;
    QString mqttCaFile;  // the CAs of an mqtts:// broker; empty: the system's store
    static constexpr const char* kPasswordEnv = "VELMORA_MQTT_PASSWORD";
    static constexpr int kMostPasswordFileBytes = 4096;
    bool noCloud = false;
    // A forced firmware update skips the landed-and-disarmed check: only where no aircraft flies.
    bool allowForcedFirmware = false;  // no cloud URL and no broker: nothing leaves the machine but the link
    // The CLI endpoint's directory; empty: $RUNTIME_DIRECTORY (systemd's RuntimeDirectory=), else
    // $XDG_RUNTIME_DIR/velmora, else $TMPDIR/velmora-UID (see StationEndpoint.h).
    QString endpointDir;
    // The fleet page (src/web): off unless --http is given; port 0 picks a free one.
    std::optional<quint16> httpPort;
    QString httpBind = QStringLiteral("127.0.0.1");
    int httpRateHz = 10;
    int httpPerPeer = 8;  // page connections and WebSocket clients one peer address may hold
    static constexpr int kMostHttpPerPeer = 32;
    // /metrics, /healthz and /readyz answer connections to a loopback address, and to this one
    // (an address the page listens on, or 0.0.0.0 for any) when set.
    QString metricsBind;
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
    QString fleetPasswordFile;
    static constexpr const char* kFleetPasswordEnv = "VELMORA_FLEET_PASSWORD";
    static QString checkFleetOptions(const StationOptions& options);
    // The MAVLink bridge (src/bridge): off without --mavlink.
    std::vector<MavlinkEndpoint> mavlink;
    bool mavlinkControl = false;
    std::optional<mavlink::SigningKey> mavlinkKey;
    QString mavlinkKeyFile;
    QString mavlinkBind;  // empty: 127.0.0.1
    // The catalogue from :/i18n; empty: the system locale's, English where it has none.
    QString language;
    static const QStringList& languages();

    // The configuration file read (empty: none), --print-config, where each value came from, and
    // the command line as parsed (read again on a reload).
    QString configFile;
    bool printConfig = false;
    progconfig::Sources sources;
    std::vector<progconfig::Setting> commandLine;
    static constexpr const char* kDefaultConfig = "/etc/velmora/station.conf";

    // Parses argv and the configuration file; on failure returns the error text (the caller
    // prints it and exits 2); "help" for -h.
    static QString parse(int argc, char** argv, StationOptions& out);
    // The options again from the same command line and configuration file (SIGHUP). Passwords
    // taken from the environment at the start are kept.
    static QString reload(const StationOptions& current, StationOptions& out);
    // The effective configuration as a configuration file, each value with its source.
    static QString describe(const StationOptions& options);
    static const std::vector<progconfig::Spec>& specs();
    static QString usage();
};
