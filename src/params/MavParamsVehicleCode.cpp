// The vehicle code: read from the vehicle, activated in the cloud once the account is logged in,
// and replaced by a code the cloud generates.

#include "MavParamsController.h"

#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "GcsHttp.h"
#include "GcsLoginManager.h"
#include "MavProtoHelper.h"
#include "MavProtoParamsProcesser.h"

#include <QPointer>

#include <spdlog/spdlog.h>

void MavParamsController::setLoginManager(std::shared_ptr<GcsLoginManager> loginMgr)
{
    if (m_loginConnection)
        disconnect(m_loginConnection);
    m_loginMgr = loginMgr;
    if (loginMgr)
        m_loginConnection = connect(loginMgr.get(), &GcsLoginManager::loginStateChanged, this,
                                    &MavParamsController::handleLoginStateChanged);
}

void MavParamsController::readVehicleCode()
{
    sendRead(MavCmd::VehicleCode, "readVehicleCode failed, vehicleCtrler is null");
}

int MavParamsController::handleVehicleCodeReply(const _MavPFrame_t& frame, bool read)
{
    if (!read) {
        if (frame.data.size() != 1) {
            spdlog::warn("<Params> vehicleCode write ack has bad length {}, vehicleCode:{}", frame.data.size(),
                         m_vehicleCode.toStdString());
            emit vehicleCodeWriteResp(GcsRet::WrongReplyLength);
            return GcsRet::WrongReplyLength;
        }
        const int ret = MavProtoHelper::parseMavProtoFrameResult(frame);
        emit vehicleCodeWriteResp(ret);
        if (ret != 0) {
            spdlog::warn("<Params> reset vehicleCode failed, vehicleCode:{}, ret:{}", m_vehicleCode.toStdString(), ret);
            return ret;
        }
        spdlog::info("<Params> reset vehicleCode success, vehicleCode:{}", m_vehicleCode.toStdString());
        emit vehicleCodeResetResp(0, 200);
        m_vehicleCodeIsActive = true;
        emit vehicleMqttActivated(true);
        return 0;
    }
    std::string code;
    if (frame.data.size() != MAVPROTO_VEHICLE_CODE_LEN ||
        !MavProtoParamsProcesser::parseReadVehicleCodeParamsAck(frame, code)) {
        emit vehicleCodeReadResp(GcsRet::WrongReplyLength);
        return 0;
    }
    m_vehicleCodeAnswered = true;
    if (code.empty()) {
        // Many vehicles have no code; said once so a lossy link does not repeat it.
        if (!m_emptyCodeLogged)
            spdlog::info("<Params> handle read vehicleCode, vehicleCode is empty");
        m_emptyCodeLogged = true;
        return 0;
    }
    spdlog::info("<Params> handle read vehicleCode, vehicleCode={}", code);
    m_vehicleCode = QString::fromStdString(code);
    emit vehicleCodeReadResp(0);
    auto loginMgr = m_loginMgr.lock();
    if (!loginMgr) {
        spdlog::warn("<Params> loginMgr is null, will not activate vehicle code");
        m_vehicleCodeIsActive = false;
        return 0;
    }
    if (loginMgr->loginState() != GcsAccountEnums::LoggedIn) {
        spdlog::info("<Params> loginState is not Logined, will not activate vehicle code");
        return 0;
    }
    requestActivateVehicleCode();
    return 0;
}

void MavParamsController::handleLoginStateChanged(GcsAccountEnums::LoginState s)
{
    if (s != GcsAccountEnums::LoggedIn) {
        spdlog::info("<Params> handle login state changed, maybe do something, loginState:{}", int(s));
        return;
    }
    auto vehicle = m_vehicle.lock();
    if (!vehicle)
        return;
    if (!vehicle->alive()) {
        spdlog::info("<Params> do nothing, account logined but vehicle is not alive");
        return;
    }
    if (!m_vehicleCode.isEmpty() && !m_vehicleCodeIsActive) {
        spdlog::info("<Params> vehicleCode is not activated, will request to activate vehicleCode:{}",
                     m_vehicleCode.toStdString());
        requestActivateVehicleCode();
    } else if (m_vehicleCode.isEmpty()) {
        spdlog::info("<Params> account logined, will read vehicleCode from vehicle");
        readVehicleCode();
    }
}

void MavParamsController::requestActivateVehicleCode()
{
    auto http = m_http.lock();
    if (!http)
        return;
    QPointer<MavParamsController> self(this);
    http->activateVehicleMqtt(m_vehicleCode.toStdString(), [self](int status, std::shared_ptr<nlohmann::json> doc) {
        if (!self)
            return;
        const bool ok = status == 200;
        self->m_vehicleCodeIsActive = ok;
        emit self->vehicleMqttActivated(ok);
        if (!ok) {
            const int code = doc && doc->is_object() && doc->contains("code") && (*doc)["code"].is_number_integer()
                                 ? (*doc)["code"].get<int>()
                                 : -1;
            spdlog::warn(
                "<Params> <VehicleCode> activate vehicle mqtt failed, code = {}, statusCode = {}, libCode = {}", code,
                status, status == 0 ? "network" : "http");
        }
    });
}

void MavParamsController::resetVehicleCode(const GenerateVehicleCodeReq& req)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("resetVehicleCode failed, vehicleCtrler is null");
        return;
    }
    if (!vehicle->alive()) {
        spdlog::warn("resetVehicleCode failed, vehicle is not alive");
        emit vehicleCodeResetResp(-2004, 0);
        return;
    }
    auto http = m_http.lock();
    if (!http) {
        emit vehicleCodeResetResp(GcsRet::CloudCallFailed, 0);
        return;
    }
    QPointer<MavParamsController> self(this);
    http->generateVehicleCode(req, [self](int status, std::shared_ptr<nlohmann::json> doc) {
        if (!self)
            return;
        if (status != 200 || !doc || !doc->is_object() || !(*doc)["code"].is_string()) {
            const int code = doc && doc->is_object() && doc->contains("code") && (*doc)["code"].is_number_integer()
                                 ? (*doc)["code"].get<int>()
                                 : -1;
            spdlog::warn("<Params> resetVehicleCode failed, generate vehicleCode failed, code = {}, statusCode = {}, "
                         "libCode = {}",
                         code, status, status == 0 ? "network" : "http");
            emit self->vehicleCodeResetResp(GcsRet::CloudCallFailed, status);
            return;
        }
        auto vehicle = self->m_vehicle.lock();
        if (!vehicle)
            return;
        self->m_vehicleCode = QString::fromStdString((*doc)["code"].get<std::string>());
        spdlog::info("<Params> reset vehicleCode, code = {}", self->m_vehicleCode.toStdString());
        auto frame = std::make_shared<_MavPFrame_t>();
        if (MavProtoParamsProcesser::packWriteVehicleCodeFrame(
                *frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), self->m_vehicleCode.toStdString()) == 0) {
            spdlog::warn("<Params> reset vehicleCode: the cloud's code cannot be written to the vehicle: {}",
                         self->m_vehicleCode.toStdString());
            emit self->vehicleCodeResetResp(GcsRet::CloudCallFailed, status);
            return;
        }
        self->sendWriteReq(vehicle, frame, MavCmd::VehicleCode);
    });
}
