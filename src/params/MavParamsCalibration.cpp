// Accelerometer and compass calibration: the vehicle is turned through the steps the operator
// is shown; polling pauses meanwhile, and the two calibrations exclude each other.

#include "MavParamsController.h"

#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoParamsProcesser.h"

#include <spdlog/spdlog.h>

namespace {

constexpr uint32_t kCaliTimeoutMs = 60000;

}  // namespace

MavParamsEnums::CaliAccMeterOpRet MavParamsController::calibrateAccMeter(MavProtoAccMeterCalibrateStep step)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return MavParamsEnums::AccCaliVehicleGone;
    }
    if (m_magComCaliStep != 0) {
        spdlog::warn("<Params> calibrate MagCompass is running, can not calibrate AccMeter now");
        return MavParamsEnums::AccCaliMagComInProgress;
    }
    if (step == MAVPROTO_ACC_CALI_STEP_START) {
        if (m_accMeterCaliStep != 0 && m_accMeterCaliStep != MAVPROTO_ACC_CALI_STEP_FINAL) {
            spdlog::warn("<Params> <AccMeterCali> can not start repeat, current step = {}", m_accMeterCaliStep);
            return MavParamsEnums::AccCaliAlreadyInProgress;
        }
        vehicle->setTeleReqHold(VehicleController::CalibrationHold, true);  // no polling while it is turned around
    }
    m_accMeterCaliStep = step;
    spdlog::info("<Params> <AccMeterCali> cali accMeter, step = {}", int(step));
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoParamsProcesser::packAccMeterCaliActionFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                         step);
    sendReq(vehicle, frame, CheckResult, 2, kCaliTimeoutMs, VehicleUtil::cmdToText(MavCmd::AccCalibration));
    return MavParamsEnums::AccCaliRequestSent;
}

MavParamsEnums::CaliMagComOpRet MavParamsController::calibrateMagCompass(MavProtoMagCompassCalibrateStep step)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return MavParamsEnums::MagCaliVehicleGone;
    }
    if (m_accMeterCaliStep != 0) {
        spdlog::warn("<Params> calibrate AccMeter is running, can not calibrate MagCompass now");
        return MavParamsEnums::MagCaliAccMeterInProgress;
    }
    if (step == MAVPROTO_MAG_CALI_STEP_START) {
        if (m_magComCaliStep != 0 && m_magComCaliStep != MAVPROTO_MAG_CALI_STEP_FINAL) {
            spdlog::warn("<Params> <MagComCali> can not start repeat, current step = {}", m_magComCaliStep);
            return MavParamsEnums::MagCaliAlreadyInProgress;
        }
        vehicle->setTeleReqHold(VehicleController::CalibrationHold, true);
    }
    m_magComCaliStep = step;
    spdlog::info("<Params> <MagComCali> cali magCom, step = {}", int(step));
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoParamsProcesser::packMagCompassCaliActionFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                           step);
    sendReq(vehicle, frame, CheckResult, 2, kCaliTimeoutMs, VehicleUtil::cmdToText(MavCmd::MagCalibration));
    return MavParamsEnums::MagCaliRequestSent;
}

void MavParamsController::resetCaliAccMeter()
{
    m_accMeterCaliStep = 0;
    if (auto vehicle = m_vehicle.lock())
        vehicle->setTeleReqHold(VehicleController::CalibrationHold, false);
}

void MavParamsController::resetCaliMagCom()
{
    m_magComCaliStep = 0;
    if (auto vehicle = m_vehicle.lock())
        vehicle->setTeleReqHold(VehicleController::CalibrationHold, false);
}

void MavParamsController::handleCaliAck(uint8_t cmd, const _MavPFrame_t& frame)
{
    MavProtoCaliAck_t ack{};
    const bool acc = cmd == MavCmd::AccCalibration;
    if (acc)
        MavProtoParamsProcesser::parseAccMeterCaliAck(frame, ack);
    else
        MavProtoParamsProcesser::parseMagCompassCaliAck(frame, ack);
    const int ret = ack.result;
    const int step = ack.step;
    if (acc) {
        m_accMeterCaliRet = ret;
        spdlog::info("<Params> handle AccMeter calibrate ack, ret = {}, step = {}", ret, step);
        emit caliAccMeterResp(step, ret);
        if (ret == 0 && step == MAVPROTO_ACC_CALI_STEP_FINAL) {
            if (auto vehicle = m_vehicle.lock())
                vehicle->setTeleReqHold(VehicleController::CalibrationHold, false);
            m_accMeterCaliStep = 0;
        }
    } else {
        m_magComCaliRet = ret;
        spdlog::info("<Params> handle MagCompass calibrate ack, ret = {}, step = {}", ret, step);
        emit caliMagCompassResp(step, ret);
        if (ret == 0 && step == MAVPROTO_MAG_CALI_STEP_FINAL) {
            if (auto vehicle = m_vehicle.lock())
                vehicle->setTeleReqHold(VehicleController::CalibrationHold, false);
            m_magComCaliStep = 0;
        }
    }
}

void MavParamsController::mockCaliAccMeterResult(int step, int ret)
{
    spdlog::info("<Params> <Mock> handle AccMeter calibrate ack, ret = {}, step = {}", ret, step);
    m_accMeterCaliRet = ret;
    m_accMeterCaliStep = step;
    emit caliAccMeterResp(step, ret);
    if (ret == 0 && step == MAVPROTO_ACC_CALI_STEP_FINAL)
        m_accMeterCaliStep = 0;
}

void MavParamsController::mockCaliMagComResult(int step, int ret)
{
    spdlog::info("<Params> <MagCom> handle MagCompass calibrate ack, ret = {}, step = {}", ret, step);
    m_magComCaliRet = ret;
    m_magComCaliStep = step;
    emit caliMagCompassResp(step, ret);
    if (ret == 0 && step == MAVPROTO_MAG_CALI_STEP_FINAL)
        m_magComCaliStep = 0;
}
