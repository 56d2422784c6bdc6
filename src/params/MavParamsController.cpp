#include "MavParamsController.h"

#include "MavAirframeTypeTable.h"
#include "MavBasicParamsDataItem.h"
#include "common/MavCustomNameField.h"
#include "MavFixedPosCtrlParamsDataItem.h"
#include "MavFixedStabCtrlParamsDataItem.h"
#include "MavPosCtrlParamsDataItem.h"
#include "MavResParamsDataItem.h"
#include "MavStabCtrlParamsDataItem.h"
#include "app/GcsToolBox.h"
#include "common/IGcsConsole.h"
#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "GcsHttp.h"
#include "GcsLoginManager.h"
#include "MavProtoHelper.h"
#include "MavProtoParamsProcesser.h"

#include <QPointer>

#include <spdlog/spdlog.h>

namespace {

constexpr uint32_t kParamsTimeoutMs = 2000;
constexpr uint32_t kCaliTimeoutMs = 60000;
constexpr uint8_t kResends = 2;
constexpr uint8_t kWriteAckLen = 1;

bool isGroupCmd(uint8_t cmd)
{
    return (cmd >= MavCmd::BasicParams && cmd <= MavCmd::FixedPositionParams) || cmd == MavCmd::ResParams;
}

int readLen(uint8_t cmd)
{
    return MavProtoParamsProcesser::readReplyDataLen(cmd);
}

}  // namespace

MavParamsController::MavParamsController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent)
    : QObject(parent)
    , m_vehicle(vehicle)
    , m_basic(std::make_shared<MavBasicParamsDataItem>())
    , m_stab(std::make_shared<MavStabCtrlParamsDataItem>())
    , m_pos(std::make_shared<MavPosCtrlParamsDataItem>())
    , m_res(std::make_shared<MavResParamsDataItem>())
    , m_fixedPos(std::make_shared<MavFixedPosCtrlParamsDataItem>())
    , m_fixedStab(std::make_shared<MavFixedStabCtrlParamsDataItem>())
{
    if (vehicle) {
        connect(vehicle.get(), &VehicleController::mavPFrameReceived, this, &MavParamsController::handleMavPFrameReceived);
        connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &MavParamsController::handleMavAckTimeout);
    }
}

MavParamsController::~MavParamsController() = default;

const QMap<int, QString>& MavParamsController::getMavTypeMap()
{
    return MavAirframeTypeTable::typeMap();
}

void MavParamsController::setResParamsCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    m_res->setCustomNameFields(fields);
}

void MavParamsController::setLoginManager(std::shared_ptr<GcsLoginManager> loginMgr)
{
    if (m_loginConnection)
        disconnect(m_loginConnection);
    m_loginMgr = loginMgr;
    if (loginMgr)
        m_loginConnection = connect(loginMgr.get(), &GcsLoginManager::loginStateChanged, this,
                                    &MavParamsController::handleLoginStateChanged);
}

void MavParamsController::echo(OstLogLevel level, const QString& text)
{
    if (auto console = m_console.lock())
        console->outputBySender(level, text);
}

void MavParamsController::sendReq(const std::shared_ptr<VehicleController>& vehicle, const MavPFramePtr& frame,
                                  int checkType, uint8_t expectedDataLen, uint32_t timeoutMs, const QString& consoleText)
{
    auto req = MavCmdRequestMessage::create(frame, MavCmdAckCheckType(checkType), expectedDataLen, 0, timeoutMs, kResends);
    if (!consoleText.isEmpty())
        echo(OstLogLevel::Info, consoleText);
    vehicle->sendMavPFrameReq(req);
}

void MavParamsController::sendRead(uint8_t cmd, const char* goneLog)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn(goneLog);
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*frame, MAVPROTO_GCS_ID, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), cmd, {});
    sendReq(vehicle, frame, CheckDataLen, uint8_t(readLen(cmd)), kParamsTimeoutMs, tr("读取") + VehicleUtil::cmdToText(cmd));
}

void MavParamsController::readBasicParams() { sendRead(MavCmd::BasicParams); }
void MavParamsController::readStabCtrlParams() { sendRead(MavCmd::AttitudeParams); }
void MavParamsController::readPosCtrlParams() { sendRead(MavCmd::PositionParams); }
void MavParamsController::readResParams() { sendRead(MavCmd::ResParams); }
void MavParamsController::readFixedStabCtrlParams() { sendRead(MavCmd::FixedAttitudeParams); }
void MavParamsController::readFixedPosCtrlParams() { sendRead(MavCmd::FixedPositionParams); }
void MavParamsController::readVehicleCode() { sendRead(MavCmd::VehicleCode, "readVehicleCode failed, vehicleCtrler is null"); }

void MavParamsController::readAllParams()
{
    if (m_vehicle.expired()) {
        spdlog::warn("readAllParams failed, vehicleCtrler is null");
        return;
    }
    m_batchReadingParams = true;
    m_pendingBatchReads = 6;
    spdlog::info("<Params> read all params after vehicle alive");
    readBasicParams();
    readStabCtrlParams();
    readPosCtrlParams();
    readResParams();
    readFixedStabCtrlParams();
    readFixedPosCtrlParams();
}

void MavParamsController::notifyBatchReadAttemptFinished()
{
    if (!m_batchReadingParams || m_pendingBatchReads <= 0)
        return;
    if (--m_pendingBatchReads == 0)
        m_batchReadingParams = false;
}

template <typename Pack>
void MavParamsController::sendWrite(uint8_t cmd, const char* abortLog, Pack&& pack)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    if (pack(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId()) == 0) {
        spdlog::warn(abortLog);
        return;
    }
    sendReq(vehicle, frame, CheckDataLen, kWriteAckLen, kParamsTimeoutMs, tr("写入") + VehicleUtil::cmdToText(cmd));
}

namespace {
const char* kAbortBasic = "<Params> abort basic params write because a value exceeds the wire integer type";
const char* kAbortStab = "<Params> abort stabilize params write because a value exceeds the wire integer type";
const char* kAbortPos = "<Params> abort position params write because a value exceeds the wire integer type";
const char* kAbortRes = "<Params> abort reserved params write because a value exceeds the wire integer type";
const char* kAbortFixedStab = "<Params> abort fixed stabilize params write because a value exceeds the wire integer type";
const char* kAbortFixedPos = "<Params> abort fixed position params write because a value exceeds the wire integer type";
}  // namespace

// Each write packs either the item's current natural-unit record or a wire record the caller
// converted already; the packer does the range check.
#define VELMORA_PARAMS_WRITE(Cmd, Abort, Packer, Value)                                              \
    sendWrite(Cmd, Abort, [&](_MavPFrame_t& f, uint8_t rx, uint8_t seq) {                                 \
        return MavProtoParamsProcesser::Packer(f, rx, seq, Value);                                          \
    })

void MavParamsController::writeBasicParams() { VELMORA_PARAMS_WRITE(MavCmd::BasicParams, kAbortBasic, packWriteBasicParamsFrame, m_basic->protoData()); }
void MavParamsController::writeStabCtrlParams() { VELMORA_PARAMS_WRITE(MavCmd::AttitudeParams, kAbortStab, packWriteStabilizeCtrlParamsFrame, m_stab->protoData()); }
void MavParamsController::writePosCtrlParams() { VELMORA_PARAMS_WRITE(MavCmd::PositionParams, kAbortPos, packWritePosCtrlParamsFrame, m_pos->protoData()); }
void MavParamsController::writeResParams() { VELMORA_PARAMS_WRITE(MavCmd::ResParams, kAbortRes, packWriteResParamsFrame, m_res->protoData()); }
void MavParamsController::writeFixedStabCtrlParams() { VELMORA_PARAMS_WRITE(MavCmd::FixedAttitudeParams, kAbortFixedStab, packWriteFixedStabilizeCtrlParamsFrame, m_fixedStab->protoData()); }
void MavParamsController::writeFixedPosCtrlParams() { VELMORA_PARAMS_WRITE(MavCmd::FixedPositionParams, kAbortFixedPos, packWriteFixedPosCtrlParamsFrame, m_fixedPos->protoData()); }
void MavParamsController::writeBasicParams(const MavProtoBasicParamsWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::BasicParams, kAbortBasic, packWriteBasicParamsFrame, wire); }
void MavParamsController::writeStabCtrlParams(const MavProtoAttitudeGainWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::AttitudeParams, kAbortStab, packWriteStabilizeCtrlParamsFrame, wire); }
void MavParamsController::writePosCtrlParams(const MavProtoPositionGainWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::PositionParams, kAbortPos, packWritePosCtrlParamsFrame, wire); }
void MavParamsController::writeResParams(const MavProtoResParamsWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::ResParams, kAbortRes, packWriteResParamsFrame, wire); }
void MavParamsController::writeFixedStabCtrlParams(const MavProtoAttitudeGainWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::FixedAttitudeParams, kAbortFixedStab, packWriteFixedStabilizeCtrlParamsFrame, wire); }
void MavParamsController::writeFixedPosCtrlParams(const MavProtoPositionGainWire_t& wire) { VELMORA_PARAMS_WRITE(MavCmd::FixedPositionParams, kAbortFixedPos, packWriteFixedPosCtrlParamsFrame, wire); }

#undef VELMORA_PARAMS_WRITE

void MavParamsController::resetAllParams()
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicleCtrler is null");
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*frame, MAVPROTO_GCS_ID, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                      MavCmd::ResetParams, {});
    sendReq(vehicle, frame, CheckResult, 0, kParamsTimeoutMs, QString());
}

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
    MavProtoParamsProcesser::packAccMeterCaliActionFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), step);
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
    MavProtoParamsProcesser::packMagCompassCaliActionFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), step);
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

void MavParamsController::emitGroupResp(uint8_t cmd, bool read, int ret)
{
    switch (cmd) {
    case MavCmd::BasicParams: read ? emit basicParamsReadResp(ret) : emit basicParamsWriteResp(ret); break;
    case MavCmd::AttitudeParams: read ? emit stabCtrlParamsReadResp(ret) : emit stabCtrlParamsWriteResp(ret); break;
    case MavCmd::PositionParams: read ? emit posCtrlParamsReadResp(ret) : emit posCtrlParamsWriteResp(ret); break;
    case MavCmd::FixedAttitudeParams:
        read ? emit fixedStabCtrlParamsReadResp(ret) : emit fixedStabCtrlParamsWriteResp(ret);
        break;
    case MavCmd::FixedPositionParams:
        read ? emit fixedPosCtrlParamsReadResp(ret) : emit fixedPosCtrlParamsWriteResp(ret);
        break;
    case MavCmd::ResParams: read ? emit resParamsReadResp(ret) : emit resParamsWriteResp(ret); break;
    default: break;
    }
}

bool MavParamsController::handleGroupRead(uint8_t cmd, const _MavPFrame_t& frame)
{
    switch (cmd) {
    case MavCmd::BasicParams: {
        MavProtoBasicParams_t r;  // carries the initial values
        if (!MavProtoParamsProcesser::parseReadBasicParamsAck(frame, r))
            return false;
        m_basic->updateProtoData(r);
        return true;
    }
    case MavCmd::AttitudeParams: {
        MavProtoStabilizeCtrlParams_t r{};
        if (!MavProtoParamsProcesser::parseReadStabilizeCtrlParamsAck(frame, r))
            return false;
        m_stab->updateProtoData(r);
        return true;
    }
    case MavCmd::PositionParams: {
        MavProtoPosCtrlParams_t r{};
        if (!MavProtoParamsProcesser::parseReadPosCtrlParamsAck(frame, r))
            return false;
        m_pos->updateProtoData(r);
        return true;
    }
    case MavCmd::FixedAttitudeParams: {
        MavProtoFixedStabilizeCtrlParams_t r{};
        if (!MavProtoParamsProcesser::parseReadFixedStabilizeCtrlParamsAck(frame, r))
            return false;
        m_fixedStab->updateProtoData(r);
        return true;
    }
    case MavCmd::FixedPositionParams: {
        MavProtoFixedPosCtrlParams_t r{};
        if (!MavProtoParamsProcesser::parseReadFixedPosCtrlParamsAck(frame, r))
            return false;
        m_fixedPos->updateProtoData(r);
        return true;
    }
    case MavCmd::ResParams: {
        MavProtoResParams_t r{};
        if (!MavProtoParamsProcesser::parseReadResParamsAck(frame, r))
            return false;
        m_res->updateProtoData(r);
        return true;
    }
    default: return false;
    }
}

void MavParamsController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                  std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!pframe)
        return;
    const uint8_t cmd = pframe->cmd;
    const int dataLen = int(pframe->data.size());
    QString label;
    OstLogLevel level = OstLogLevel::Info;

    if ((isGroupCmd(cmd) || cmd == MavCmd::VehicleCode) && req) {
        const bool read = req->expectedDataLen == readLen(cmd);
        label = read ? tr("读取") : tr("写入");
        if (cmd == MavCmd::VehicleCode) {
            if (handleVehicleCodeReply(*pframe, read) != 0)
                level = OstLogLevel::Error;
        } else if (!read) {
            const int ret = dataLen != 1 ? GcsRet::WrongReplyLength : MavProtoHelper::parseMavProtoFrameResult(*pframe);
            if (ret != 0)
                level = OstLogLevel::Error;
            emitGroupResp(cmd, false, ret);
            if (cmd == MavCmd::BasicParams)
                migrateVehicleIdAfterBasicWrite(*pframe);
        } else {
            const bool ok = dataLen == readLen(cmd) && handleGroupRead(cmd, *pframe);
            emitGroupResp(cmd, true, ok ? 0 : GcsRet::WrongReplyLength);
            notifyBatchReadAttemptFinished();
        }
    } else if (cmd == MavCmd::ResetParams) {
        const int ret = MavProtoHelper::parseMavProtoFrameResult(*pframe);
        if (ret != 0)
            level = OstLogLevel::Error;
        emit resetAllParamsResp(ret);
    } else if (cmd == MavCmd::AccCalibration || cmd == MavCmd::MagCalibration) {
        handleCaliAck(cmd, *pframe);
    }
    echo(level, label.isEmpty() ? VehicleUtil::cmdToText(cmd) : label + "    " + VehicleUtil::cmdToText(cmd));
}

void MavParamsController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req || !req->pframe)
        return;
    const uint8_t cmd = req->pframe->cmd;
    if (isGroupCmd(cmd) && req->expectedDataLen == readLen(cmd)) {
        emitGroupResp(cmd, true, GcsRet::Timeout);
        notifyBatchReadAttemptFinished();
    }
}

void MavParamsController::migrateVehicleIdAfterBasicWrite(const _MavPFrame_t& frame)
{
    if (frame.data.size() != 1) {
        spdlog::warn("<Params> basic write ack: bad length, expected={}, got={}, tx_id={} seq={}", 1, frame.data.size(),
                     frame.tx_id, frame.seq);
        return;
    }
    const int ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret != 0) {
        spdlog::warn(
            "<Params> basic write ack: result not accepted, ret={}, pframe tx_id={} rx_id={} seq={} (vehicle_id migration "
            "skipped)",
            ret, frame.tx_id, frame.rx_id, frame.seq);
        return;
    }
    auto vehicle = m_vehicle.lock();
    const int newId = m_basic->vehicleId();
    spdlog::info(
        "<Params> basic write ack: ret=accepted, pframe tx_id={} rx_id={} seq={}, ctrl_vehicle_id={}, "
        "basic_data_vehicle_id={}, is_local={}",
        frame.tx_id, frame.rx_id, frame.seq, vehicle ? vehicle->vehicleId() : -1, newId, vehicle && vehicle->isLocal());
    if (!vehicle) {
        spdlog::warn("<Params> basic write ack ok but m_vehicleCtrler lock failed");
        return;
    }
    if (!vehicle->isLocal()) {
        spdlog::debug("<Params> basic write ack: not Local controller, skip vehicle_id migration");
        return;
    }
    const int oldId = vehicle->vehicleId();
    if (oldId == newId) {
        spdlog::info("<Params> basic_data vehicle_id unchanged ({}), skip removeLocalVehicle", oldId);
        return;
    }
    spdlog::info("<Params> vehicle_id migration: old_id={}, new_id={}, checking MultiVehicleManager", oldId, newId);
    MultiVehicleManager* mvm = vehicle->multiVehicleMgr();
    if (!mvm) {
        spdlog::warn(
            "<Params> multiVehicleMgr is null, cannot removeLocalVehicle for vehicle_id migration (old_id={}, new_id={})",
            oldId, newId);
        return;
    }
    auto holder = mvm->findVehicleControllerById(newId);
    if (!holder) {
        spdlog::info("<Params> calling removeLocalVehicle: old_id={}, next heartbeat should rejoin as new_id={}", oldId,
                     newId);
        mvm->removeLocalVehicle(vehicle);
    } else if (holder != vehicle) {
        spdlog::warn("<Params> skip removeLocalVehicle: new_id={} already used by another VehicleController (ptr conflict)",
                     newId);
    }
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
    if (frame.data.size() != MAVPROTO_VEHICLE_CODE_LEN || !MavProtoParamsProcesser::parseReadVehicleCodeParamsAck(frame, code)) {
        emit vehicleCodeReadResp(GcsRet::WrongReplyLength);
        return 0;
    }
    if (code.empty()) {
        spdlog::warn("<Params> handle read vehicleCode, vehicleCode is empty");
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
    auto toolBox = m_toolBox.lock();
    auto http = toolBox ? toolBox->http() : nullptr;
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
            spdlog::warn("<Params> <VehicleCode> activate vehicle mqtt failed, code = {}, statusCode = {}, libCode = {}",
                         code, status, status == 0 ? "network" : "http");
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
    auto toolBox = m_toolBox.lock();
    auto http = toolBox ? toolBox->http() : nullptr;
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
        if (MavProtoParamsProcesser::packWriteVehicleCodeFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                               self->m_vehicleCode.toStdString()) == 0) {
            spdlog::warn("<Params> reset vehicleCode: the cloud's code cannot be written to the vehicle: {}",
                         self->m_vehicleCode.toStdString());
            emit self->vehicleCodeResetResp(GcsRet::CloudCallFailed, status);
            return;
        }
        self->sendReq(vehicle, frame, CheckDataLen, kWriteAckLen, kParamsTimeoutMs,
                      tr("写入") + VehicleUtil::cmdToText(MavCmd::VehicleCode));
    });
}
