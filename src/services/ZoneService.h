#pragma once
// No-fly-zone transfers to any vehicle: an upload of zones of the station's zone set, or a manual
// bind of one four-corner zone. Addressed like every service: the vehicle named by the selector
// takes the zones, and the operator's active vehicle plays no part (selecting another vehicle
// during a transfer leaves it running).
//
// The station runs one zone session at a time (a second is refused Busy, naming the vehicle
// that has it); a vehicle takes one operation at a time (OperationGate). Every accepted transfer
// has a request id and a record that outlives its vehicle object: its vehicle, kind, zone ids,
// the zones sent larger than drawn, and once it ends its result (0, the vehicle's code, 5000
// time-out, -2102 vehicle left). transferFinished reports each once. At most kMaxRecords are
// kept, oldest dropped first. Main thread only.

#include "services/ServiceResult.h"
#include "services/VehicleDirectory.h"

#include "MavProtoNfzProcesser.h"

#include <QObject>
#include <QPointer>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class NfzVehicleController;
class NfzZoneManager;

namespace svc {

class OperationGate;

enum class ZoneTransferKind { Upload, ManualBind };
const char* zoneTransferKindName(ZoneTransferKind kind);

struct ZoneTransfer {
    int64_t requestId = 0;  // 0: started elsewhere, not through this service
    int vehicleId = 0;
    ZoneTransferKind kind = ZoneTransferKind::Upload;
    std::vector<int64_t> zoneIds;
    std::vector<int64_t> enlargedZoneIds;
    bool finished = false;
    bool ok = false;
    int result = 0;
};

class ZoneService : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxRecords = 256;

    ZoneService(VehicleDirectory& directory, OperationGate& gate, std::shared_ptr<NfzVehicleController> transfers,
                std::shared_ptr<NfzZoneManager> zones, QObject* parent = nullptr);

    // Empty ids: every zone of the set.
    Result<ZoneTransfer> upload(const VehicleSelector& selector, std::vector<int64_t> ids);
    Result<ZoneTransfer> bindManual(const VehicleSelector& selector, const std::array<MavProtoNfzVertex_t, 4>& corners);

    bool transferring() const;
    std::optional<ZoneTransfer> transfer(int64_t requestId) const;
    // The last transfer that ended, whichever vehicle it went to.
    std::optional<ZoneTransfer> lastFinished() const { return m_lastFinished; }

signals:
    void transferFinished(svc::ZoneTransfer transfer);

private:
    Status startable(const VehicleSelector& selector, VehiclePtr& vehicle) const;
    Result<ZoneTransfer> started(const VehiclePtr& vehicle, ZoneTransferKind kind, std::vector<int64_t> ids);
    void finish(bool ok, int ret);

    VehicleDirectory& m_directory;
    OperationGate& m_gate;
    std::shared_ptr<NfzVehicleController> m_transfers;
    std::weak_ptr<NfzZoneManager> m_zones;
    std::optional<ZoneTransfer> m_running;
    std::map<int64_t, ZoneTransfer> m_records;
    std::deque<int64_t> m_order;
    std::optional<ZoneTransfer> m_lastFinished;
};

}  // namespace svc
