#include "SimMqttPublisher.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <spdlog/spdlog.h>

#include <cmath>
#include <numbers>

namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSec = 30;
constexpr double kMetresPerDegreeLat = 111320.0;
constexpr double kOrbitRadiusM = 100.0;
constexpr double kOrbitAltitudeM = 50.0;
constexpr double kOrbitLapMs = 60000.0;
constexpr double kGravity = 9.81;

QByteArray toJson(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray positionPayload(const SimMqttPublisher::Sample& s)
{
    return toJson({{"latitude", s.latitude}, {"longitude", s.longitude}, {"altitude", s.altitude}});
}

QByteArray statusPayload(const SimMqttPublisher::Sample& s)
{
    return toJson({{"roll", s.roll}, {"pitch", s.pitch}, {"yaw", s.yaw}, {"speed", s.speed}});
}

// The valid payload (ASCII) with the value of "latitude", or of its first member when it has
// none, replaced by make(old value).
QByteArray withValue(const QByteArray& valid, const std::function<QByteArray(const QByteArray&)>& make)
{
    static const QRegularExpression latitude(QStringLiteral(R"("latitude":([^,}]*))"));
    static const QRegularExpression first(QStringLiteral(R"(^\{"[^"]*":([^,}]*))"));
    const QString text = QString::fromLatin1(valid);
    QRegularExpressionMatch m = latitude.match(text);
    if (!m.hasMatch())
        m = first.match(text);
    if (!m.hasMatch())
        return "{\"latitude\":" + make("0") + "}";
    return valid.left(m.capturedStart(1)) + make(m.captured(1).toLatin1()) + valid.mid(m.capturedEnd(1));
}

}  // namespace

SimMqttPublisher::SimMqttPublisher(const SimOptions& options, Sampler sampler, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_sampler(std::move(sampler))
    , m_clientId(QStringLiteral("velmora-sim-%1-%2")
                     .arg(QCoreApplication::applicationPid())
                     .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                     .toStdString())
    , m_client(std::make_unique<OstMqttClient>(options.mqttUri.toStdString(), m_clientId))
    , m_random(options.seed)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SimMqttPublisher::handlePublishTimeout);
}

SimMqttPublisher::~SimMqttPublisher()
{
    stop();
}

bool SimMqttPublisher::start(QString& error)
{
    spdlog::info("<VehicleSim> mqtt to {} as '{}', user '{}', {} Hz, corrupt {}", m_options.mqttUri.toStdString(),
                 m_clientId, m_options.mqttUser.toStdString(), m_options.mqttRateHz, m_options.mqttCorrupt);
    if (!m_client->connectToServer(m_options.mqttUser.toStdString(), m_options.mqttPassword.toStdString(),
                                   kKeepAliveSec)) {
        error = QStringLiteral("cannot start the MQTT client for ") + m_options.mqttUri;
        return false;
    }
    m_timer.start(std::max(1, int(std::lround(1000.0 / m_options.mqttRateHz))));
    return true;
}

void SimMqttPublisher::stop()
{
    m_timer.stop();
    m_client->disconnectFromServer();
}

QString SimMqttPublisher::countsText() const
{
    QStringList parts;
    for (const auto& [code, c] : m_counts)
        parts << QStringLiteral("%1 valid %2 corrupt %3").arg(code).arg(c.valid).arg(c.corrupt);
    parts << QStringLiteral("dropped %1").arg(m_dropped);
    return QStringLiteral("mqtt ") + parts.join(QStringLiteral(", "));
}

SimMqttPublisher::Sample SimMqttPublisher::orbit(double homeLat, double homeLon, qint64 timeMs)
{
    const double angle = 2.0 * std::numbers::pi * std::fmod(double(timeMs), kOrbitLapMs) / kOrbitLapMs;
    const double north = kOrbitRadiusM * std::cos(angle);
    const double east = kOrbitRadiusM * std::sin(angle);
    const double speed = 2.0 * std::numbers::pi * kOrbitRadiusM / (kOrbitLapMs / 1000.0);
    Sample s;
    s.latitude = homeLat + north / kMetresPerDegreeLat;
    s.longitude = homeLon + east / (kMetresPerDegreeLat * std::cos(homeLat * std::numbers::pi / 180.0));
    s.altitude = kOrbitAltitudeM;
    // Heading along the circle, banked into the turn as a coordinated turn would be.
    s.yaw = std::fmod(angle * 180.0 / std::numbers::pi + 90.0, 360.0);
    s.roll = std::atan(speed * speed / (kOrbitRadiusM * kGravity)) * 180.0 / std::numbers::pi;
    s.pitch = -3.0;
    s.speed = speed;
    return s;
}

int SimMqttPublisher::malformedKinds()
{
    return 12;
}

QByteArray SimMqttPublisher::malformed(int kind, const QByteArray& valid)
{
    switch (kind) {
    case 0: return "latitude=22.5;longitude=113.9";
    case 1: return {};
    case 2: return "[22.5,113.9,50]";
    case 3: return "42";
    case 4: return "\"position\"";
    case 5: return withValue(valid, [](const QByteArray& old) { return '"' + old + '"'; });
    case 6: return "null";
    case 7: return "true";
    case 8: return withValue(valid, [](const QByteArray&) { return QByteArray("1e999"); });
    case 9: {
        static const QByteArray unterminated = "{\"latitude\":\"" + QByteArray(1024 * 1024, 'x');
        return unterminated;
    }
    case 10: {
        static const QByteArray nested(200000, '[');
        return nested;
    }
    default: return withValue(valid, [](const QByteArray&) { return QByteArray("\"\xff\xfe\xc0\xaf\xed\xa0\x80\""); });
    }
}

void SimMqttPublisher::handlePublishTimeout()
{
    for (const Sample& s : m_sampler()) {
        // A code from a params file, or set over the link, may not fit a topic level.
        if (s.code.isEmpty() || s.code.contains(QLatin1Char('/')) || s.code.contains(QLatin1Char('+')) ||
            s.code.contains(QLatin1Char('#'))) {
            if (m_unusableCodes.insert(s.code).second)
                spdlog::warn("<VehicleSim> vehicle code '{}' cannot be an MQTT topic level; not published",
                             s.code.toStdString());
            continue;
        }
        const std::string prefix = "gcs/notify/vehicle/" + s.code.toStdString();
        publish(s.code, prefix + "/position", positionPayload(s));
        publish(s.code, prefix + "/status", statusPayload(s));
    }
}

void SimMqttPublisher::publish(const QString& code, const std::string& topic, const QByteArray& payload)
{
    if (!m_client->isConnected()) {
        ++m_dropped;
        return;
    }
    const bool corrupt = m_options.mqttCorrupt > 0.0 &&
                         std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < m_options.mqttCorrupt;
    const QByteArray sent =
        corrupt ? malformed(std::uniform_int_distribution<int>(0, malformedKinds() - 1)(m_random), payload) : payload;
    if (!m_client->publish(topic, sent.toStdString(), kQos)) {
        ++m_dropped;
        return;
    }
    Counts& c = m_counts[code];
    ++(corrupt ? c.corrupt : c.valid);
}
