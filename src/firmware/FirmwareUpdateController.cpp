#include "FirmwareUpdateController.h"

#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoFirmwareProcesser.h"
#include "MavProtoHelper.h"

#include <QFile>
#include <QFileInfo>

#include <spdlog/spdlog.h>

#include <algorithm>

using Step = FirmwareEnums::UpdateStep;
using Result = FirmwareEnums::UpdateResult;
using Startup = FirmwareEnums::UpdateStartupResult;
using P = MavProtoFirmwareProcesser;

namespace {
std::string str(const QString& s)
{
    return s.toStdString();
}
template <typename E>
std::string nameOf(E e)
{
    return FirmwareEnums::name(e).toStdString();
}
}  // namespace

FirmwareUpdateController::FirmwareUpdateController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent,
                                                   int finalAckTickMs)
    : QObject(parent), m_vehicle(vehicle)
{
    m_finalAckTimer.setInterval(finalAckTickMs > 0 ? finalAckTickMs : kDefaultFinalAckTickMs);
    connect(&m_finalAckTimer, &QTimer::timeout, this, &FirmwareUpdateController::handleFinalAckTimeout);
    if (vehicle) {
        connect(vehicle.get(), &VehicleController::mavPFrameReceived, this,
                &FirmwareUpdateController::handleMavPFrameReceived);
        connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &FirmwareUpdateController::handleMavAckTimeout);
    }
}

FirmwareUpdateController::~FirmwareUpdateController()
{
    if (auto held = m_heldVehicle.lock())
        held->setTeleReqHold(VehicleController::FirmwareUpdateHold, false);
}

Startup FirmwareUpdateController::updateFirmware(const QString& firmPath, uint firmInfoCommandTimeoutMs,
                                                 uint resetCommandTimeoutMs)
{
    if (m_running) {
        spdlog::warn("<UpdateFirmware> update firmware running, cannot start update firmware repeat. ret = {}",
                     nameOf(Startup::FailedBusy));
        return Startup::FailedBusy;
    }
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> update firmware can not startup, because vehicle not valid. ret = {}",
                     nameOf(Startup::FailedVehicleNotValid));
        return Startup::FailedVehicleNotValid;
    }
    const QFileInfo info(firmPath);
    if (firmPath.isEmpty() || !info.isFile() || info.size() == 0 || info.size() > kMaxImageSize) {
        spdlog::warn(
            "<UpdateFirmware> update firmware can not startup, because firmware not valid. firmware filepath = {}, ret = {}",
            str(firmPath), nameOf(Startup::FailedFirmFileNotValid));
        return Startup::FailedFirmFileNotValid;
    }
    m_running = true;
    m_firmInfoTimeoutMs = int(firmInfoCommandTimeoutMs);
    m_resetCommandTimeoutMs = int(resetCommandTimeoutMs);
    spdlog::info("<UpdateFirmware> start update firmware, firmPath = {}, firmInfoCommandTimeoutMs = {}, "
                 "resetCommandTimeoutMs = {}",
                 str(firmPath), firmInfoCommandTimeoutMs, resetCommandTimeoutMs);
    // The path first: listeners of the step change read it.
    m_filePath = firmPath;
    setUpdateStep(Step::Reset, 0, 1);
    vehicle->setTeleReqHold(VehicleController::FirmwareUpdateHold, true);
    m_heldVehicle = vehicle;
    m_awaitingCmd = 0;
    const quint64 generation = ++m_generation;
    QTimer::singleShot(kResetDelayMs, this, [this, generation] {
        if (m_running && generation == m_generation && m_step == Step::Reset)
            sendResetCommand();
    });
    return Startup::Ok;
}

bool FirmwareUpdateController::sendRequest(const MavPFramePtr& frame, uint32_t timeoutMs, Result timeoutResult)
{
    auto vehicle = m_vehicle.lock();
    m_awaitingCmd = frame->cmd;
    m_awaitingSeq = frame->seq;
    auto req = MavCmdRequestMessage::create(frame, CheckResult, 0, 0, timeoutMs, kResends);
    if (vehicle && vehicle->sendMavPFrameReq(req))
        return true;
    spdlog::warn("<UpdateFirmware> update failed, request cmd 0x{:02x} was not sent", frame->cmd);
    m_awaitingCmd = 0;
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(timeoutResult);
    return false;
}

void FirmwareUpdateController::sendResetCommand()
{
    spdlog::warn("<UpdateFirmware> send reset command");
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> send reset command failed, vehicle is not valid");
        setUpdateResult(Result::FailedBadVehicle);
        return;
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    P::packResetCommandPFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId());
    sendRequest(frame, uint32_t(m_resetCommandTimeoutMs), Result::FailedResetTimeout);
}

void FirmwareUpdateController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                       std::shared_ptr<MavCmdRequestMessage>)
{
    if (!pframe || !m_running)
        return;
    const uint8_t cmd = pframe->cmd;
    if (cmd == MavCmd::FirmwareFinalAck) {
        if (m_step == Step::WaitingFinalAck)
            handleFinalAck(*pframe);
        else
            spdlog::warn("<UpdateFirmware> final ack outside the final-ack wait ignored");
        return;
    }
    if (cmd < MavCmd::FirmwareReset || cmd > MavCmd::FirmwareData)
        return;
    if (cmd != m_awaitingCmd || pframe->seq != m_awaitingSeq) {
        spdlog::debug("<UpdateFirmware> stale ack cmd 0x{:02x} seq {} ignored", cmd, pframe->seq);
        return;
    }
    m_awaitingCmd = 0;
    if (cmd == MavCmd::FirmwareReset)
        handleResetAck(*pframe);
    else if (cmd == MavCmd::FirmwareInfo)
        handleFirmInfoAck(*pframe);
    else
        handleFirmDataAck(*pframe);
}

void FirmwareUpdateController::handleResetAck(const _MavPFrame_t& frame)
{
    const uint8_t ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret != 0) {
        spdlog::warn("<UpdateFirmware> update failed, because reset failed, reset ret = {}", ret);
        setUpdateResult(Result::FailedReset);
        return;
    }
    m_totalSize = uint32_t(QFileInfo(m_filePath).size());
    m_totalFrameCount = uint16_t(P::frameCount(m_totalSize));
    spdlog::warn("<UpdateFirmware> send firmware info, totalSize = {}, totalFrameCount = {}, filePath = {}", m_totalSize,
                 m_totalFrameCount, str(m_filePath));
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> send firmware info failed, vehicle is not valid");
        setUpdateResult(Result::FailedBadVehicle);
        return;
    }
    auto info = std::make_shared<_MavPFrame_t>();
    P::packFirmInfoPFrame(*info, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), m_totalFrameCount, m_totalSize);
    sendRequest(info, uint32_t(m_firmInfoTimeoutMs), Result::FailedSendFirmInfoAckTimeout);
}

void FirmwareUpdateController::handleFirmInfoAck(const _MavPFrame_t& frame)
{
    const uint8_t ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret != 0) {
        spdlog::warn("<UpdateFirmware> update failed, because write firminfo ack failed, ret = {}", ret);
        setUpdateResult(Result::FailedSendFirmInfo);
        return;
    }
    setUpdateStep(Step::PrepareData, 0, 1);
    if (!prepareFirmwareData()) {
        spdlog::warn("<UpdateFirmware> update failed, firmware file read error");
        setUpdateResult(Result::FailedReadFirmwareFile);
        return;
    }
    setUpdateStep(Step::UploadingData, m_nextFrameIndex, m_totalFrameCount);
    checkAddSendFirmDataFrame();
}

bool FirmwareUpdateController::prepareFirmwareData()
{
    spdlog::info("<UpdateFirmware> begin prepare firmware data, file = {}", str(m_filePath));
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::warn("<UpdateFirmware> prepare firmware data failed, can not open firmware file({}), error: {};",
                     str(m_filePath), str(file.errorString()));
        return false;
    }
    m_firmData = file.readAll();
    if (qint64(m_firmData.size()) != qint64(m_totalSize) || m_totalSize == 0) {
        spdlog::warn("<UpdateFirmware> prepare firmware data failed, tatalSize({}) != totalData.size({})", m_totalSize,
                     m_firmData.size());
        return false;
    }
    m_nextFrameIndex = 0;
    spdlog::info("<UpdateFirmware> end prepare firmware data, file = {}, totalSize = {}, totalFrameCount = {}",
                 str(m_filePath), m_totalSize, m_totalFrameCount);
    return true;
}

void FirmwareUpdateController::checkAddSendFirmDataFrame()
{
    if (m_step != Step::UploadingData) {
        spdlog::warn("<UpdateFirmware> send firmware data failed, current step not in UploadingData");
        setUpdateStep(Step::Idle, 0, 1);
        setUpdateResult(Result::FailedInnerErr);
        return;
    }
    if (m_nextFrameIndex < m_totalFrameCount) {
        sendFirmDataFrame();
        return;
    }
    spdlog::info("<UpdateFirmware> send firmware data finished");
    setUpdateStep(Step::WaitingFinalAck, 0, 1);
    startFinalAckWait();
}

void FirmwareUpdateController::sendFirmDataFrame()
{
    if (m_step != Step::UploadingData) {
        spdlog::warn("<UpdateFirmware> send firmware data failed, current step not in UploadingData");
        setUpdateStep(Step::Idle, 0, 1);
        setUpdateResult(Result::FailedInnerErr);
        return;
    }
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> send firmware data failed, vehicle is not valid");
        setUpdateStep(Step::Idle, 0, 1);
        setUpdateResult(Result::FailedBadVehicle);
        return;
    }
    const qsizetype offset = qsizetype(m_nextFrameIndex) * P::kMaxFrameData;
    const auto len = uint16_t(std::min<qsizetype>(P::kMaxFrameData, m_firmData.size() - offset));
    auto frame = std::make_shared<_MavPFrame_t>();
    const uint16_t frameLen =
        P::packFirmDataPFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), m_nextFrameIndex,
                              reinterpret_cast<const uint8_t*>(m_firmData.constData() + offset), len);
    spdlog::info("<UpdateFirmware> <SendData> firmData index = {}, dataLen = {}, frameLen = {}", m_nextFrameIndex, len,
                 frameLen);
    sendRequest(frame, kDataTimeoutMs, Result::FailedSendFirmDataAckTimeout);
}

void FirmwareUpdateController::handleFirmDataAck(const _MavPFrame_t& frame)
{
    const uint8_t ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret != 0) {
        spdlog::warn("<UpdateFirmware> update failed, because firm data ack failed, ret = {}", ret);
        setUpdateStep(Step::Finished, 1, 1);
        setUpdateResult(Result::FailedSendFirmDataAckTimeout);
        return;
    }
    ++m_nextFrameIndex;
    setUpdateStep(Step::UploadingData, m_nextFrameIndex, m_totalFrameCount);
    checkAddSendFirmDataFrame();
}

void FirmwareUpdateController::startFinalAckWait()
{
    m_finalAckElapsedMs = 0;
    m_finalAckTimer.start();
    spdlog::info("<UpdateFirmware> start waiting final ack, interval = {} ms, max = {} ms", m_finalAckTimer.interval(),
                 kFinalAckMaxMs);
}

void FirmwareUpdateController::stopFinalAckWait()
{
    m_finalAckTimer.stop();
    m_finalAckElapsedMs = 0;
}

void FirmwareUpdateController::handleFinalAckTimeout()
{
    if (!m_running || m_step != Step::WaitingFinalAck)
        return;
    m_finalAckElapsedMs += kDefaultFinalAckTickMs;
    spdlog::info("<UpdateFirmware> waiting final ack, elapsed = {} ms, max = {} ms", m_finalAckElapsedMs,
                 kFinalAckMaxMs);
    if (m_finalAckElapsedMs < kFinalAckMaxMs)
        return;
    spdlog::warn("<UpdateFirmware> update failed, because final ack timeout after {} ms", m_finalAckElapsedMs);
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(Result::FailedFinalAckTimeout);
}

void FirmwareUpdateController::handleFinalAck(const _MavPFrame_t& frame)
{
    stopFinalAckWait();
    setUpdateStep(Step::Finished, 1, 1);
    const uint8_t ret = MavProtoHelper::parseMavProtoFrameResult(frame);
    if (ret == 0) {
        spdlog::info("<UpdateFirmware> update success");
        setUpdateResult(Result::Success);
    } else {
        spdlog::warn("<UpdateFirmware> update failed, because final ack failed, ret = {}", ret);
        setUpdateResult(Result::FailedFinalAck);
    }
}

void FirmwareUpdateController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req || !m_running || req->cmd != m_awaitingCmd || req->seq != m_awaitingSeq || m_awaitingCmd == 0)
        return;
    m_awaitingCmd = 0;
    Result result = Result::FailedFinalAckTimeout;
    switch (req->cmd) {
    case MavCmd::FirmwareReset:
        spdlog::warn("<UpdateFirmware> update failed, because reset timeout");
        result = Result::FailedResetTimeout;
        break;
    case MavCmd::FirmwareInfo:
        spdlog::warn("<UpdateFirmware> update failed, because firmInfo ack timeout");
        result = Result::FailedSendFirmInfoAckTimeout;
        break;
    case MavCmd::FirmwareData:
        spdlog::warn("<UpdateFirmware> update failed, because firmData ack timeout");
        result = Result::FailedSendFirmDataAckTimeout;
        break;
    default:
        spdlog::warn("<UpdateFirmware> update failed, because final ack timeout");
        break;
    }
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(result);
}

void FirmwareUpdateController::setUpdateStep(Step step, int done, int total, bool emitSignal)
{
    m_step = step;
    spdlog::info("<UpdateFirmware> update step changed, step = {}", nameOf(step));
    if (emitSignal)
        emit updateStepAndProgressChanged(step, done, total);
}

void FirmwareUpdateController::setUpdateResult(Result result, bool emitSignal)
{
    stopFinalAckWait();
    m_running = false;
    m_awaitingCmd = 0;
    m_result = result;
    m_firmData.clear();
    m_firmData.squeeze();
    m_totalSize = 0;
    m_totalFrameCount = 0;
    m_nextFrameIndex = 0;
    if (auto held = m_heldVehicle.lock())
        held->setTeleReqHold(VehicleController::FirmwareUpdateHold, false);
    m_heldVehicle.reset();
    spdlog::info("<UpdateFirmware> update ret changed, ret = {}", nameOf(result));
    if (emitSignal)
        emit updateFinished(result);
}
