#include "StationOptions.h"

#include "automation/GcsCliIpcServer.h"
#include "bridge/MavlinkBridge.h"
#include "cloud/FleetPublisher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The password in path; an error text when the file is not private or cannot be read.
QString readPasswordFile(const QString& path, QString& password, const QString& option = "--mqtt-password-file")
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("%1: cannot open '%2'").arg(option, path);
    struct stat st { };
    QString err;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = QStringLiteral("%1: '%2' is not a regular file").arg(option, path);
    } else if ((st.st_mode & 077) != 0) {
        // Others could read the secret: refused rather than used.
        err = QStringLiteral("%1: '%2' has mode %3, it must be 0600 or stricter (chmod 600 '%2')")
                  .arg(option, path, QString::number(st.st_mode & 0777, 8).rightJustified(4, '0'));
    } else if (st.st_size > StationOptions::kMostPasswordFileBytes) {
        err = QStringLiteral("%1: '%2' is larger than %3 bytes")
                  .arg(option, path)
                  .arg(StationOptions::kMostPasswordFileBytes);
    } else {
        QByteArray bytes(StationOptions::kMostPasswordFileBytes + 1, '\0');
        qsizetype got = 0;
        ssize_t n = 0;
        while (got < bytes.size() && (n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got))) > 0)
            got += n;
        if (n < 0)
            err = QStringLiteral("%1: cannot read '%2'").arg(option, path);
        bytes.truncate(got);
        if (bytes.endsWith('\n'))
            bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
        password = QString::fromUtf8(bytes);
    }
    ::close(fd);
    return err;
}

}  // namespace

QString StationOptions::checkFleetOptions(const StationOptions& o)
{
    if (o.fleetBroker.isEmpty())
        return o.stationId.isEmpty() && o.fleetUser.isEmpty()
                   ? QString()
                   : QStringLiteral("--station-id and --fleet-user go with --fleet-broker");
    if (o.stationId.isEmpty())
        return QStringLiteral("--fleet-broker needs --station-id NAME");
    if (const QString why = FleetPublisher::checkBrokerUri(o.fleetBroker); !why.isEmpty())
        return "--fleet-broker: " + why;
    if (const QString why = FleetPublisher::checkStationId(o.stationId); !why.isEmpty())
        return "--station-id: " + why;
    return {};
}

const QStringList& StationOptions::languages()
{
    static const QStringList names{QStringLiteral("en"), QStringLiteral("zh_CN")};
    return names;
}

QString StationOptions::usage()
{
    return QStringLiteral(
        "Usage: velmora-station [options]\n"
        "Headless ground station: the VelmoraCore library with its CLI endpoint, driven by velmora-cli.\n"
        "Every option is also a key of the configuration file (TOML: log-level = \"debug\",\n"
        "http = 8470, no-cloud = true, mavlink = [\"tcpin:5760\"]); the command line wins.\n"
        "  --config FILE             read the options from FILE (the installed program reads\n"
        "                            /etc/velmora/station.conf when there is one)\n"
        "  --no-config               read no configuration file\n"
        "  --print-config            print the effective configuration with the source of each\n"
        "                            value, and exit\n"
        "  --data-dir DIR            settings, caches, flight data and logs below DIR\n"
        "  --udp LOCALPORT[:DEVPORT] connect a UDP link at start (DEVPORT: the vehicle's receive port)\n"
        "  --serial PATH:BAUD        connect a serial link at start\n"
        "  --log-level LEVEL         trace, debug, info, warn, err (default info)\n"
        "  --log-max-mb N            rotate the log file at N MiB (1-4096, default 20)\n"
        "  --log-files K             log files kept, the current one included (1-1000, default 5)\n"
        "  --log-format FORMAT       text or json (one JSON object a line); under systemd the log\n"
        "                            goes to standard error only, for the journal\n"
        "  --cloud-url URL           cloud HTTP API base URL (with neither it nor --mqtt the\n"
        "                            cloud is off: no cloud call, no broker)\n"
        "  --mqtt URI                MQTT broker, tcp://host:port or mqtts://host[:port] (TLS, 8883)\n"
        "  --mqtt-ca FILE            PEM file of the CAs that vouch for an mqtts:// broker\n"
        "                            (default: the system's CA store)\n"
        "  --mqtt-user USER\n"
        "  --mqtt-password-file FILE the broker password, read from FILE (mode 0600 or stricter);\n"
        "                            or set VELMORA_MQTT_PASSWORD; --mqtt-password PASSWORD is\n"
        "                            seen by other users until the station has started\n"
        "  --no-cloud                no cloud HTTP and no MQTT, said explicitly (excludes\n"
        "                            --cloud-url and --mqtt)\n"
        "  --allow-forced-firmware   accept firmware.update with \"force\" (benches and simulators only)\n"
        "  --endpoint-dir DIR        put the CLI endpoint socket in DIR (an existing directory)\n"
        "                            instead of $RUNTIME_DIRECTORY, $XDG_RUNTIME_DIR/velmora or\n"
        "                            $TMPDIR/velmora-UID; velmora-cli --endpoint DIR/Tarnwick_CliIpc_v1\n"
        "  --http PORT               serve the fleet page on PORT (0: a free port); off without it\n"
        "  --http-bind ADDR          the fleet page's IP address or localhost (default 127.0.0.1; the\n"
        "                            page has no login: another address is reachable by anyone)\n"
        "  --http-rate-hz N          fleet page updates per second (1-50, default 10)\n"
        "  --http-per-peer N         page connections one peer address may hold (1-32, default 8)\n"
        "  --metrics-bind ADDR       answer /metrics, /healthz and /readyz on ADDR too (default:\n"
        "                            loopback only; 0.0.0.0: any address the page listens on)\n"
        "  --map-tiles URL_TEMPLATE  map tiles for the fleet page, e.g. https://tile.example/{z}/{x}/{y}.png\n"
        "  --fleet-broker URL        publish this station's fleet to mqtt://HOST:PORT or\n"
        "                            mqtts://HOST:PORT (TLS, checked like --mqtt-ca says)\n"
        "  --station-id NAME         this station's name under velmora/fleet/ (needed with\n"
        "                            --fleet-broker; 1-64 of A-Z a-z 0-9 _ . -)\n"
        "  --fleet-user USER         the fleet broker's user name\n"
        "  --fleet-status-every-s N  republish the station's status every N s (default 5); viewers\n"
        "                            grey the station after 3 N s without one\n"
        "  --fleet-password-file FILE  its password, read from FILE (mode 0600 or stricter);\n"
        "                            or set VELMORA_FLEET_PASSWORD\n"
        "  --mavlink udp:HOST:PORT   bridge every vehicle to a MAVLink ground station at HOST:PORT\n"
        "  --mavlink tcpin:PORT      ... or to ground stations connecting to TCP PORT (both may repeat)\n"
        "  --mavlink-bind ADDR       the address the MAVLink links bind (default 127.0.0.1: only\n"
        "                            this machine); another address needs --mavlink-signing-key\n"
        "                            with --mavlink-control\n"
        "  --mavlink-control         let ground stations command vehicles and upload routes\n"
        "                            (without it the bridge is read-only)\n"
        "  --mavlink-signing-key FILE  sign and check every MAVLink frame with the 32-byte key in\n"
        "                            FILE (mode 0600 or stricter)\n"
        "  --lang LANG               en or zh_CN: the language of console lines, alerts and telemetry\n"
        "                            texts (default: the system locale's, English if it has none)\n"
        "  -h, --help\n"
        "Signals: SIGTERM and SIGINT stop the station; SIGHUP reads the configuration again and\n"
        "applies the log level, the fleet broker and the page's limits (other changes need a restart).\n");
}

const std::vector<progconfig::Spec>& StationOptions::specs()
{
    using progconfig::Kind;
    static const std::vector<progconfig::Spec> list{
        {"config", Kind::Text, true},
        {"no-config", Kind::Flag, true},
        {"print-config", Kind::Flag, true},
        {"data-dir", Kind::Text},
        {"udp", Kind::Text},
        {"serial", Kind::Text},
        {"log-level", Kind::Text},
        {"log-max-mb", Kind::Int},
        {"log-files", Kind::Int},
        {"log-format", Kind::Text},
        {"cloud-url", Kind::Text},
        {"mqtt", Kind::Text},
        {"mqtt-ca", Kind::Text},
        {"mqtt-user", Kind::Text},
        {"mqtt-password", Kind::Text, false, true},
        {"mqtt-password-file", Kind::Text},
        {"no-cloud", Kind::Flag},
        {"allow-forced-firmware", Kind::Flag},
        {"endpoint-dir", Kind::Text},
        {"http", Kind::Int},
        {"http-bind", Kind::Text},
        {"http-rate-hz", Kind::Int},
        {"http-per-peer", Kind::Int},
        {"metrics-bind", Kind::Text},
        {"map-tiles", Kind::Text},
        {"fleet-broker", Kind::Text},
        {"station-id", Kind::Text},
        {"fleet-user", Kind::Text},
        {"fleet-status-every-s", Kind::Int},
        {"fleet-password-file", Kind::Text},
        {"mavlink", Kind::List},
        {"mavlink-bind", Kind::Text},
        {"mavlink-control", Kind::Flag},
        {"mavlink-signing-key", Kind::Text},
        {"lang", Kind::Text},
    };
    return list;
}

namespace {

// A whole number from lo to hi into `into`, or the error text.
QString wholeNumber(const QString& option, const QString& v, int lo, int hi, int& into)
{
    bool ok = false;
    const int n = v.toInt(&ok);
    if (!ok || n < lo || n > hi)
        return QStringLiteral("%1 takes a whole number from %2 to %3, got '%4'").arg(option).arg(lo).arg(hi).arg(v);
    into = n;
    return {};
}

// One option's value into out; the error text, without the file's prefix.
QString applyOne(const QString& name, const QString& v, StationOptions& out, bool& passwordGiven)
{
    const QString a = "--" + name;
    const bool on = v == QLatin1String("true");
    QString err;
    if (name == "data-dir") {
        out.dataDir = v;
    } else if (name == "log-level") {
        static const QStringList levels{"trace", "debug", "info", "warn", "err", "critical", "off"};
        if (!levels.contains(v))
            return QStringLiteral("unknown log level '%1'").arg(v);
        out.logLevel = v;
    } else if (name == "log-format") {
        if (v != QLatin1String("text") && v != QLatin1String("json"))
            return QStringLiteral("--log-format takes text or json, got '%1'").arg(v);
        out.logFormat = v;
    } else if (name == "log-max-mb") {
        return wholeNumber(a, v, 1, StationOptions::kMostLogMb, out.logMaxMb);
    } else if (name == "log-files") {
        return wholeNumber(a, v, 1, StationOptions::kMostLogFiles, out.logFiles);
    } else if (name == "udp") {
        const QStringList parts = v.split(':');
        bool ok1 = false;
        bool ok2 = true;
        const uint local = parts.value(0).toUInt(&ok1);
        const uint device = parts.size() > 1 ? parts.at(1).toUInt(&ok2) : 0;
        if (parts.size() > 2 || !ok1 || !ok2 || local < 1 || local > 65535 || device > 65535)
            return QStringLiteral("--udp takes LOCALPORT[:DEVICEPORT] with ports 1-65535, got '%1'").arg(v);
        out.udpLocalPort = quint16(local);
        out.udpDevicePort = quint16(device);
    } else if (name == "serial") {
        const int colon = v.lastIndexOf(':');
        bool ok = false;
        const int baud = colon > 0 ? v.mid(colon + 1).toInt(&ok) : 0;
        if (colon <= 0 || !ok || baud <= 0)
            return QStringLiteral("--serial takes PATH:BAUD, got '%1'").arg(v);
        out.serialPath = v.left(colon);
        out.serialBaud = baud;
    } else if (name == "cloud-url") {
        out.cloudUrl = v;
    } else if (name == "mqtt") {
        out.mqttUri = v;
    } else if (name == "mqtt-ca") {
        QFile ca(v);
        if (!QFileInfo(ca).isFile() || !ca.open(QIODevice::ReadOnly))
            return QStringLiteral("--mqtt-ca: cannot read the file '%1'").arg(v);
        out.mqttCaFile = v;
    } else if (name == "mqtt-user") {
        out.mqttUser = v;
    } else if (name == "mqtt-password") {
        out.mqttPassword = v;
        passwordGiven = true;
    } else if (name == "mqtt-password-file") {
        out.mqttPasswordFile = v;
    } else if (name == "no-cloud") {
        out.noCloud = on;
    } else if (name == "allow-forced-firmware") {
        out.allowForcedFirmware = on;
    } else if (name == "endpoint-dir") {
        // A Unix socket path holds at most 107 bytes.
        const QByteArray socketPath = QDir(v).absoluteFilePath(GcsCliIpcServer::kEndpointName).toLocal8Bit();
        if (!QFileInfo(v).isDir())
            return QStringLiteral("--endpoint-dir takes an existing directory, got '%1'").arg(v);
        if (socketPath.size() > StationOptions::kMostSocketPathBytes)
            return QStringLiteral("--endpoint-dir: the socket path %1 is longer than %2 bytes")
                .arg(QString::fromLocal8Bit(socketPath))
                .arg(StationOptions::kMostSocketPathBytes);
        out.endpointDir = v;
    } else if (name == "http") {
        bool ok = false;
        const uint port = v.toUInt(&ok);
        if (!ok || port > 65535)
            return QStringLiteral("--http takes a port 0-65535 (0: a free one), got '%1'").arg(v);
        out.httpPort = quint16(port);
    } else if (name == "http-bind" || name == "metrics-bind") {
        const QString address = v == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : v;
        if (QHostAddress(address).isNull())
            return QStringLiteral("%1 takes an IP address, got '%2'").arg(a, v);
        (name == "http-bind" ? out.httpBind : out.metricsBind) = address;
    } else if (name == "http-rate-hz") {
        return wholeNumber(a, v, StationOptions::kMinHttpRateHz, StationOptions::kMostHttpRateHz, out.httpRateHz);
    } else if (name == "http-per-peer") {
        return wholeNumber(a, v, 1, StationOptions::kMostHttpPerPeer, out.httpPerPeer);
    } else if (name == "map-tiles") {
        out.mapTiles = v;
    } else if (name == "fleet-broker") {
        out.fleetBroker = v;
    } else if (name == "station-id") {
        out.stationId = v;
    } else if (name == "fleet-user") {
        out.fleetUser = v;
    } else if (name == "fleet-status-every-s") {
        return wholeNumber(a, v, 1, 3600, out.fleetStatusEverySec);
    } else if (name == "fleet-password-file") {
        out.fleetPasswordFile = v;
    } else if (name == "mavlink") {
        if (auto e = MavlinkEndpoint::parse(v, &err))
            out.mavlink.push_back(*e);
    } else if (name == "mavlink-bind") {
        out.mavlinkBind = v;
    } else if (name == "mavlink-control") {
        out.mavlinkControl = on;
    } else if (name == "mavlink-signing-key") {
        out.mavlinkKey = MavlinkBridge::readKeyFile(v, &err);
        out.mavlinkKeyFile = v;
    } else if (name == "lang") {
        if (!StationOptions::languages().contains(v))
            return QStringLiteral("--lang takes one of %1, got '%2'").arg(StationOptions::languages().join(", "), v);
        out.language = v;
    }
    return err;
}

// " (--udp from FILE:LINE, ...)" for the named options that came from the file: a conflict is
// found where its values were written.
QString fromWhere(const StationOptions& o, const QStringList& names)
{
    QStringList where;
    for (const QString& name : names) {
        const auto it = o.sources.find(name);
        if (it != o.sources.end() && it->second != QLatin1String("command line"))
            where << QStringLiteral("%1 from %2").arg(name, it->second);
    }
    return where.isEmpty() ? QString() : " (" + where.join(", ") + ")";
}

// Everything after the command line has been read: the file, the order of precedence, the
// checks across options and the password files.
QString build(StationOptions& out, const StationOptions* previous)
{
    std::vector<progconfig::Setting> settings;
    if (!out.configFile.isEmpty()) {
        if (QString err = progconfig::fromFile(out.configFile, StationOptions::specs(), settings); !err.isEmpty())
            return err;
    }
    // A list on the command line replaces the file's.
    QStringList listsGiven;
    for (const auto& s : out.commandLine)
        if (s.name == QLatin1String("mavlink"))
            listsGiven << s.name;
    std::erase_if(settings, [&](const progconfig::Setting& s) { return listsGiven.contains(s.name); });
    for (const auto& s : out.commandLine) {
        if (s.name == QLatin1String("print-config"))
            out.printConfig = true;
        else if (s.name != QLatin1String("config") && s.name != QLatin1String("no-config"))
            settings.push_back(s);
    }
    bool passwordGiven = false;
    for (const auto& s : settings) {
        if (QString err = applyOne(s.name, s.value, out, passwordGiven); !err.isEmpty())
            return progconfig::prefixOf(s) + err;
        out.sources[s.name] = s.source;
    }
    // A password in a file others may read is refused: the station would spread it.
    if (out.sources.count("mqtt-password") && out.sources["mqtt-password"] != QLatin1String("command line")) {
        struct stat st { };
        if (::stat(QFile::encodeName(out.configFile).constData(), &st) == 0 && (st.st_mode & 007) != 0)
            return QStringLiteral("%1: key 'mqtt-password': the file is readable by every user; use "
                                  "mqtt-password-file, or chmod o-rwx '%1'")
                .arg(out.configFile);
    }
    if (out.noCloud && (!out.cloudUrl.isEmpty() || !out.mqttUri.isEmpty()))
        return "--no-cloud excludes --cloud-url and --mqtt" + fromWhere(out, {"no-cloud", "cloud-url", "mqtt"});
    if (out.udpLocalPort && !out.serialPath.isEmpty())
        return "--udp and --serial exclude each other" + fromWhere(out, {"udp", "serial"});
    if (out.mavlink.empty() && (out.mavlinkControl || out.mavlinkKey || !out.mavlinkBind.isEmpty()))
        return "--mavlink-control, --mavlink-bind and --mavlink-signing-key go with --mavlink" +
               fromWhere(out, {"mavlink-control", "mavlink-bind", "mavlink-signing-key"});
    if (!out.mavlink.empty()) {
        MavlinkBridge::Options bridge;
        bridge.control = out.mavlinkControl;
        bridge.signingKey = out.mavlinkKey;
        bridge.bindAddress = out.mavlinkBind;
        if (const QString why = MavlinkBridge::checkOptions(bridge); !why.isEmpty())
            return why + fromWhere(out, {"mavlink", "mavlink-bind", "mavlink-control"});
    }
    if (!out.metricsBind.isEmpty()) {
        const QHostAddress metrics(out.metricsBind), page(out.httpBind);
        const bool anyPage =
            page == QHostAddress::Any || page == QHostAddress::AnyIPv4 || page == QHostAddress::AnyIPv6;
        if (!out.httpPort)
            return "--metrics-bind goes with --http (the metrics are served by the page server)" +
                   fromWhere(out, {"metrics-bind"});
        if (!anyPage && !metrics.isLoopback() && metrics != page)
            return QStringLiteral("--metrics-bind %1: the page listens on %2 only; set --http-bind to %1 or 0.0.0.0")
                       .arg(out.metricsBind, out.httpBind) +
                   fromWhere(out, {"metrics-bind", "http-bind"});
    }
    if (const QString fleet = StationOptions::checkFleetOptions(out); !fleet.isEmpty())
        return fleet + fromWhere(out, {"fleet-broker", "station-id", "fleet-user"});
    if (!out.fleetPasswordFile.isEmpty()) {
        if (const QString fleet = readPasswordFile(out.fleetPasswordFile, out.fleetPassword, "--fleet-password-file");
            !fleet.isEmpty())
            return fleet + fromWhere(out, {"fleet-password-file"});
    } else if (qEnvironmentVariableIsSet(StationOptions::kFleetPasswordEnv)) {
        out.fleetPassword = qEnvironmentVariable(StationOptions::kFleetPasswordEnv);
        out.sources["fleet-password"] = QStringLiteral("environment");
        qunsetenv(StationOptions::kFleetPasswordEnv);
    } else if (previous && previous->sources.count("fleet-password")) {
        out.fleetPassword = previous->fleetPassword;
        out.sources["fleet-password"] = QStringLiteral("environment");
    }
    if (passwordGiven && !out.mqttPasswordFile.isEmpty())
        return "--mqtt-password and --mqtt-password-file exclude each other" +
               fromWhere(out, {"mqtt-password", "mqtt-password-file"});
    if (!out.mqttPasswordFile.isEmpty())
        return readPasswordFile(out.mqttPasswordFile, out.mqttPassword);
    if (!passwordGiven && qEnvironmentVariableIsSet(StationOptions::kPasswordEnv)) {
        out.mqttPassword = qEnvironmentVariable(StationOptions::kPasswordEnv);
        out.sources["mqtt-password"] = QStringLiteral("environment");
        qunsetenv(StationOptions::kPasswordEnv);  // not handed down to anything the station starts
    } else if (!passwordGiven && previous && previous->sources.count("mqtt-password") &&
               previous->sources.at("mqtt-password") == QLatin1String("environment")) {
        out.mqttPassword = previous->mqttPassword;
        out.sources["mqtt-password"] = QStringLiteral("environment");
    }
    return {};
}

}  // namespace

QString StationOptions::parse(int argc, char** argv, StationOptions& out)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (QString err = progconfig::fromCommandLine(args, specs(), out.commandLine); !err.isEmpty())
        return err;
    QString err;
    out.configFile = progconfig::chooseFile(out.commandLine, QString::fromLatin1(kDefaultConfig), err);
    if (!err.isEmpty())
        return err;
    return build(out, nullptr);
}

QString StationOptions::reload(const StationOptions& current, StationOptions& out)
{
    out = StationOptions{};
    out.commandLine = current.commandLine;
    out.configFile = current.configFile;
    return build(out, &current);
}

QString StationOptions::describe(const StationOptions& o)
{
    using progconfig::Kind;
    auto text = [](const QString& s) { return s.isEmpty() ? QStringList() : QStringList{s}; };
    auto number = [](int n) { return QStringList{QString::number(n)}; };
    auto flag = [](bool b) { return QStringList{b ? QStringLiteral("true") : QStringLiteral("false")}; };
    QStringList mavlink;
    for (const auto& e : o.mavlink)
        mavlink << e.text();
    const std::vector<progconfig::Value> values{
        {"data-dir", text(o.dataDir), Kind::Text},
        {"udp",
         o.udpLocalPort ? QStringList{QString::number(*o.udpLocalPort) +
                                      (o.udpDevicePort ? ":" + QString::number(o.udpDevicePort) : QString())}
                        : QStringList(),
         Kind::Text},
        {"serial",
         o.serialPath.isEmpty() ? QStringList() : QStringList{o.serialPath + ":" + QString::number(o.serialBaud)},
         Kind::Text},
        {"log-level", text(o.logLevel), Kind::Text},
        {"log-max-mb", number(o.logMaxMb), Kind::Int},
        {"log-files", number(o.logFiles), Kind::Int},
        {"log-format", text(o.logFormat), Kind::Text},
        {"cloud-url", text(o.cloudUrl), Kind::Text},
        {"mqtt", text(o.mqttUri), Kind::Text},
        {"mqtt-ca", text(o.mqttCaFile), Kind::Text},
        {"mqtt-user", text(o.mqttUser), Kind::Text},
        {"mqtt-password", text(o.mqttPassword), Kind::Text},
        {"mqtt-password-file", text(o.mqttPasswordFile), Kind::Text},
        {"no-cloud", flag(o.noCloud), Kind::Flag},
        {"allow-forced-firmware", flag(o.allowForcedFirmware), Kind::Flag},
        {"endpoint-dir", text(o.endpointDir), Kind::Text},
        {"http", o.httpPort ? number(*o.httpPort) : QStringList(), Kind::Int},
        {"http-bind", text(o.httpBind), Kind::Text},
        {"http-rate-hz", number(o.httpRateHz), Kind::Int},
        {"http-per-peer", number(o.httpPerPeer), Kind::Int},
        {"metrics-bind", text(o.metricsBind), Kind::Text},
        {"map-tiles", text(o.mapTiles), Kind::Text},
        {"fleet-broker", text(o.fleetBroker), Kind::Text},
        {"station-id", text(o.stationId), Kind::Text},
        {"fleet-user", text(o.fleetUser), Kind::Text},
        {"fleet-status-every-s", number(o.fleetStatusEverySec), Kind::Int},
        {"fleet-password-file", text(o.fleetPasswordFile), Kind::Text},
        {"mavlink", mavlink, Kind::List},
        {"mavlink-bind", text(o.mavlinkBind), Kind::Text},
        {"mavlink-control", flag(o.mavlinkControl), Kind::Flag},
        {"mavlink-signing-key", text(o.mavlinkKeyFile), Kind::Text},
        {"lang", text(o.language), Kind::Text},
    };
    return progconfig::describe(QStringLiteral("velmora-station"), o.configFile, values, specs(), o.sources);
}
