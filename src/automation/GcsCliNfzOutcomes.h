#pragma once
// What the CLI endpoint remembers of the last zone sync between requests (transfers to vehicles
// are recorded by the zone service). Owned by GcsCliOutcomeRecorder; bound to the station's sync
// controller. Main thread only.

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

    // null, or {"ok", "errorCode", "error", "detail", "message"} (message: why it failed, "" on success).
    nlohmann::json lastSync() const { return m_lastSync; }
    // "" after a successful sync, else the last failure's error name.
    std::string lastError() const { return m_lastError; }

private:
    QPointer<QObject> m_sync;
    nlohmann::json m_lastSync;
    std::string m_lastError;
};
