#pragma once
// What the CLI endpoint remembers of no-fly-zone work between requests: the last sync's
// outcome and the last upload or manual bind, with the vehicle it went to. Owned by
// GcsCliOutcomeRecorder; bound to the station's zone controllers. Main thread only.

#include <QObject>
#include <QPointer>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace svc {
class StationPort;
}

class GcsCliNfzOutcomes : public QObject {
    Q_OBJECT
public:
    explicit GcsCliNfzOutcomes(QObject* parent = nullptr);

    // Binds to the controller's zone controllers once they exist; repeat-safe.
    void attach(svc::StationPort* station);
    // Call when a transfer the CLI started was accepted: its id and vehicle show in lastTransfer.
    void noteTransferStarted(int64_t requestId, int vehicleId);

    // null, or {"ok", "errorCode", "error", "detail", "message"} (message: why it failed, "" on success).
    nlohmann::json lastSync() const { return m_lastSync; }
    // "" after a successful sync, else the last failure's error name.
    std::string lastError() const { return m_lastError; }
    // null, or {"kind": "upload"/"manualBind", "ok", "ret", "zoneIds", "vehicleId", "requestId"},
    // an upload also with "enlargedZoneIds" (the zones sent larger than drawn, see
    // NfzVehicleController).
    nlohmann::json lastTransfer() const { return m_lastTransfer; }

private:
    void recordTransfer(const char* kind, bool ok, int ret, const std::vector<int64_t>& ids);

    QPointer<QObject> m_sync;
    QPointer<QObject> m_vehicle;
    nlohmann::json m_lastSync;
    std::string m_lastError;
    nlohmann::json m_lastTransfer;
    int64_t m_requestId = 0;
    int m_vehicleId = 0;
    std::vector<int64_t> m_enlargedIds;
};
