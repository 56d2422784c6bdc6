#pragma once
// One report of a local vehicle to the cloud's monitor topic, and the seam through which the
// vehicle registry hands reports to whoever publishes them (the MQTT controller).

#include <QString>

#include <nlohmann/json.hpp>

#include <cstdint>

struct VehicleMessage {
    QString clientId;  // the account's MQTT client id
    int clientType = 1;
    QString vehicleId;  // the vehicle code
    QString uid;
    QString token;
    QString messageType;  // "position" or "status"
    int64_t timestamp = 0;  // ms since the epoch
    nlohmann::json payload = nlohmann::json::object();

    nlohmann::json toJson() const
    {
        return {{"clientId", clientId.toStdString()},
                {"clientType", clientType},
                {"vehicleId", vehicleId.toStdString()},
                {"uid", uid.toStdString()},
                {"token", token.toStdString()},
                {"messageType", messageType.toStdString()},
                {"timestamp", timestamp},
                {"payload", payload}};
    }
};

class GcsVehicleReportPublisher {
public:
    virtual ~GcsVehicleReportPublisher() = default;
    virtual void publishVehicleReport(const VehicleMessage& message) = 0;
};
