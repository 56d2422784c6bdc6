#include "FleetViewOptions.h"

#include "cloud/FleetPublisher.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStringList>

#include <sys/stat.h>

QString FleetViewOptions::usage()
{
    return QStringLiteral(
        "Usage: velmora-fleetview --broker URL --http PORT [options]\n"
        "The fleet page of every station that publishes to the broker (velmora-station --fleet-broker).\n"
        "Read only: it has no vehicle link and sends nothing to the stations.\n"
        "  --broker URL           mqtt://HOST:PORT or mqtts://HOST:PORT\n"
        "  --user USER            the broker's user name\n"
        "  --password-file FILE   its password, from FILE (mode 0600 or stricter); or set\n"
        "                         VELMORA_FLEET_PASSWORD\n"
        "  --ca FILE              PEM file of the CAs that vouch for an mqtts:// broker\n"
        "  --http PORT            serve the page on PORT (0: a free one)\n"
        "  --http-bind ADDR       the page's IP address (default 127.0.0.1; the page has no login)\n"
        "  --http-rate-hz N       page updates per second (1-50, default 5)\n"
        "  --map-tiles TEMPLATE   map tiles, e.g. https://tile.example/{z}/{x}/{y}.png\n"
        "  --forget-after-h N     forget a station not heard from for N hours (default 24)\n"
        "  --log-level LEVEL      trace, debug, info, warn, err (default info)\n"
        "  -h, --help\n");
}

QString FleetViewOptions::parse(int argc, char** argv, FleetViewOptions& out)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    bool httpGiven = false;
    QString passwordFile;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == "-h" || a == "--help")
            return QStringLiteral("help");
        const bool takesValue = a == "--broker" || a == "--user" || a == "--password-file" || a == "--ca" ||
                                a == "--http" || a == "--http-bind" || a == "--http-rate-hz" || a == "--map-tiles" ||
                                a == "--log-level" || a == "--forget-after-h";
        if (!takesValue)
            return QStringLiteral("unknown argument '%1'").arg(a);
        if (i + 1 >= args.size())
            return QStringLiteral("%1 needs a value").arg(a);
        const QString v = args.at(++i);
        bool ok = true;
        if (a == "--broker") {
            out.broker = v;
        } else if (a == "--user") {
            out.user = v;
        } else if (a == "--password-file") {
            passwordFile = v;
        } else if (a == "--ca") {
            out.caFile = v;
            QFile ca(v);
            if (!QFileInfo(ca).isFile() || !ca.open(QIODevice::ReadOnly))
                return QStringLiteral("--ca: cannot read the file '%1'").arg(v);
        } else if (a == "--http") {
            const uint port = v.toUInt(&ok);
            if (!ok || port > 65535)
                return QStringLiteral("--http takes a port 0-65535 (0: a free one), got '%1'").arg(v);
            out.httpPort = quint16(port);
            httpGiven = true;
        } else if (a == "--http-bind") {
            out.httpBind = v == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : v;
            if (QHostAddress(out.httpBind).isNull())
                return QStringLiteral("--http-bind takes an IP address, got '%1'").arg(v);
        } else if (a == "--http-rate-hz") {
            out.httpRateHz = v.toInt(&ok);
            if (!ok || out.httpRateHz < 1 || out.httpRateHz > 50)
                return QStringLiteral("--http-rate-hz takes a whole number from 1 to 50, got '%1'").arg(v);
        } else if (a == "--forget-after-h") {
            out.forgetAfterH = v.toDouble(&ok);
            if (!ok || out.forgetAfterH <= 0 || out.forgetAfterH > 24 * 365)
                return QStringLiteral("--forget-after-h takes hours above 0 (at most a year), got '%1'").arg(v);
        } else if (a == "--map-tiles") {
            out.mapTiles = v;
        } else if (a == "--log-level") {
            static const QStringList levels{"trace", "debug", "info", "warn", "err", "critical", "off"};
            if (!levels.contains(v))
                return QStringLiteral("unknown log level '%1'").arg(v);
            out.logLevel = v;
        }
    }
    if (out.broker.isEmpty() || !httpGiven)
        return QStringLiteral("--broker and --http are needed");
    if (const QString why = FleetPublisher::checkBrokerUri(out.broker); !why.isEmpty())
        return "--broker: " + why;
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        struct stat st { };
        if (::stat(passwordFile.toLocal8Bit().constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
            !file.open(QIODevice::ReadOnly))
            return QStringLiteral("--password-file: cannot read '%1'").arg(passwordFile);
        if ((st.st_mode & 077) != 0)
            return QStringLiteral("--password-file: '%1' must be mode 0600 or stricter (chmod 600 '%1')")
                .arg(passwordFile);
        QByteArray bytes = file.read(4097);
        if (bytes.size() > 4096)
            return QStringLiteral("--password-file: '%1' is larger than 4096 bytes").arg(passwordFile);
        if (bytes.endsWith('\n'))
            bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
        out.password = QString::fromUtf8(bytes);
    } else if (qEnvironmentVariableIsSet(kPasswordEnv)) {
        out.password = qEnvironmentVariable(kPasswordEnv);
        qunsetenv(kPasswordEnv);
    }
    return {};
}
