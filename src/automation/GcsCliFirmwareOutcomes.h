#pragma once
// Firmware updates as the CLI sees them, one record per update: its vehicle id, last step and
// progress, result, image path, SHA-256 and size, and when its data phase began and last moved.
// Follows every vehicle's controller as the vehicle joins, so updates started elsewhere show too.
//
// Records are keyed by the firmware.update requestId (adopt()) or, for updates started
// elsewhere, by a key of their own; each vehicle id points at its latest. They outlive the
// vehicle object: a link cycle retires the vehicle and a new object with the same id joins, yet
// the update that ended inside the old one (FailedLinkLost) stays readable by requestId and by
// vehicle id. At most kMaxUpdates records are kept, the oldest dropped first. Owned by
// GcsCliOutcomeRecorder; main thread only.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <nlohmann/json.hpp>

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

class GcsCliFirmwareOutcomes : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxUpdates = 256;

    explicit GcsCliFirmwareOutcomes(QObject* parent = nullptr);

    // Binds the vehicles of vehicleMgr, those present and those that join later.
    void followVehicles(MultiVehicleManager* vehicleMgr);
    void follow(const std::shared_ptr<VehicleController>& vehicle);
    // Right after the vehicle's controller accepted a start: files that update under requestId.
    void adopt(int64_t requestId, const std::shared_ptr<VehicleController>& vehicle);
    // The "firmware.status" data of one update; nothing for an unknown requestId.
    std::optional<nlohmann::json> statusOfRequest(int64_t requestId) const;
    // The "firmware.status" data of the vehicle's latest update (an idle record without one).
    nlohmann::json statusOfVehicle(int vehicleId) const;

private:
    struct Update {
        int64_t requestId = 0;  // 0: not started through firmware.update
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

    void begin(FirmwareUpdateController* ctrl, int vehicleId);
    Update* currentOf(FirmwareUpdateController* ctrl);
    void keep(int64_t key, Update update);
    nlohmann::json describe(const Update& u) const;

    QPointer<MultiVehicleManager> m_vehicleMgr;
    QElapsedTimer m_clock;
    std::map<int64_t, Update> m_updates;
    std::deque<int64_t> m_order;  // keys, oldest first
    std::map<int, int64_t> m_latest;  // vehicle id -> key
    std::map<FirmwareUpdateController*, int64_t> m_current;  // controller -> key of its update
    std::set<FirmwareUpdateController*> m_followed;
    int64_t m_nextLocalKey = -1;  // below zero, apart from request ids
};
