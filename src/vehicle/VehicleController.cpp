#include "VehicleController.h"

#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "VehicleUtil.h"
#include "common/IGcsConsole.h"
#include "common/GcsEventReporter.h"
#include "common/RemoteVehicleMessages.h"
#include "link/LinkManager.h"
#include "protocol/MavCmdTimeoutEvent.h"
#include "protocol/MavFrameHex.h"
#include "protocol/MavProtocolProcesser.h"
#include "protocol/MavRequestQueueManager.h"
#include "firmware/FirmwareUpdateController.h"
#include "params/MavParamsController.h"
#include "params/MavCustomNameFieldsConfigManager.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"

#include <QCoreApplication>
#include <QDateTime>

#include <chrono>
#include <cmath>

#include <spdlog/spdlog.h>

namespace {

constexpr uint32_t kControlTimeoutMs = 2000;
constexpr uint8_t kControlResends = 2;

bool isControlCmd(uint8_t cmd)
{
    return (cmd >= MavCmd::TakeOff && cmd <= MavCmd::Formation) || cmd == MavCmd::IdleMotorDetect;
}

QByteArray toBytes(const std::vector<uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

VehicleController::VehicleController(int vehicleId, std::shared_ptr<LinkManager> linkManager, QObject* parent)
    : QObject(parent)
    , m_type(VehicleControllerType::Local)
    , m_vehicleId(vehicleId)
    , m_linkManager(std::move(linkManager))
    , m_linkLossStats(std::make_shared<MavLinkLossStats>())
{
}

VehicleController::VehicleController(const QString& vehicleCode, QObject* parent)
    : QObject(parent)
    , m_type(VehicleControllerType::Remote)
    , m_vehicleCode(vehicleCode)
    , m_vehicleId(-1)
    , m_linkLossStats(std::make_shared<MavLinkLossStats>())
    , m_alive(true)
{
}

std::shared_ptr<VehicleController> VehicleController::createRemote(const QString& vehicleCode, QObject* parent)
{
    return std::shared_ptr<VehicleController>(new VehicleController(vehicleCode, parent));
}

VehicleController::~VehicleController()
{
    // Stop every other thread's use of this vehicle first (each stop waits for a running
    // callback): the telemetry tick, the first-position check and the queue worker.
    if (m_teleCtrler)
        m_teleCtrler->setTeleReqEnable(false);
    stopFirstPositionCheck();
    if (m_requestQueue)
        m_requestQueue->stopTimeoutCheck();
    spdlog::debug(" VehicleController destroyed ------------");
}

void VehicleController::setup()
{
    if (m_setuped)
        return;
    auto self = shared_from_this();
    m_teleCtrler = std::make_shared<MavTelemetryController>(self, m_timerTaskMgr);
    m_alertCtrler = std::make_shared<VehicleAlertController>(self);
    // Nothing else binds them, and without it no alert would ever fire.
    m_alertCtrler->bindTelemetryController(m_teleCtrler);
    m_paramsCtrler = std::make_shared<MavParamsController>(self);
    m_paramsCtrler->setGcsConsole(m_console.lock());
    // Without these the vehicle code never reaches the cloud, and names loaded at start-up
    // never reach vehicles that join later.
    m_paramsCtrler->setHttp(m_http);
    m_paramsCtrler->setLoginManager(m_loginMgr.lock());
    if (auto names = m_customNames.lock()) {
        m_paramsCtrler->setResParamsCustomNameFields(names->resParamsFields());
        m_teleCtrler->setResCustomNameFields(names->resTeleFields());
        connect(names.get(), &MavCustomNameFieldsConfigManager::resParamsFieldsRefreshed, this,
                &VehicleController::handleResParamsFieldsRefreshed);
        connect(names.get(), &MavCustomNameFieldsConfigManager::resTeleFieldsRefreshed, this,
                &VehicleController::handleResTeleFieldsRefreshed);
    }
    connect(m_paramsCtrler.get(), &MavParamsController::vehicleCodeReadResp, this,
            &VehicleController::vehicleCodeReadResp);
    if (isLocal()) {
        m_requestQueue =
            std::make_shared<MavRequestQueueManager>(weak_from_this(), nullptr, m_queueClock, m_queueCheckPeriodMs);
        initConnect();
        m_firmwareUpdateCtrler = std::make_shared<FirmwareUpdateController>(self);
        m_teleCtrler->setTeleReqEnable(true);
        m_requestQueue->startTimeoutCheck();
    }
    m_setuped = true;
}

void VehicleController::initConnect()
{
    if (m_linkManager && !m_framesRoutedByOwner) {
        connect(m_linkManager->mavProtoProcesser(), &MavProtocolProcesser::mavPFrameReceived, this,
                &VehicleController::deliverMavPFrame);
    }
    connect(m_requestQueue.get(), &MavRequestQueueManager::mavPFrameReceived, this,
            &VehicleController::processMavPFrame);
    connect(m_teleCtrler.get(), &MavTelemetryController::teleDataReportStateChanged, this,
            &VehicleController::handleTeleDataReportStateChanged);
    connect(this, &VehicleController::vehicleFirstPositionFixedAfterConnectedTimerTriggered, this,
            &VehicleController::handleCheckVehicleFirstPositionFixedAfterConnectedTimerTriggered);
}

void VehicleController::deliverMavPFrame(const MavPFramePtr& pframe, OstAbstractLink* link)
{
    if (m_retired || !pframe || pframe->tx_id != uint8_t(m_vehicleId & 0xFF))
        return;
    if (pframe->cmd >= MavCmd::TeleAhrs && pframe->cmd <= MavCmd::TeleReserved)
        m_lastTelemetryAt = steadyMs();
    if (m_requestQueue)
        m_requestQueue->handleMavPFrame(pframe, link);
    if (m_teleCtrler)
        m_teleCtrler->feedTeleDataPFrame(pframe, link);
}

std::optional<int64_t> VehicleController::telemetryAgeMs() const
{
    const int64_t at = m_lastTelemetryAt;
    return at < 0 ? std::nullopt : std::optional<int64_t>(steadyMs() - at);
}

std::optional<int64_t> VehicleController::heartbeatAgeMs() const
{
    const int64_t at = m_lastHeartbeatAt;
    return at < 0 ? std::nullopt : std::optional<int64_t>(steadyMs() - at);
}

void VehicleController::noteHeartbeat()
{
    m_lastHeartbeatAt = steadyMs();
}

void VehicleController::setRequestQueueTiming(std::function<int64_t()> clock, int checkPeriodMs)
{
    m_queueClock = std::move(clock);
    m_queueCheckPeriodMs = checkPeriodMs;
}

bool VehicleController::checkSetuped() const
{
    if (!m_setuped)
        spdlog::warn("Vehicle can not work, because not setuped.");
    return m_setuped;
}

QString VehicleController::vehicleCode() const
{
    if (m_type == VehicleControllerType::Remote)
        return m_vehicleCode;
    return m_paramsCtrler ? m_paramsCtrler->vehicleCode() : QString();
}

bool VehicleController::vehicleCodeIsActive() const
{
    if (m_type == VehicleControllerType::Remote)
        return true;
    return m_paramsCtrler && m_paramsCtrler->vehicleCodeIsActive();
}

MultiVehicleManager* VehicleController::multiVehicleMgr() const
{
    return m_fleet;
}

void VehicleController::setServices(const Services& services)
{
    m_eventReporter = services.eventReporter;
    m_customNames = services.customNames;
    m_loginMgr = services.loginMgr;
    m_timerTaskMgr = services.timerTaskMgr;
    m_http = services.http;
    m_fleet = services.fleet;
    m_missions = services.missions;
    setGcsConsole(services.console.lock());
}

void VehicleController::setGcsConsole(std::shared_ptr<IGcsConsole> console)
{
    m_console = console;
    if (m_paramsCtrler)
        m_paramsCtrler->setGcsConsole(console);
}

void VehicleController::readVehicleCode()
{
    if (checkSetuped() && m_paramsCtrler)
        m_paramsCtrler->readVehicleCode();
}

MavLinkLossStatsSnapshot VehicleController::linkLossStats() const
{
    return m_linkLossStats ? m_linkLossStats->snapshot() : MavLinkLossStatsSnapshot{};
}

void VehicleController::setAddress(const QString& address)
{
    std::lock_guard lock(m_addressMutex);
    m_address = address;
}

QString VehicleController::address() const
{
    std::lock_guard lock(m_addressMutex);
    return m_address;
}

QString VehicleController::udpSendAddress() const
{
    const QString a = address();
    if (!m_linkManager || a.isEmpty() || !m_linkManager->udpSocketLinkIsOpen())
        return a;
    // A copy taken when the config was set: the caller's config object is not ours to read here.
    const LinkManager::UdpSendParams params = m_linkManager->udpSendParams();
    if (!params.valid)
        return a;
    const int colon = a.lastIndexOf(':');
    const bool hasPort = colon > 0;
    const QString heardPort = hasPort ? a.mid(colon + 1) : QString();
    const QString port = params.deviceRecvPort != 0 ? QString::number(params.deviceRecvPort) : heardPort;
    if (params.multicast && !params.multicastGroup.isEmpty())
        return params.multicastGroup + ':' + port;
    if (params.deviceRecvPort != 0 && hasPort)
        return a.left(colon) + ':' + QString::number(params.deviceRecvPort);
    return a;
}

uint8_t VehicleController::genSeqId()
{
    std::lock_guard lock(m_seqMutex);
    const uint8_t result = m_seq == 255 ? 1 : m_seq;
    m_seq = uint8_t(result + 1);
    return result;
}

bool VehicleController::sendMavPFrameReq(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req || !m_linkManager)
        return false;
    const MavPFramePtr& frame = req->childReqs.isEmpty() ? req->pframe : req->childReqs.first()->pframe;
    if (!frame)
        return false;
    if (m_firmwareUpdating && (frame->cmd < 0xA1 || frame->cmd > 0xA4)) {
        spdlog::warn("<VehicleCtrler> vehicle {} is updating its firmware, request cmd 0x{:02x} refused", m_vehicleId,
                     frame->cmd);
        return false;
    }
    std::vector<uint8_t> bytes;
    MavProtoHelper::mavPFrameToSendBytes(bytes, *frame);
    if (m_requestQueue)
        m_requestQueue->appendCmdReq(req, this);
    if (spdlog::should_log(spdlog::level::trace))
        spdlog::trace("<VehicleCtrler> send(1) mav proto data(seq = {}): {}", frame->seq,
                      MavFrameHex::bytes(bytes.data(), bytes.size()));
    if (!m_linkManager->sendToLink(toBytes(bytes), udpSendAddress())) {
        // Left queued, a request reported failed would still be resent and answered later.
        if (m_requestQueue)
            m_requestQueue->cancelReq(req);
        spdlog::warn("<VehicleCtrler> send of request (seq = {}, cmd: {}) failed, not queued", frame->seq, frame->cmd);
        return false;
    }
    markAckExpectedForStats();
    return true;
}

void VehicleController::setFirmwareUpdating(bool updating)
{
    if (m_firmwareUpdating.exchange(updating) != updating)
        spdlog::info("<VehicleCtrler> vehicle {} {} its firmware update", m_vehicleId, updating ? "starts" : "ends");
}

void VehicleController::timeOutUnsentReq(const std::shared_ptr<MavCmdRequestMessage>& req)
{
    if (req)
        QCoreApplication::postEvent(this, new MavCmdTimeoutEvent(req), 101);
}

bool VehicleController::cancelMavPFrameReq(const std::shared_ptr<MavCmdRequestMessage>& req)
{
    if (!req) {
        spdlog::warn("<VehicleCtrler> cancel of a null request ignored");
        return false;
    }
    return m_requestQueue && m_requestQueue->cancelReq(req);
}

bool VehicleController::sendMavPFrame(const std::shared_ptr<_MavPFrame_t>& frame)
{
    if (!frame || !m_linkManager)
        return false;
    std::vector<uint8_t> bytes;
    MavProtoHelper::mavPFrameToSendBytes(bytes, *frame);
    if (frame->cmd != MavCmd::Heartbeat && frame->cmd != MavCmd::RequestAllTele &&
        spdlog::should_log(spdlog::level::trace)) {
        spdlog::trace("<VehicleCtrler> send(2) mav proto data(seq = {}): {}", frame->seq,
                      MavFrameHex::bytes(bytes.data(), bytes.size()));
    }
    return m_linkManager->sendToLink(toBytes(bytes), udpSendAddress());
}

bool VehicleController::sendMavData(const QByteArray& data)
{
    if (!m_linkManager)
        return false;
    spdlog::debug("<VehicleCtrler> send(4) len = {}", data.size());
    return m_linkManager->sendToSerialLink(data);
}

bool VehicleController::sendMavData(const unsigned char* data, unsigned short len)
{
    if (!m_linkManager || (!data && len > 0))
        return false;
    spdlog::debug("<VehicleCtrler> send(3) len = {}", len);
    return m_linkManager->sendToSerialLink(QByteArray(reinterpret_cast<const char*>(data), len));
}

template <typename Pack>
void VehicleController::sendControlCommand(uint8_t cmd, int eventType, const QString& consoleText, Pack&& pack)
{
    if (m_type == VehicleControllerType::Remote) {
        emitControlResp(cmd, nullptr, GcsRet::Unsupported);
        return;
    }
    if (m_firmwareUpdating) {
        spdlog::warn("<VehicleCtrler> vehicle {} is updating its firmware, {} refused", m_vehicleId,
                     consoleText.toStdString());
        emitControlResp(cmd, nullptr, GcsRet::FirmwareUpdating);
        return;
    }
    if (eventType > 0) {
        if (auto reporter = m_eventReporter.lock())
            reporter->reportUavEvent(eventType, QDateTime::currentMSecsSinceEpoch(), "");
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    pack(*frame, uint8_t(m_vehicleId & 0xFF), genSeqId());
    auto req = MavCmdRequestMessage::create(frame, CheckResult, 0, 0, kControlTimeoutMs, kControlResends);
    if (auto console = m_console.lock())
        console->outputBySender(OstLogLevel::Info, IGcsConsole::forVehicle(m_vehicleId, consoleText));
    if (!sendMavPFrameReq(req))
        timeOutUnsentReq(req);
}

void VehicleController::takeoff(quint16 alt, quint8 vel)
{
    sendControlCommand(MavCmd::TakeOff, 1, VehicleUtil::cmdToText(MavCmd::TakeOff),
                       [&](_MavPFrame_t& f, uint8_t rx, uint8_t seq) {
                           MavProtoCtrlCmdProcesser::packTakeOffPFrame(f, rx, seq, MavProtoTakeOffParams_t{alt, vel});
                       });
}

void VehicleController::suspend()
{
    sendControlCommand(MavCmd::Suspend, 2, VehicleUtil::cmdToText(MavCmd::Suspend),
                       &MavProtoCtrlCmdProcesser::packSuspendPFrame);
}

void VehicleController::resume()
{
    sendControlCommand(MavCmd::Resume, 3, VehicleUtil::cmdToText(MavCmd::Resume),
                       &MavProtoCtrlCmdProcesser::packResumePFrame);
}

void VehicleController::land()
{
    sendControlCommand(MavCmd::Land, 4, VehicleUtil::cmdToText(MavCmd::Land),
                       &MavProtoCtrlCmdProcesser::packLandPFrame);
}

void VehicleController::returnHome(double lat, double lon, float alt)
{
    sendControlCommand(
        MavCmd::Return, 5, VehicleUtil::cmdToText(MavCmd::Return), [&](_MavPFrame_t& f, uint8_t rx, uint8_t seq) {
            MavProtoCtrlCmdProcesser::packReturnPFrame(f, rx, seq, MavProtoReturnParams_t{lat, lon, alt});
        });
}

void VehicleController::runMission()
{
    sendControlCommand(MavCmd::StartMission, 6, VehicleUtil::cmdToText(MavCmd::StartMission),
                       &MavProtoCtrlCmdProcesser::packStartMissionPFrame);
}

void VehicleController::startFormationFlight()
{
    sendControlCommand(MavCmd::Formation, 0, VehicleUtil::formationCtrlCmdToText(1),
                       &MavProtoCtrlCmdProcesser::packFormationStartPFrame);
}

void VehicleController::cancelFormationFlight()
{
    // A remote vehicle has no request frame to tell start from cancel: answer on the cancel signal.
    if (m_type == VehicleControllerType::Remote) {
        emit formationCancelResp(GcsRet::Unsupported);
        return;
    }
    sendControlCommand(MavCmd::Formation, 0, VehicleUtil::formationCtrlCmdToText(0),
                       &MavProtoCtrlCmdProcesser::packFormationCancelPFrame);
}

void VehicleController::startIdleMotorDetection(quint8 value)
{
    sendControlCommand(MavCmd::IdleMotorDetect, 0, VehicleUtil::cmdToText(MavCmd::IdleMotorDetect),
                       [&](_MavPFrame_t& f, uint8_t rx, uint8_t seq) {
                           MavProtoCtrlCmdProcesser::packIdleMotorDetectPFrame(f, rx, seq, {value, 0x11});
                       });
}

void VehicleController::stopIdleMotorDetection()
{
    sendControlCommand(MavCmd::IdleMotorDetect, 0, VehicleUtil::cmdToText(MavCmd::IdleMotorDetect),
                       [&](_MavPFrame_t& f, uint8_t rx, uint8_t seq) {
                           MavProtoCtrlCmdProcesser::packIdleMotorDetectPFrame(f, rx, seq, {0, 0});
                       });
}

void VehicleController::emitControlResp(uint8_t cmd, const std::shared_ptr<MavCmdRequestMessage>& req, int result)
{
    switch (cmd) {
    case MavCmd::TakeOff: emit takeoffResp(result); break;
    case MavCmd::Suspend: emit suspendResp(result); break;
    case MavCmd::Resume: emit resumeResp(result); break;
    case MavCmd::Land: emit landResp(result); break;
    case MavCmd::Return: emit returnHomeResp(result); break;
    case MavCmd::StartMission: emit missionRunningResp(result); break;
    case MavCmd::Formation:
        if (req && req->pframe && !req->pframe->data.empty() && req->pframe->data[0] == 0)
            emit formationCancelResp(result);
        else
            emit formationStartResp(result);
        break;
    case MavCmd::IdleMotorDetect: emit idleMotorDetectResp(result); break;
    default: break;
    }
}

QString VehicleController::controlCmdName(uint8_t cmd, const std::shared_ptr<MavCmdRequestMessage>& req) const
{
    if (cmd == MavCmd::Formation && req && req->pframe && !req->pframe->data.empty())
        return VehicleUtil::formationCtrlCmdToText(req->pframe->data[0]);
    return VehicleUtil::cmdToText(cmd);
}

void VehicleController::processMavPFrame(MavPFramePtr pframe, OstAbstractLink* link,
                                         std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!pframe || !m_linkManager || !m_linkManager->hasLink(link) || pframe->tx_id != uint8_t(m_vehicleId & 0xFF))
        return;
    const bool control = isControlCmd(pframe->cmd);
    int result = 0;
    if (control) {
        result = MavProtoHelper::parseMavProtoFrameResult(*pframe);
        emitControlResp(pframe->cmd, req, result);
    }
    emit mavPFrameReceived(pframe, link, req);
    if (control) {
        if (auto console = m_console.lock()) {
            console->outputByReceiver(
                result == 0 ? OstLogLevel::Info : OstLogLevel::Error,
                IGcsConsole::forVehicle(m_vehicleId,
                                        controlCmdName(pframe->cmd, req) + "    " + VehicleUtil::gcsRetToString(result)));
        }
    }
}

bool VehicleController::event(QEvent* e)
{
    if (e->type() == MavCmdTimeoutEvent::eventType()) {
        e->accept();
        processMavAckTimeout(static_cast<MavCmdTimeoutEvent*>(e)->request());
        return true;
    }
    return QObject::event(e);
}

void VehicleController::processMavAckTimeout(const std::shared_ptr<MavCmdRequestMessage>& req)
{
    if (!req)
        return;
    if (req->pframe && spdlog::should_log(spdlog::level::trace))
        spdlog::trace("vehicle {}: unanswered frame: {}", m_vehicleId, MavFrameHex::frame(req->pframe));
    const bool control = isControlCmd(req->cmd);
    if (control)
        emitControlResp(req->cmd, req, GcsRet::Timeout);
    emit mavAckTimeout(req);
    if (auto console = m_console.lock())
        console->outputByReceiver(OstLogLevel::Error,
                                  IGcsConsole::forVehicle(m_vehicleId, controlCmdName(req->cmd, req) + tr(" 执行超时")));
}

void VehicleController::handleLinkDisconnected()
{
    setTeleReqEnable(false);
    resetLinkLossStats();
}

int VehicleController::teleReqInterval() const
{
    return m_teleCtrler ? m_teleCtrler->teleReqInterval() : 200;
}

void VehicleController::setTeleReqEnable(bool enable)
{
    if (!m_setuped || !m_teleCtrler)
        return;
    if (enable && (m_retired || m_teleReqHolds != 0))
        return;
    m_teleCtrler->setTeleReqEnable(enable);
}

std::shared_ptr<MavMissionsController> VehicleController::missionsCtrler() const
{
    return m_missions ? m_missions() : nullptr;
}

void VehicleController::setTeleReqHold(TeleReqHold hold, bool on)
{
    const unsigned before = m_teleReqHolds;
    m_teleReqHolds = on ? (before | hold) : (before & ~unsigned(hold));
    if (m_teleReqHolds == before)
        return;
    spdlog::info("<VehicleCtrler> vehicleId={} telemetry polling holds {:#x} -> {:#x}", m_vehicleId, before,
                 m_teleReqHolds);
    if (!m_setuped || !m_teleCtrler)
        return;
    if (on)
        m_teleCtrler->setTeleReqEnable(false);
    else if (m_teleReqHolds == 0 && m_linkManager && m_linkManager->linkIsOpen())
        setTeleReqEnable(true);
}

void VehicleController::retire()
{
    if (m_retired)
        return;
    m_retired = true;
    spdlog::info("<VehicleCtrler> vehicleId={} retired", m_vehicleId);
    if (m_teleCtrler) {
        m_teleCtrler->setTeleReqEnable(false);
        m_teleCtrler->finishFlightData();
    }
    stopFirstPositionCheck();
    if (m_linkManager)
        disconnect(m_linkManager->mavProtoProcesser(), nullptr, this, nullptr);
    if (m_requestQueue) {
        m_requestQueue->stopTimeoutCheck();
        m_requestQueue->abortAll();
    }
    // Every thread that sent through it has stopped; a view holding this vehicle must not keep
    // the link manager alive.
    m_linkManager.reset();
}

void VehicleController::setTeleReqInterval(int ms)
{
    if (m_teleCtrler)
        m_teleCtrler->setTeleReqInterval(ms);
}

void VehicleController::handleTeleDataReportStateChanged(int state)
{
    if (state == MavTelemetryController::kReportReceiving)
        setAlive(true);
    else if (m_teleCtrler && m_teleCtrler->teleReqEnabled())
        setAlive(false);
}

void VehicleController::setAlive(bool alive)
{
    if (alive == m_alive)
        return;
    m_alive = alive;
    emit vehicleAliveChanged(alive);
    if (m_paramsCtrler)
        m_paramsCtrler->handleVehicleAliveChanged(alive);
}

void VehicleController::handleResParamsFieldsRefreshed()
{
    auto names = m_customNames.lock();
    if (m_paramsCtrler && names)
        m_paramsCtrler->setResParamsCustomNameFields(names->resParamsFields());
}

void VehicleController::handleResTeleFieldsRefreshed()
{
    auto names = m_customNames.lock();
    if (m_teleCtrler && names)
        m_teleCtrler->setResCustomNameFields(names->resTeleFields());
}

void VehicleController::checkVehicleFirstPositionFixedAfterConnected()
{
    if (!m_setuped) {
        spdlog::warn("Vehicle can not check vehicle first position fixed after connected, because not setuped.");
        return;
    }
    if (m_firstPositionTask.isRunning()) {
        spdlog::warn("Vehicle check vehicle first position fixed after connected task is already running.");
        return;
    }
    auto timerMgr = m_timerTaskMgr.lock();
    // The destructor removes the task (waiting for a running tick) before this object goes away.
    m_firstPositionTask.start(timerMgr, 500, [this] { emit vehicleFirstPositionFixedAfterConnectedTimerTriggered(); });
}

void VehicleController::stopFirstPositionCheck()
{
    m_firstPositionTask.stop();
}

void VehicleController::handleCheckVehicleFirstPositionFixedAfterConnectedTimerTriggered()
{
    if (!m_firstPositionTask.isRunning())
        return;  // a tick queued before the check ended
    ++m_firstPositionCount;
    spdlog::info("Vehicle check vehicle first position fixed after connected count: {}", m_firstPositionCount);
    const bool fixed = m_teleCtrler && m_teleCtrler->flightStatusDataItem()->positionState() != 0;
    if (m_firstPositionCount >= 10 || fixed) {
        m_firstPositionCount = 0;
        stopFirstPositionCheck();
        if (fixed) {
            spdlog::info(
                "Vehicle first position fixed after connected, emit vehicleFirstPositionFixedAfterConnected signal");
            emit vehicleFirstPositionFixedAfterConnected();
        }
    }
}

void VehicleController::resetLinkLossStats()
{
    spdlog::debug("<VehicleCtrler> reset link loss stats, vehicleId={}", m_vehicleId);
    if (m_linkLossStats)
        m_linkLossStats->reset();
}

void VehicleController::markAckExpectedForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markAckExpected();
}

void VehicleController::markAckReceivedForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markAckReceived();
}

void VehicleController::markAckLostForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markAckLost();
}

void VehicleController::markTelemetryWindowStartedForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markTelemetryWindowStarted();
}

void VehicleController::markTelemetryWindowActiveForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markTelemetryWindowActive();
}

void VehicleController::markTelemetryWindowSilentForStats()
{
    if (m_linkLossStats)
        m_linkLossStats->markTelemetryWindowSilent();
}

namespace {

void splitHorizontalSpeed(MavProtoPosData_t& data, double speed, double yawDeg)
{
    const double yawRad = yawDeg * M_PI / 180.0;
    data.northSpd = float(speed * std::cos(yawRad));
    data.eastSpd = float(speed * std::sin(yawRad));
}

}  // namespace

void VehicleController::handleRemoteVehicleMessage(const std::shared_ptr<RemoteVehicleBaseMessage>& message)
{
    if (!message || isLocal())
        return;
    // Its telemetry age is the age of the last message from the cloud, as a local one's is of
    // its last frame.
    m_lastTelemetryAt = steadyMs();
    if (message->type == RemoteVehicleBaseMessage::Position) {
        const auto& pos = static_cast<const RemoteVehiclePositionMessage&>(*message);
        setRemotePosition(pos.latitude, pos.longitude, pos.altitude);
    } else if (message->type == RemoteVehicleBaseMessage::Status) {
        const auto& status = static_cast<const RemoteVehicleStatusMessage&>(*message);
        setRemoteStatus(status.roll, status.pitch, status.yaw, status.speed);
    }
}

void VehicleController::setRemotePosition(double lat, double lon, double alt)
{
    if (isLocal() || !m_teleCtrler || !m_teleCtrler->posDataItem())
        return;
    MavProtoPosData_t data{};
    data.lat = lat;
    data.lon = lon;
    data.alt = alt;
    splitHorizontalSpeed(data, m_remoteSpeed, m_remoteYaw);
    m_teleCtrler->posDataItem()->updateProtoData(data);
}

void VehicleController::setRemoteStatus(double roll, double pitch, double yaw, double speed)
{
    if (isLocal() || !m_teleCtrler)
        return;
    if (auto ahrs = m_teleCtrler->ahrsDataItem())
        ahrs->updateFromStatus(float(roll), float(pitch), float(yaw));
    m_remoteSpeed = std::isfinite(speed) ? speed : 0.0;
    m_remoteYaw = std::isfinite(yaw) ? yaw : 0.0;
    // The speed shows at once, on the last known position.
    if (auto pos = m_teleCtrler->posDataItem()) {
        MavProtoPosData_t data = pos->protoData();
        splitHorizontalSpeed(data, m_remoteSpeed, m_remoteYaw);
        pos->updateProtoData(data);
    }
}
