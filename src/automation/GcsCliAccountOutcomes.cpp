#include "GcsCliAccountOutcomes.h"

#include "services/StationPort.h"
#include "cloud/MyVehicleController.h"
#include "vehicle/VehicleDataItem.h"

#include "GcsLoginManager.h"

#include <iterator>

namespace {

constexpr const char* kNames[] = {"login",      "vehiclesRefresh", "vehicleCaptcha",
                                  "vehicleAdd", "vehicleRemove",   "vehicleUpdate"};
static_assert(std::size(kNames) == size_t(GcsCliAccountOutcomes::kCount));

}  // namespace

GcsCliAccountOutcomes::GcsCliAccountOutcomes(QObject* parent)
    : QObject(parent)
{
}

void GcsCliAccountOutcomes::attach(svc::StationPort* station)
{
    if (!station)
        return;
    if (auto* login = station->account().get(); login && login != m_login.data()) {
        m_login = login;
        connect(login, &GcsLoginManager::passwordLoginResp, this, [this](int code) { answered(Login, code); });
        connect(login, &GcsLoginManager::loginStateChanged, this, [this](GcsAccountEnums::LoginState state) {
            if (state != GcsAccountEnums::LoggingIn)
                m_ops[Login].outstanding = 0;
        });
    }
    if (auto* vehicles = station->accountVehicles().get(); vehicles && vehicles != m_vehicles.data()) {
        m_vehicles = vehicles;
        connect(vehicles, &MyVehicleController::refreshVehicleListResp, this,
                [this](int code) { answered(VehiclesRefresh, code); });
        connect(vehicles, &MyVehicleController::associatedVehicleEmailCaptchaResp, this,
                [this](int code) { answered(VehicleCaptcha, code); });
        connect(vehicles, &MyVehicleController::addVehicleResp, this, [this](int code) { answered(VehicleAdd, code); });
        connect(vehicles, &MyVehicleController::removeVehicleResp, this,
                [this](int code, const QString&) { answered(VehicleRemove, code); });
        connect(vehicles, &MyVehicleController::updateVehicleResp, this,
                [this](int code, const std::shared_ptr<VehicleDataItem>&) { answered(VehicleUpdate, code); });
    }
}

void GcsCliAccountOutcomes::noteStarted(Operation op)
{
    ++m_ops[op].outstanding;
}

void GcsCliAccountOutcomes::noteRefused(Operation op)
{
    if (m_ops[op].outstanding > 0)
        --m_ops[op].outstanding;
}

void GcsCliAccountOutcomes::answered(Operation op, int code)
{
    State& s = m_ops[op];
    s.lastCode = code;
    ++s.answers;
    if (s.outstanding > 0)
        --s.outstanding;
}

nlohmann::json GcsCliAccountOutcomes::status() const
{
    nlohmann::json out = nlohmann::json::object();
    for (int op = 0; op < kCount; ++op) {
        const State& s = m_ops[op];
        out[kNames[op]] = {{"pending", s.outstanding > 0},
                           {"lastCode", s.lastCode ? nlohmann::json(*s.lastCode) : nlohmann::json(nullptr)}};
    }
    return out;
}
