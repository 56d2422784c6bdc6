#include "MyVehicleController.h"

#include "GcsMqttController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleDataItem.h"

#include "GcsHttp.h"

#include <QPointer>

#include <spdlog/spdlog.h>

namespace {

std::shared_ptr<VehicleDataItem> itemFromJson(const nlohmann::json& v)
{
    const auto text = [&v](const char* key) {
        const auto it = v.find(key);
        return it != v.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
    };
    const auto it = v.find("vehicleLocalId");
    const int localId = it != v.end() && it->is_number_integer() ? it->get<int>() : 0;
    return std::make_shared<VehicleDataItem>(text("vehicleCode"), text("name"), localId);
}

}  // namespace

MyVehicleController::MyVehicleController(MultiVehicleManager* multiVehicleMgr, QObject* parent)
    : QObject(parent)
    , m_multiVehicleMgr(multiVehicleMgr)
{
    if (!m_multiVehicleMgr)
        spdlog::error("<MyVehicle> multiVehicleMgr is null, cannot create MyVehicleController");
}

MyVehicleController::~MyVehicleController() = default;

bool MyVehicleController::hasHttp(const char* what) const
{
    if (m_http.lock())
        return true;
    spdlog::warn("<MyVehicle> no cloud client, cannot {}", what);
    return false;
}

void MyVehicleController::refreshVehicleList()
{
    if (!hasHttp("refresh vehicle list"))
        return;
    QPointer<MyVehicleController> self(this);
    m_http.lock()->getUserVehicleList(UserVehicleListReq{}, [self](int code, GcsHttp::JsonPtr doc) {
        if (!self)
            return;
        if (doc && doc->is_object() && doc->contains("items") && (*doc)["items"].is_array()) {
            std::vector<std::shared_ptr<VehicleDataItem>> list;
            for (const auto& v : (*doc)["items"])
                if (v.is_object())
                    list.push_back(itemFromJson(v));
            self->m_vehicleList = std::move(list);
        }
        emit self->refreshVehicleListResp(code);
    });
}

void MyVehicleController::addVehicle(const AddUserVehicleReq& req)
{
    if (!hasHttp("add vehicle")) {
        emit addVehicleResp(kNoHttp);
        return;
    }
    const auto active = m_multiVehicleMgr ? m_multiVehicleMgr->activeVehicle() : nullptr;
    if (!active) {
        spdlog::warn("<MyVehicle> active vehicle is null, cannot add vehicle");
        emit addVehicleResp(kNotActiveVehicle);
        return;
    }
    if (active->vehicleCode().toStdString() != req.vehicleCode) {
        spdlog::warn("<MyVehicle> current active vehicle's vehicleCode is not the same as the vehicleCode to add, "
                     "cannot add vehicle");
        emit addVehicleResp(kNotActiveVehicle);
        return;
    }
    QPointer<MyVehicleController> self(this);
    m_http.lock()->addUserVehicle(req, [self, req](int code, GcsHttp::JsonPtr doc) {
        if (!self)
            return;
        emit self->addVehicleResp(code);
        if (code == 200) {
            auto item = doc && doc->is_object()
                            ? itemFromJson(*doc)
                            : std::make_shared<VehicleDataItem>(QString::fromStdString(req.vehicleCode));
            emit self->vehicleAdded(item);
        }
    });
}

void MyVehicleController::removeVehicle(const QString& vehicleCode)
{
    if (!hasHttp("remove vehicle")) {
        emit removeVehicleResp(kNoHttp, vehicleCode);
        return;
    }
    QPointer<MyVehicleController> self(this);
    m_http.lock()->deleteUserVehicle({vehicleCode.toStdString()},
                                                [self, vehicleCode](int code, GcsHttp::JsonPtr) {
                                                    if (self)
                                                        emit self->removeVehicleResp(code, vehicleCode);
                                                });
}

void MyVehicleController::updateVehicle(const QString& vehicleCode, const QString& name,
                                        std::optional<int> vehicleLocalId)
{
    if (!hasHttp("update vehicle")) {
        emit updateVehicleResp(kNoHttp, nullptr);
        return;
    }
    UpdateUserVehicleReq req;
    req.vehicleCode = vehicleCode.toStdString();
    req.name = name.toStdString();
    req.vehicleLocalId = vehicleLocalId;
    QPointer<MyVehicleController> self(this);
    m_http.lock()->updateUserVehicle(req, [self](int code, GcsHttp::JsonPtr doc) {
        if (self)
            emit self->updateVehicleResp(code, doc && doc->is_object() ? itemFromJson(*doc) : nullptr);
    });
}

void MyVehicleController::subscribeVehicle(const QString&)
{
    if (!hasHttp("subscribe vehicle"))
        emit subscribeVehicleResp(kNoHttp);
}

void MyVehicleController::requestAssociatedVehicleEmailCaptcha(const QString& email)
{
    if (!hasHttp("request vehicle email captcha")) {
        emit associatedVehicleEmailCaptchaResp(kNoHttp);
        return;
    }
    QPointer<MyVehicleController> self(this);
    m_http.lock()->requestEmailCaptcha(email.toStdString(), "associate-vehicle",
                                                  [self](int code, GcsHttp::JsonPtr) {
                                                      if (self)
                                                          emit self->associatedVehicleEmailCaptchaResp(code);
                                                  });
}

void MyVehicleController::activateRemoteMonitor(const QString& vehicleCode)
{
    if (vehicleCode.isEmpty()) {
        spdlog::warn("<MyVehicle> activateRemoteMonitor failed, vehicleCode is empty");
        return;
    }
    if (!m_multiVehicleMgr) {
        spdlog::warn("<MyVehicle> activateRemoteMonitor failed, multiVehicleMgr is null");
        return;
    }
    if (isRemoteMonitorActive() && m_remoteMonitorVehicleCode != vehicleCode)
        deactivateRemoteMonitor();
    const auto mqtt = m_mqttController.lock();
    if (!mqtt) {
        spdlog::warn("<MyVehicle> activateRemoteMonitor failed, mqttController is null, vehicleCode: {}",
                     vehicleCode.toStdString());
        return;
    }
    if (m_remoteMonitorVehicleCode != vehicleCode) {
        m_messagesApplied = 0;
        m_sinceLastMessage.invalidate();
    }
    m_multiVehicleMgr->addRemoteVehicle(vehicleCode);
    mqtt->subscribeVehiclePosition(vehicleCode);
    mqtt->subscribeVehicleStatus(vehicleCode);
    m_remoteMonitorVehicleCode = vehicleCode;
    spdlog::info("<MyVehicle> remote monitor activated, vehicleCode: {}", vehicleCode.toStdString());
    emit remoteMonitorStateChanged(vehicleCode, true);
}

void MyVehicleController::deactivateRemoteMonitor()
{
    if (!isRemoteMonitorActive())
        return;
    const QString code = m_remoteMonitorVehicleCode;
    if (m_multiVehicleMgr)
        m_multiVehicleMgr->removeRemoteVehicle(code);
    if (const auto mqtt = m_mqttController.lock()) {
        mqtt->unsubscribeVehiclePosition(code);
        mqtt->unsubscribeVehicleStatus(code);
    }
    spdlog::info("<MyVehicle> remote monitor deactivated, vehicleCode: {}", code.toStdString());
    m_remoteMonitorVehicleCode.clear();
    m_messagesApplied = 0;
    m_sinceLastMessage.invalidate();
    emit remoteMonitorStateChanged(code, false);
}

std::optional<qint64> MyVehicleController::lastRemoteMessageAgeMs() const
{
    if (!m_sinceLastMessage.isValid())
        return std::nullopt;
    return m_sinceLastMessage.elapsed();
}

void MyVehicleController::handleRemoteVehicleMessage(RemoteVehicleBaseMessagePtr msg)
{
    if (!msg || !isRemoteMonitorActive() || msg->vehicleCode != m_remoteMonitorVehicleCode || !m_multiVehicleMgr)
        return;
    // The remote one, even when a local vehicle carries the same code.
    for (const auto& vehicle : m_multiVehicleMgr->vehicleList()) {
        if (!vehicle->isLocal() && vehicle->vehicleCode() == msg->vehicleCode) {
            vehicle->handleRemoteVehicleMessage(msg);
            ++m_messagesApplied;
            m_sinceLastMessage.start();
            return;
        }
    }
}
