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
        "  --data-dir DIR            settings, caches, flight data and logs below DIR\n"
        "  --udp LOCALPORT[:DEVPORT] connect a UDP link at start (DEVPORT: the vehicle's receive port)\n"
        "  --serial PATH:BAUD        connect a serial link at start\n"
        "  --log-level LEVEL         trace, debug, info, warn, err (default info)\n"
        "  --log-max-mb N            rotate the log file at N MiB (1-4096, default 20)\n"
        "  --log-files K             log files kept, the current one included (1-1000, default 5)\n"
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
        "                            instead of $TMPDIR; velmora-cli --endpoint DIR/Tarnwick_CliIpc_v1\n"
        "  --http PORT               serve the fleet page on PORT (0: a free port); off without it\n"
        "  --http-bind ADDR          the fleet page's IP address or localhost (default 127.0.0.1; the\n"
        "                            page has no login: another address is reachable by anyone)\n"
        "  --http-rate-hz N          fleet page updates per second (1-50, default 5)\n"
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
        "  -h, --help\n");
}

QString StationOptions::parse(int argc, char** argv, StationOptions& out)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    auto value = [&](int& i, const QString& name, QString& into) -> QString {
        if (i + 1 >= args.size())
            return QStringLiteral("%1 needs a value").arg(name);
        into = args.at(++i);
        return QString();
    };
    bool passwordGiven = false;
    QString passwordFile;
    QString fleetPasswordFile;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        QString v;
        QString err;
        if (a == "-h" || a == "--help") {
            return QStringLiteral("help");
        } else if (a == "--data-dir") {
            err = value(i, a, out.dataDir);
        } else if (a == "--log-level") {
            err = value(i, a, out.logLevel);
            static const QStringList levels{"trace", "debug", "info", "warn", "err", "critical", "off"};
            if (err.isEmpty() && !levels.contains(out.logLevel))
                err = QStringLiteral("unknown log level '%1'").arg(out.logLevel);
        } else if (a == "--log-max-mb" || a == "--log-files") {
            err = value(i, a, v);
            const bool files = a == "--log-files";
            const int most = files ? kMostLogFiles : kMostLogMb;
            bool ok = false;
            const int n = v.toInt(&ok);
            if (err.isEmpty() && (!ok || n < 1 || n > most))
                err = QStringLiteral("%1 takes a whole number from 1 to %2, got '%3'").arg(a).arg(most).arg(v);
            (files ? out.logFiles : out.logMaxMb) = n;
        } else if (a == "--udp") {
            err = value(i, a, v);
            if (err.isEmpty()) {
                const QStringList parts = v.split(':');
                bool ok1 = false;
                bool ok2 = true;
                const uint local = parts.value(0).toUInt(&ok1);
                const uint device = parts.size() > 1 ? parts.at(1).toUInt(&ok2) : 0;
                if (parts.size() > 2 || !ok1 || !ok2 || local < 1 || local > 65535 || device > 65535)
                    err = QStringLiteral("--udp takes LOCALPORT[:DEVICEPORT] with ports 1-65535, got '%1'").arg(v);
                out.udpLocalPort = quint16(local);
                out.udpDevicePort = quint16(device);
            }
        } else if (a == "--serial") {
            err = value(i, a, v);
            if (err.isEmpty()) {
                const int colon = v.lastIndexOf(':');
                bool ok = false;
                const int baud = colon > 0 ? v.mid(colon + 1).toInt(&ok) : 0;
                if (colon <= 0 || !ok || baud <= 0)
                    err = QStringLiteral("--serial takes PATH:BAUD, got '%1'").arg(v);
                out.serialPath = v.left(colon);
                out.serialBaud = baud;
            }
        } else if (a == "--cloud-url") {
            err = value(i, a, out.cloudUrl);
        } else if (a == "--mqtt") {
            err = value(i, a, out.mqttUri);
        } else if (a == "--mqtt-ca") {
            err = value(i, a, out.mqttCaFile);
            QFile ca(out.mqttCaFile);
            if (err.isEmpty() && (!QFileInfo(ca).isFile() || !ca.open(QIODevice::ReadOnly)))
                err = QStringLiteral("--mqtt-ca: cannot read the file '%1'").arg(out.mqttCaFile);
        } else if (a == "--mqtt-user") {
            err = value(i, a, out.mqttUser);
        } else if (a == "--mqtt-password") {
            err = value(i, a, out.mqttPassword);
            passwordGiven = true;
        } else if (a == "--mqtt-password-file") {
            err = value(i, a, passwordFile);
        } else if (a == "--no-cloud") {
            out.noCloud = true;
        } else if (a == "--allow-forced-firmware") {
            out.allowForcedFirmware = true;
        } else if (a == "--endpoint-dir") {
            err = value(i, a, out.endpointDir);
            // A Unix socket path holds at most 107 bytes.
            const QByteArray socketPath =
                QDir(out.endpointDir).absoluteFilePath(GcsCliIpcServer::kEndpointName).toLocal8Bit();
            if (err.isEmpty() && !QFileInfo(out.endpointDir).isDir())
                err = QStringLiteral("--endpoint-dir takes an existing directory, got '%1'").arg(out.endpointDir);
            else if (err.isEmpty() && socketPath.size() > kMostSocketPathBytes)
                err = QStringLiteral("--endpoint-dir: the socket path %1 is longer than %2 bytes")
                          .arg(QString::fromLocal8Bit(socketPath))
                          .arg(kMostSocketPathBytes);
        } else if (a == "--http") {
            err = value(i, a, v);
            bool ok = false;
            const uint port = v.toUInt(&ok);
            if (err.isEmpty() && (!ok || port > 65535))
                err = QStringLiteral("--http takes a port 0-65535 (0: a free one), got '%1'").arg(v);
            out.httpPort = quint16(port);
        } else if (a == "--http-bind") {
            err = value(i, a, out.httpBind);
            if (out.httpBind == QLatin1String("localhost"))
                out.httpBind = QStringLiteral("127.0.0.1");
            if (err.isEmpty() && QHostAddress(out.httpBind).isNull())
                err = QStringLiteral("--http-bind takes an IP address, got '%1'").arg(out.httpBind);
        } else if (a == "--http-rate-hz") {
            err = value(i, a, v);
            bool ok = false;
            out.httpRateHz = v.toInt(&ok);
            if (err.isEmpty() && (!ok || out.httpRateHz < kMinHttpRateHz || out.httpRateHz > kMostHttpRateHz))
                err = QStringLiteral("--http-rate-hz takes a whole number from %1 to %2, got '%3'")
                          .arg(kMinHttpRateHz)
                          .arg(kMostHttpRateHz)
                          .arg(v);
        } else if (a == "--map-tiles") {
            err = value(i, a, out.mapTiles);
        } else if (a == "--fleet-broker") {
            err = value(i, a, out.fleetBroker);
        } else if (a == "--station-id") {
            err = value(i, a, out.stationId);
        } else if (a == "--fleet-user") {
            err = value(i, a, out.fleetUser);
        } else if (a == "--fleet-status-every-s") {
            err = value(i, a, v);
            bool ok = false;
            out.fleetStatusEverySec = v.toInt(&ok);
            if (err.isEmpty() && (!ok || out.fleetStatusEverySec < 1 || out.fleetStatusEverySec > 3600))
                err = QStringLiteral("--fleet-status-every-s takes a whole number from 1 to 3600, got '%1'").arg(v);
        } else if (a == "--fleet-password-file") {
            err = value(i, a, fleetPasswordFile);
        } else if (a == "--mavlink") {
            err = value(i, a, v);
            if (err.isEmpty()) {
                if (auto e = MavlinkEndpoint::parse(v, &err))
                    out.mavlink.push_back(*e);
            }
        } else if (a == "--mavlink-bind") {
            err = value(i, a, out.mavlinkBind);
        } else if (a == "--mavlink-control") {
            out.mavlinkControl = true;
        } else if (a == "--mavlink-signing-key") {
            err = value(i, a, v);
            if (err.isEmpty())
                out.mavlinkKey = MavlinkBridge::readKeyFile(v, &err);
        } else if (a == "--lang") {
            err = value(i, a, out.language);
            if (err.isEmpty() && !languages().contains(out.language))
                err = QStringLiteral("--lang takes one of %1, got '%2'").arg(languages().join(", "), out.language);
        } else {
            err = QStringLiteral("unknown argument '%1'").arg(a);
        }
        if (!err.isEmpty())
            return err;
    }
    if (out.noCloud && (!out.cloudUrl.isEmpty() || !out.mqttUri.isEmpty()))
        return QStringLiteral("--no-cloud excludes --cloud-url and --mqtt");
    if (out.udpLocalPort && !out.serialPath.isEmpty())
        return QStringLiteral("--udp and --serial exclude each other");
    if (out.mavlink.empty() && (out.mavlinkControl || out.mavlinkKey || !out.mavlinkBind.isEmpty()))
        return QStringLiteral("--mavlink-control, --mavlink-bind and --mavlink-signing-key go with --mavlink");
    if (!out.mavlink.empty()) {
        MavlinkBridge::Options bridge;
        bridge.control = out.mavlinkControl;
        bridge.signingKey = out.mavlinkKey;
        bridge.bindAddress = out.mavlinkBind;
        if (const QString why = MavlinkBridge::checkOptions(bridge); !why.isEmpty())
            return why;
    }
    if (const QString fleet = checkFleetOptions(out); !fleet.isEmpty())
        return fleet;
    if (!fleetPasswordFile.isEmpty()) {
        if (const QString fleet = readPasswordFile(fleetPasswordFile, out.fleetPassword, "--fleet-password-file");
            !fleet.isEmpty())
            return fleet;
    } else if (qEnvironmentVariableIsSet(kFleetPasswordEnv)) {
        out.fleetPassword = qEnvironmentVariable(kFleetPasswordEnv);
        qunsetenv(kFleetPasswordEnv);
    }
    if (passwordGiven && !passwordFile.isEmpty())
        return QStringLiteral("--mqtt-password and --mqtt-password-file exclude each other");
    if (!passwordFile.isEmpty())
        return readPasswordFile(passwordFile, out.mqttPassword);
    if (!passwordGiven && qEnvironmentVariableIsSet(kPasswordEnv)) {
        out.mqttPassword = qEnvironmentVariable(kPasswordEnv);
        qunsetenv(kPasswordEnv);  // not handed down to anything the station starts
    }
    return QString();
}
