#pragma once
// Turns the notify topics of watched vehicles into records:
//   gcs/notify/vehicle/<code>/position  {"latitude", "longitude", "altitude"}
//   gcs/notify/vehicle/<code>/status    {"roll", "pitch", "yaw", "speed"}
// A payload over 16 KiB, or one that is not a JSON object, or whose value for one of these keys
// is not a number or out of range, gives one warning and no record; a missing key reads as 0.
// Ranges (before any float conversion): latitude +-90, longitude +-180, altitude +-100000 m,
// roll, pitch and yaw +-360 degrees, speed +-1000 m/s. Warnings quote at most 256
// characters of the parser's error (it may quote the whole payload), printable ASCII only.

#include "OstMqttMessageReceiver.h"
#include "common/RemoteVehicleMessages.h"

class GcsMqttReceiver : public OstMqttMessageReceiver {
    Q_OBJECT
public:
    explicit GcsMqttReceiver(QObject* parent = nullptr);

    // The record for one message, or null (logged) when the topic is not ours or the payload bad.
    static RemoteVehicleBaseMessagePtr decode(const QString& topic, const QByteArray& payload);

signals:
    void remoteVehicleMessageReceived(RemoteVehicleBaseMessagePtr msg);

protected:
    void processMessage(const QString& topic, const QByteArray& payload) override;
};
