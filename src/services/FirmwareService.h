#pragma once
// Firmware updates of any vehicle, and one record per update: its vehicle id, last step and
// progress, result, image path, SHA-256 and size, and when its data phase began and last moved.
// Follows every vehicle's controller as the vehicle joins, so updates started elsewhere show too.
//
// An update starts only on a locally linked vehicle over an open link, alive (unless forced),
// with no other operation running on it (OperationGate: a route or zone transfer interleaved
// with the reset would both report success while the vehicle took neither). `force` skips the
// controller's alive, landed and disarmed check; it is accepted only when the station was
// started to allow it (benches and simulators), otherwise refused.
//
// Records are keyed by the request id update() answered or, for updates started elsewhere, by a
// key of their own; each vehicle id points at its latest. They outlive the vehicle object: a
// link cycle retires the vehicle and a new object with the same id joins, yet the update that
// ended inside the old one (FailedLinkLost) stays readable by request id and by vehicle id. At
// most kMaxUpdates records are kept, the oldest dropped first. Main thread only.

#include "services/ServiceResult.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

class FirmwareUpdateController;
class MultiVehicleManager;
class VehicleController;

namespace svc {

class OperationGate;
class VehicleDirectory;

struct FirmwareRequest {
    std::string path;  // absolute
    std::string sha256;  // expected image hash, hex; empty: any
    bool force = false;
    uint32_t firmInfoTimeoutMs = 0;
    uint32_t resetTimeoutMs = 0;
};

struct FirmwareTicket {
    int64_t requestId = 0;
    int vehicleId = 0;
    std::string path;
    std::string sha256;
    int64_t totalSize = 0;
    int frameCount = 0;
    bool forced = false;
};

struct FirmwareStatus {
    int64_t requestId = 0;  // 0: not started through update()
    int vehicleId = -1;
    bool running = false;
    std::string step;
    int framesAcked = 0;
    int frameCount = 0;
    double percent = 0;
    std::optional<std::string> result;
    std::optional<int> resultCode;
    std::string path;
    std::string sha256;
    int64_t totalSize = 0;
    double bytesPerSecond = 0;
    std::optional<double> etaSeconds;
    std::string vehicleVersion;
};

class FirmwareService : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxUpdates = 256;

    FirmwareService(VehicleDirectory& directory, OperationGate& gate, QObject* parent = nullptr);

    // Off by default: the station opts in (--allow-forced-firmware) for benches and simulators.
    void setAllowForced(bool on) { m_allowForced = on; }
    bool allowForced() const { return m_allowForced; }

    Result<FirmwareTicket> update(const std::shared_ptr<VehicleController>& vehicle, const FirmwareRequest& request);
    // One update by request id; nothing for an unknown id.
    std::optional<FirmwareStatus> statusOfRequest(int64_t requestId) const;
    // The vehicle's latest update (an idle record without one).
    FirmwareStatus statusOfVehicle(int vehicleId) const;

private:
    struct Update {
        int64_t requestId = 0;
        int vehicleId = -1;
        int step = 0;
        int framesAcked = 0;
        int frameCount = 0;
        std::optional<int> result;
        std::string path;
        std::string sha256;
        int64_t totalSize = 0;
        int64_t uploadStartMs = -1;
        int64_t lastProgressMs = -1;
    };

    void followVehicles(MultiVehicleManager* vehicleMgr);
    void follow(const std::shared_ptr<VehicleController>& vehicle);
    void adopt(int64_t requestId, const std::shared_ptr<VehicleController>& vehicle);
    void begin(FirmwareUpdateController* ctrl, int vehicleId);
    Update* currentOf(FirmwareUpdateController* ctrl);
    void keep(int64_t key, Update update);
    FirmwareStatus describe(const Update& u) const;

    VehicleDirectory& m_directory;
    OperationGate& m_gate;
    bool m_allowForced = false;
    QPointer<MultiVehicleManager> m_vehicleMgr;
    QElapsedTimer m_clock;
    std::map<int64_t, Update> m_updates;
    std::deque<int64_t> m_order;  // keys, oldest first
    std::map<int, int64_t> m_latest;  // vehicle id -> key
    std::map<FirmwareUpdateController*, int64_t> m_current;  // controller -> key of its update
    std::set<FirmwareUpdateController*> m_followed;
    int64_t m_nextLocalKey = -1;  // below zero, apart from request ids
};

}  // namespace svc
