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
        "  --log-format FORMAT    text or json (one JSON object a line)\n"
        "  --http-per-peer N      page connections one peer address may hold (1-32, default 8)\n"
        "  --metrics-bind ADDR    answer /metrics, /healthz and /readyz on ADDR too (default:\n"
        "                         loopback only)\n"
        "  --config FILE          read the options from FILE (TOML, a key per option; the\n"
        "                         installed program reads /etc/velmora/fleetview.conf)\n"
        "  --no-config            read no configuration file\n"
        "  --print-config         print the effective configuration and exit\n"
        "  -h, --help\n");
}

const std::vector<progconfig::Spec>& FleetViewOptions::specs()
{
    using progconfig::Kind;
    static const std::vector<progconfig::Spec> list{
        {"config", Kind::Text, true},
        {"no-config", Kind::Flag, true},
        {"print-config", Kind::Flag, true},
        {"broker", Kind::Text},
        {"user", Kind::Text},
        {"password-file", Kind::Text},
        {"ca", Kind::Text},
        {"http", Kind::Int},
        {"http-bind", Kind::Text},
        {"http-rate-hz", Kind::Int},
        {"http-per-peer", Kind::Int},
        {"metrics-bind", Kind::Text},
        {"map-tiles", Kind::Text},
        {"forget-after-h", Kind::Number},
        {"log-level", Kind::Text},
        {"log-format", Kind::Text},
    };
    return list;
}

namespace {

QString applyOne(const QString& a, const QString& v, FleetViewOptions& out)
{
    bool ok = true;
    if (a == "--broker") {
        out.broker = v;
    } else if (a == "--user") {
        out.user = v;
    } else if (a == "--password-file") {
        out.passwordFile = v;
    } else if (a == "--ca") {
        QFile ca(v);
        if (!QFileInfo(ca).isFile() || !ca.open(QIODevice::ReadOnly))
            return QStringLiteral("--ca: cannot read the file '%1'").arg(v);
        out.caFile = v;
    } else if (a == "--http") {
        const uint port = v.toUInt(&ok);
        if (!ok || port > 65535)
            return QStringLiteral("--http takes a port 0-65535 (0: a free one), got '%1'").arg(v);
        out.httpPort = quint16(port);
    } else if (a == "--http-bind" || a == "--metrics-bind") {
        const QString address = v == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : v;
        if (QHostAddress(address).isNull())
            return QStringLiteral("%1 takes an IP address, got '%2'").arg(a, v);
        (a == "--http-bind" ? out.httpBind : out.metricsBind) = address;
    } else if (a == "--http-rate-hz") {
        out.httpRateHz = v.toInt(&ok);
        if (!ok || out.httpRateHz < 1 || out.httpRateHz > 50)
            return QStringLiteral("--http-rate-hz takes a whole number from 1 to 50, got '%1'").arg(v);
    } else if (a == "--http-per-peer") {
        out.httpPerPeer = v.toInt(&ok);
        if (!ok || out.httpPerPeer < 1 || out.httpPerPeer > 32)
            return QStringLiteral("--http-per-peer takes a whole number from 1 to 32, got '%1'").arg(v);
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
    } else if (a == "--log-format") {
        if (v != QLatin1String("text") && v != QLatin1String("json"))
            return QStringLiteral("--log-format takes text or json, got '%1'").arg(v);
        out.logFormat = v;
    }
    return {};
}

}  // namespace

QString FleetViewOptions::parse(int argc, char** argv, FleetViewOptions& out)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    std::vector<progconfig::Setting> commandLine;
    if (QString err = progconfig::fromCommandLine(args, specs(), commandLine); !err.isEmpty())
        return err;
    QString err;
    out.configFile = progconfig::chooseFile(commandLine, QString::fromLatin1(kDefaultConfig), err);
    if (!err.isEmpty())
        return err;
    std::vector<progconfig::Setting> settings;
    if (!out.configFile.isEmpty()) {
        if (err = progconfig::fromFile(out.configFile, specs(), settings); !err.isEmpty())
            return err;
    }
    for (const auto& s : commandLine) {
        if (s.name == QLatin1String("print-config"))
            out.printConfig = true;
        else if (s.name != QLatin1String("config") && s.name != QLatin1String("no-config"))
            settings.push_back(s);
    }
    bool httpGiven = false;
    for (const auto& s : settings) {
        if (err = applyOne("--" + s.name, s.value, out); !err.isEmpty())
            return progconfig::prefixOf(s) + err;
        out.sources[s.name] = s.source;
        httpGiven = httpGiven || s.name == QLatin1String("http");
    }
    if (out.printConfig)
        return {};
    if (out.broker.isEmpty() || !httpGiven)
        return QStringLiteral("--broker and --http are needed");
    if (const QString why = FleetPublisher::checkBrokerUri(out.broker); !why.isEmpty())
        return "--broker: " + why;
    if (!out.passwordFile.isEmpty()) {
        const QString& passwordFile = out.passwordFile;
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

QString FleetViewOptions::describe(const FleetViewOptions& o)
{
    using progconfig::Kind;
    auto text = [](const QString& s) { return s.isEmpty() ? QStringList() : QStringList{s}; };
    const std::vector<progconfig::Value> values{
        {"broker", text(o.broker), Kind::Text},
        {"user", text(o.user), Kind::Text},
        {"password-file", text(o.passwordFile), Kind::Text},
        {"ca", text(o.caFile), Kind::Text},
        {"http", {QString::number(o.httpPort)}, Kind::Int},
        {"http-bind", text(o.httpBind), Kind::Text},
        {"http-rate-hz", {QString::number(o.httpRateHz)}, Kind::Int},
        {"http-per-peer", {QString::number(o.httpPerPeer)}, Kind::Int},
        {"metrics-bind", text(o.metricsBind), Kind::Text},
        {"map-tiles", text(o.mapTiles), Kind::Text},
        {"forget-after-h", {QString::number(o.forgetAfterH)}, Kind::Number},
        {"log-level", text(o.logLevel), Kind::Text},
        {"log-format", text(o.logFormat), Kind::Text},
    };
    return progconfig::describe(QStringLiteral("velmora-fleetview"), o.configFile, values, specs(), o.sources);
}
