#pragma once
// Firmware updates as the CLI sees them: per vehicle, the last step and progress its firmware
// controller reported, the last result and the image path. Follows every vehicle's controller
// as the vehicle joins, so updates started elsewhere show too. Owned by GcsCliOutcomeRecorder;
// main thread only.

#include <QObject>
#include <QPointer>

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

class MultiVehicleManager;
class VehicleController;

class GcsCliFirmwareOutcomes : public QObject {
    Q_OBJECT
public:
    explicit GcsCliFirmwareOutcomes(QObject* parent = nullptr);

    // Binds the vehicles of vehicleMgr, those present and those that join later.
    void followVehicles(MultiVehicleManager* vehicleMgr);
    void follow(const std::shared_ptr<VehicleController>& vehicle);
    // The "firmware.status" data of one vehicle.
    nlohmann::json status(const std::shared_ptr<VehicleController>& vehicle) const;

private:
    struct Update {
        int step = 0;
        int framesAcked = 0;
        int frameCount = 0;
        std::optional<int> result;
        std::string path;
    };

    QPointer<MultiVehicleManager> m_vehicleMgr;
    std::map<VehicleController*, Update> m_updates;
};
