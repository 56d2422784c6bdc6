#pragma once
// Records decoded from the cloud's notify topics of a remote-monitored vehicle. Values are in
// degrees, metres and m/s; a key missing from the payload reads as 0.

#include <QMetaType>
#include <QString>

#include <memory>

struct RemoteVehicleBaseMessage {
    enum Type { Position = 0, Status = 1 };

    RemoteVehicleBaseMessage(Type t, QString code)
        : type(t)
        , vehicleCode(std::move(code))
    {
    }
    virtual ~RemoteVehicleBaseMessage() = default;

    Type type;
    QString vehicleCode;  // taken from the topic
};

struct RemoteVehiclePositionMessage final : RemoteVehicleBaseMessage {
    explicit RemoteVehiclePositionMessage(QString code)
        : RemoteVehicleBaseMessage(Position, std::move(code))
    {
    }
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
};

struct RemoteVehicleStatusMessage final : RemoteVehicleBaseMessage {
    explicit RemoteVehicleStatusMessage(QString code)
        : RemoteVehicleBaseMessage(Status, std::move(code))
    {
    }
    double roll = 0;
    double pitch = 0;
    double yaw = 0;
    double speed = 0;  // horizontal, m/s
};

using RemoteVehicleBaseMessagePtr = std::shared_ptr<RemoteVehicleBaseMessage>;
Q_DECLARE_METATYPE(RemoteVehicleBaseMessagePtr)
