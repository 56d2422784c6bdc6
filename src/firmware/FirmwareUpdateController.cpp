#include "FirmwareUpdateController.h"

#include "link/LinkManager.h"
#include "protocol/MavCmdRequestMessage.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoFirmwareProcesser.h"
#include "MavProtoHelper.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

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
qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

FirmwareUpdateController::FirmwareUpdateController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent,
                                                   int finalAckTickMs)
    : QObject(parent)
    , m_vehicle(vehicle)
    , m_vehicleRaw(vehicle.get())
    , m_clock(steadyMs)
{
    m_finalAckTimer.setInterval(finalAckTickMs > 0 ? finalAckTickMs : kDefaultFinalAckTickMs);
    connect(&m_finalAckTimer, &QTimer::timeout, this, &FirmwareUpdateController::handleFinalAckTimeout);
    if (!vehicle)
        return;
    connect(vehicle.get(), &VehicleController::mavPFrameReceived, this,
            &FirmwareUpdateController::handleMavPFrameReceived);
    connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &FirmwareUpdateController::handleMavAckTimeout);
    // Without these a vehicle that goes away mid-transfer leaves the update waiting for good.
    connect(vehicle.get(), &QObject::destroyed, this, [this] {
        if (m_running)
            endLinkLost("the vehicle is gone");
    });
    if (MultiVehicleManager* vehicles = vehicle->multiVehicleMgr()) {
        connect(vehicles, &MultiVehicleManager::vehicleLeft, this, [this](const std::shared_ptr<VehicleController>& v) {
            if (m_running && v.get() == m_vehicleRaw)
                endLinkLost("the vehicle left the vehicle list");
        });
    }
    if (const auto link = vehicle->linkManager()) {
        for (auto sig : {&LinkManager::udpLinkDisconnected, &LinkManager::serialportLinkDisconnected}) {
            connect(link.get(), sig, this, [this] {
                if (m_running && linkLost())
                    endLinkLost("the vehicle's link closed");
            });
        }
    }
    const auto tele = vehicle->teleCtrler();
    if (const auto item = tele ? tele->flightStatusDataItem() : nullptr) {
        connect(item.get(), &MavTeleBaseDataItem::dataChanged, this, [this, raw = item.get()](int role) {
            if (role != MavTeleBaseDataItem::ValuesUpdated)
                return;
            m_flightStatusAtMs = m_clock();
            // Any record between the start and the reset that says off the ground or armed stops it.
            if (m_running && !m_forced && m_step == Step::Reset && m_airborneBeforeReset.isEmpty() &&
                (raw->flightState() != 0 || raw->armedState() != 0))
                m_airborneBeforeReset = raw->flightState() != 0
                                            ? QStringLiteral("it reported flight state %1").arg(raw->flightState())
                                            : QStringLiteral("it reported armed");
        });
    }
}

FirmwareUpdateController::~FirmwareUpdateController()
{
    if (m_running)
        endLinkLost("its controller is destroyed");
}

void FirmwareUpdateController::setClock(std::function<qint64()> nowMs)
{
    m_clock = nowMs ? std::move(nowMs) : steadyMs;
}

Startup FirmwareUpdateController::refuse(Startup ret, const QString& why)
{
    m_refusal = why;
    spdlog::warn("<UpdateFirmware> update firmware can not startup, because {}. ret = {}", str(why), nameOf(ret));
    return ret;
}

QString FirmwareUpdateController::flightRefusal(const VehicleController& vehicle) const
{
    if (!vehicle.alive())
        return QStringLiteral("vehicle %1 is not alive").arg(vehicle.vehicleId());
    const auto tele = vehicle.teleCtrler();
    const auto item = tele ? tele->flightStatusDataItem() : nullptr;
    if (!item || !m_flightStatusAtMs)
        return QStringLiteral("vehicle %1 has sent no flight status yet").arg(vehicle.vehicleId());
    const qint64 age = m_clock() - *m_flightStatusAtMs;
    if (age > kFlightStatusMaxAgeMs)
        return QStringLiteral("the last flight status of vehicle %1 is %2 ms old (at most %3)")
            .arg(vehicle.vehicleId())
            .arg(age)
            .arg(kFlightStatusMaxAgeMs);
    if (item->flightState() != 0)
        return QStringLiteral("vehicle %1 is in flight (flight state %2)")
            .arg(vehicle.vehicleId())
            .arg(item->flightState());
    if (item->armedState() != 0)
        return QStringLiteral("vehicle %1 is armed").arg(vehicle.vehicleId());
    return {};
}

Startup FirmwareUpdateController::readImage(const QString& path, const QString& sha256)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || (info.isFile() && info.size() == 0))
        return refuse(Startup::FailedFirmFileNotValid,
                      QStringLiteral("firmware file does not exist or is empty: %1").arg(path));
    if (!info.isFile())
        return refuse(Startup::FailedReadFirmwareFile, QStringLiteral("firmware path is not a file: %1").arg(path));
    if (info.size() > kMaxImageSize)
        return refuse(Startup::FailedReadFirmwareFile,
                      QStringLiteral("firmware file of %1 bytes is over %2 bytes (65535 frames): %3")
                          .arg(info.size())
                          .arg(kMaxImageSize)
                          .arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(Startup::FailedReadFirmwareFile,
                      QStringLiteral("firmware file cannot be opened: %1 (%2)").arg(path, file.errorString()));
    // One byte more than allowed tells a file that grew since the size check.
    QByteArray data = file.read(kMaxImageSize + 1);
    if (file.error() != QFileDevice::NoError || data.isEmpty() || data.size() > kMaxImageSize)
        return refuse(Startup::FailedReadFirmwareFile,
                      QStringLiteral("firmware file cannot be read whole: %1 (%2 bytes read, %3)")
                          .arg(path)
                          .arg(data.size())
                          .arg(file.errorString()));
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    spdlog::info("<UpdateFirmware> firmware image {}: {} bytes, sha256 {}", str(path), data.size(), str(hash));
    if (!sha256.isEmpty() && sha256.trimmed().toLower() != hash)
        return refuse(Startup::FailedChecksumMismatch,
                      QStringLiteral("firmware image sha256 %1 is not the expected %2").arg(hash, sha256.trimmed()));
    m_firmData = std::move(data);
    m_sha256 = hash;
    return Startup::Ok;
}

Startup FirmwareUpdateController::updateFirmware(const QString& firmPath, uint firmInfoCommandTimeoutMs,
                                                 uint resetCommandTimeoutMs, bool force, const QString& sha256)
{
    if (m_running)
        return refuse(Startup::FailedBusy, QStringLiteral("an update is running"));
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle) || vehicle->retired())
        return refuse(Startup::FailedVehicleNotValid, QStringLiteral("vehicle not valid"));
    if (force) {
        spdlog::warn("<UpdateFirmware> forced: vehicle {} is updated whatever its flight state (bench and simulator "
                     "only)",
                     vehicle->vehicleId());
    } else if (const QString why = flightRefusal(*vehicle); !why.isEmpty()) {
        return refuse(Startup::FailedVehicleBusy, why);
    }
    if (const Startup ret = readImage(firmPath, sha256); ret != Startup::Ok)
        return ret;
    const auto atLeastMin = [](uint ms, const char* name) {
        if (ms >= kMinCommandTimeoutMs)
            return ms;
        spdlog::warn("<UpdateFirmware> {} of {} ms raised to {} ms", name, ms, kMinCommandTimeoutMs);
        return kMinCommandTimeoutMs;
    };
    m_running = true;
    m_refusal.clear();
    m_firmInfoTimeoutMs = int(atLeastMin(firmInfoCommandTimeoutMs, "firmInfoCommandTimeoutMs"));
    m_resetCommandTimeoutMs = int(atLeastMin(resetCommandTimeoutMs, "resetCommandTimeoutMs"));
    m_totalSize = m_imageSize = uint32_t(m_firmData.size());
    m_totalFrameCount = m_imageFrameCount = uint16_t(P::frameCount(m_totalSize));
    m_nextFrameIndex = 0;
    m_earlyVerdict.reset();
    spdlog::info("<UpdateFirmware> start update firmware, firmPath = {}, firmInfoCommandTimeoutMs = {}, "
                 "resetCommandTimeoutMs = {}, totalFrameCount = {}",
                 str(firmPath), m_firmInfoTimeoutMs, m_resetCommandTimeoutMs, m_totalFrameCount);
    // The path first: listeners of the step change read it.
    m_filePath = firmPath;
    // Polling goes on until the reset: the check before it needs a flight status newer than now.
    vehicle->setFirmwareUpdating(true);
    m_heldVehicle = vehicle;
    m_forced = force;
    m_startedAtMs = m_clock();
    m_airborneBeforeReset.clear();
    m_awaitingCmd = 0;
    setUpdateStep(Step::Reset, 0, 1);
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
    if (vehicle && vehicle->sendMavPFrameReq(req)) {
        m_pendingReq = req;
        return true;
    }
    if (linkLost()) {
        endLinkLost("the vehicle's link is gone");
        return false;
    }
    spdlog::warn("<UpdateFirmware> update failed, request cmd 0x{:02x} was not sent", frame->cmd);
    m_awaitingCmd = 0;
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(timeoutResult);
    return false;
}

void FirmwareUpdateController::sendResetCommand()
{
    spdlog::warn("<UpdateFirmware> send reset command");
    if (m_running && linkLost()) {
        endLinkLost("the vehicle's link is gone");
        return;
    }
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> send reset command failed, vehicle is not valid");
        setUpdateResult(Result::FailedBadVehicle);
        return;
    }
    // The flight state may have changed since the start was accepted: the reset goes out only on
    // a flight status received since then that says landed and disarmed.
    if (!m_forced) {
        QString why = m_airborneBeforeReset.isEmpty()
                          ? flightRefusal(*vehicle)
                          : QStringLiteral("vehicle %1 left the ground or armed after the start: %2")
                                .arg(vehicle->vehicleId())
                                .arg(m_airborneBeforeReset);
        if (why.isEmpty() && (!m_flightStatusAtMs || *m_flightStatusAtMs < m_startedAtMs))
            why = QStringLiteral("vehicle %1 sent no flight status since the update was started").arg(vehicle->vehicleId());
        if (!why.isEmpty()) {
            m_refusal = why;
            spdlog::warn("<UpdateFirmware> update of vehicle {} stopped before the reset: {}", vehicle->vehicleId(),
                         str(why));
            setUpdateStep(Step::Finished, 1, 1);
            setUpdateResult(Result::FailedNotLandedAtReset);
            return;
        }
    }
    vehicle->setTeleReqHold(VehicleController::FirmwareUpdateHold, true);
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
        if (m_step == Step::WaitingFinalAck) {
            handleFinalAck(*pframe);
        } else if (m_step == Step::UploadingData && m_awaitingCmd == MavCmd::FirmwareData &&
                   m_nextFrameIndex + 1 == m_totalFrameCount) {
            // The vehicle has the whole image; only the last data ack is missing.
            m_earlyVerdict = MavProtoHelper::parseMavProtoFrameResult(*pframe);
            spdlog::info("<UpdateFirmware> final ack {} before the last data ack, kept", *m_earlyVerdict);
        } else {
            spdlog::warn("<UpdateFirmware> final ack outside the final-ack wait ignored");
        }
        return;
    }
    if (cmd < MavCmd::FirmwareReset || cmd > MavCmd::FirmwareData)
        return;
    if (cmd != m_awaitingCmd || pframe->seq != m_awaitingSeq) {
        spdlog::debug("<UpdateFirmware> stale ack cmd 0x{:02x} seq {} ignored", cmd, pframe->seq);
        return;
    }
    m_awaitingCmd = 0;
    m_pendingReq.reset();
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
    spdlog::warn("<UpdateFirmware> send firmware info, totalSize = {}, totalFrameCount = {}, filePath = {}",
                 m_totalSize, m_totalFrameCount, str(m_filePath));
    auto vehicle = m_vehicle.lock();
    if (!VehicleUtil::checkVehicleValid(vehicle)) {
        spdlog::warn("<UpdateFirmware> send firmware info failed, vehicle is not valid");
        setUpdateStep(Step::Finished, 1, 1);
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
    // The image was read at the start; frames are cut from that copy.
    setUpdateStep(Step::PrepareData, 0, 1);
    m_nextFrameIndex = 0;
    setUpdateStep(Step::UploadingData, m_nextFrameIndex, m_totalFrameCount);
    checkAddSendFirmDataFrame();
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
    if (m_earlyVerdict) {
        endWithEarlyVerdict();
        return;
    }
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
    if (linkLost()) {
        endLinkLost("the vehicle's link is gone");
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
    if (ret != 0 && m_earlyVerdict) {
        spdlog::warn("<UpdateFirmware> last data ack {} after the vehicle's final ack; its verdict stands", ret);
        endWithEarlyVerdict();
        return;
    }
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
    if (linkLost()) {
        endLinkLost("the vehicle's link is gone");
        return;
    }
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
    endWithVerdict(MavProtoHelper::parseMavProtoFrameResult(frame));
}

// The vehicle's own verdict on the whole image ends the update.
void FirmwareUpdateController::endWithVerdict(uint8_t verdict)
{
    setUpdateStep(Step::Finished, 1, 1);
    if (verdict == 0) {
        spdlog::info("<UpdateFirmware> update success");
        setUpdateResult(Result::Success);
    } else {
        spdlog::warn("<UpdateFirmware> update failed, because final ack failed, ret = {}", verdict);
        setUpdateResult(Result::FailedFinalAck);
    }
}

void FirmwareUpdateController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req || !m_running || req->cmd != m_awaitingCmd || req->seq != m_awaitingSeq || m_awaitingCmd == 0)
        return;
    m_awaitingCmd = 0;
    m_pendingReq.reset();
    // The queue also times out what was queued when the vehicle retired or its link closed.
    if (linkLost()) {
        endLinkLost("the vehicle's link is gone");
        return;
    }
    if (req->cmd == MavCmd::FirmwareData && m_earlyVerdict) {
        spdlog::warn("<UpdateFirmware> the last data ack never came; the vehicle's final ack stands");
        endWithEarlyVerdict();
        return;
    }
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
    default: spdlog::warn("<UpdateFirmware> update failed, because final ack timeout"); break;
    }
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(result);
}

bool FirmwareUpdateController::linkLost() const
{
    const auto vehicle = m_vehicle.lock();
    if (!vehicle || vehicle->retired())
        return true;
    const auto link = vehicle->linkManager();
    return link && !link->linkIsOpen();
}

void FirmwareUpdateController::endLinkLost(const char* why)
{
    spdlog::warn("<UpdateFirmware> update failed, because {}", why);
    if (m_pendingReq) {
        if (auto vehicle = m_vehicle.lock())
            vehicle->cancelMavPFrameReq(m_pendingReq);
    }
    setUpdateStep(Step::Finished, 1, 1);
    setUpdateResult(Result::FailedLinkLost);
}

void FirmwareUpdateController::endWithEarlyVerdict()
{
    endWithVerdict(m_earlyVerdict.value_or(0));
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
    m_pendingReq.reset();
    m_earlyVerdict.reset();
    m_result = result;
    m_firmData.clear();
    m_firmData.squeeze();
    m_totalSize = 0;
    m_totalFrameCount = 0;
    m_nextFrameIndex = 0;
    if (auto held = m_heldVehicle.lock()) {
        held->setFirmwareUpdating(false);
        held->setTeleReqHold(VehicleController::FirmwareUpdateHold, false);
    }
    m_heldVehicle.reset();
    spdlog::info("<UpdateFirmware> update ret changed, ret = {}", nameOf(result));
    if (emitSignal)
        emit updateFinished(result);
}
