#include "GcsMqttReceiver.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <cmath>
#include <stdexcept>

namespace {

constexpr char kPrefix[] = "gcs/notify/vehicle/";
constexpr size_t kMostErrorChars = 256;
// Deeper values are never ours; dropping them keeps a hostile payload from building a tree.
constexpr int kMostDepth = 8;
// A record is a few dozen bytes; anything far bigger is refused before it costs a parse.
constexpr int kMostPayloadBytes = 16 * 1024;
// Degrees, metres and metres per second; far past any aircraft, yet small enough for a float.
constexpr double kMostLatitude = 90.0;
constexpr double kMostLongitude = 180.0;
constexpr double kMostAltitude = 100000.0;
constexpr double kMostAngle = 360.0;
constexpr double kMostSpeed = 1000.0;

std::string printableCut(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, kMostErrorChars))
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return out;
}

// Out-of-range values are refused here, before any float conversion downstream could overflow.
double numberOrZero(const nlohmann::json& doc, const char* key, double most)
{
    const auto it = doc.find(key);
    if (it == doc.end())
        return 0.0;
    if (!it->is_number())
        throw std::invalid_argument(std::string("\"") + key + "\" is not a number");
    const double v = it->get<double>();
    if (!std::isfinite(v) || std::fabs(v) > most)
        throw std::out_of_range(std::string("\"") + key + "\" is outside +-" + std::to_string(int(most)));
    return v;
}

}  // namespace

GcsMqttReceiver::GcsMqttReceiver(QObject* parent)
    : OstMqttMessageReceiver(parent)
{
    qRegisterMetaType<RemoteVehicleBaseMessagePtr>("RemoteVehicleBaseMessagePtr");
}

RemoteVehicleBaseMessagePtr GcsMqttReceiver::decode(const QString& topic, const QByteArray& payload)
{
    if (!topic.startsWith(kPrefix))
        return nullptr;
    const QString rest = topic.mid(int(sizeof(kPrefix)) - 1);
    const int slash = rest.indexOf('/');
    if (slash <= 0 || rest.indexOf('/', slash + 1) >= 0)
        return nullptr;
    const QString code = rest.left(slash);
    const QString kind = rest.mid(slash + 1);
    const bool isPosition = kind == QLatin1String("position");
    if (!isPosition && kind != QLatin1String("status"))
        return nullptr;
    try {
        if (payload.size() > kMostPayloadBytes)
            throw std::length_error("payload of " + std::to_string(payload.size()) + " bytes is over the limit of " +
                                    std::to_string(kMostPayloadBytes));
        const auto limitDepth = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            return depth <= kMostDepth;
        };
        const auto doc = nlohmann::json::parse(payload.begin(), payload.end(), limitDepth);
        if (!doc.is_object())
            throw std::invalid_argument("payload is not a JSON object");
        if (isPosition) {
            auto msg = std::make_shared<RemoteVehiclePositionMessage>(code);
            msg->latitude = numberOrZero(doc, "latitude", kMostLatitude);
            msg->longitude = numberOrZero(doc, "longitude", kMostLongitude);
            msg->altitude = numberOrZero(doc, "altitude", kMostAltitude);
            return msg;
        }
        auto msg = std::make_shared<RemoteVehicleStatusMessage>(code);
        msg->roll = numberOrZero(doc, "roll", kMostAngle);
        msg->pitch = numberOrZero(doc, "pitch", kMostAngle);
        msg->yaw = numberOrZero(doc, "yaw", kMostAngle);
        msg->speed = numberOrZero(doc, "speed", kMostSpeed);
        return msg;
    } catch (const std::exception& e) {
        const std::string where = printableCut(topic.toStdString());
        const std::string why = printableCut(e.what());
        if (isPosition)
            spdlog::warn("<{}> Failed to parse position payload, topic: {}, error: {}", "GcsMqttReceiver", where, why);
        else
            spdlog::warn("<{}> Failed to parse status payload, topic: {}, error: {}", "GcsMqttReceiver", where, why);
        return nullptr;
    }
}

void GcsMqttReceiver::processMessage(const QString& topic, const QByteArray& payload)
{
    spdlog::debug("<{}> Received message on topic: {}", "GcsMqttReceiver", topic.toStdString());
    if (auto msg = decode(topic, payload))
        emit remoteVehicleMessageReceived(std::move(msg));
}
