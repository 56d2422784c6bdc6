#include "GcsCliNfzOutcomes.h"

#include "services/StationPort.h"
#include "nfz/NfzSyncController.h"

GcsCliNfzOutcomes::GcsCliNfzOutcomes(QObject* parent)
    : QObject(parent)
    , m_lastSync(nullptr)
{
}

void GcsCliNfzOutcomes::attach(svc::StationPort* station)
{
    if (!station)
        return;
    if (auto* sync = station->zoneSync().get(); sync && sync != m_sync.data()) {
        m_sync = sync;
        connect(sync, &NfzSyncController::syncFinished, this, [this, sync](bool ok, int errorCode, int detail) {
            const std::string name = NfzSyncController::errorName(errorCode).toStdString();
            m_lastSync = {{"ok", ok},
                          {"errorCode", errorCode},
                          {"error", name},
                          {"detail", detail},
                          {"message", sync->lastErrorText().toStdString()}};
            m_lastError = ok ? std::string() : name;
        });
    }
}
