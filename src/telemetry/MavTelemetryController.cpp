#include "MavTelemetryController.h"

#include "link/LinkManager.h"

#include "MavAhrsDataItem.h"
#include "MavFlightStatusDataItem.h"
#include "MavPosDataItem.h"
#include "MavRcDataItem.h"
#include "MavTargetStabilizeDataItem.h"
#include "MavTeleDataElement.h"
#include "MavTeleResDataItem.h"
#include "settings/GcsSettings.h"
#include "vehicle/VehicleController.h"

#include "MavProtoHelper.h"
#include "OstTimerTaskManager.h"

#include <QDateTime>
#include <QDebug>

#include <spdlog/spdlog.h>

namespace {
constexpr int kSendFailureWarnEvery = 25;
constexpr int64_t kStatsLogIntervalMs = 5000;
}  // namespace

MavTelemetryController::MavTelemetryController(const std::shared_ptr<VehicleController>& vehicle,
                                               std::weak_ptr<OstTimerTaskManager> timerTaskMgr)
    : QObject(nullptr)
    , m_vehicle(vehicle)
    , m_vehicleRaw(vehicle.get())
    , m_vehicleId(vehicle ? vehicle->vehicleId() : 0)
    , m_timerTaskMgr(std::move(timerTaskMgr))
    , m_ahrs(std::make_shared<MavAhrsDataItem>())
    , m_pos(std::make_shared<MavPosDataItem>())
    , m_target(std::make_shared<MavTargetStabilizeDataItem>())
    , m_rc(std::make_shared<MavRcDataItem>())
    , m_flightStatus(std::make_shared<MavFlightStatusDataItem>())
    , m_res(std::make_shared<MavTeleResDataItem>())
{
    const QList<std::shared_ptr<MavTeleBaseDataItem>> items = {m_ahrs, m_pos, m_target, m_rc, m_flightStatus, m_res};
    for (const auto& item : items) {
        m_allElements += item->dataElementList();
        std::weak_ptr<MavTeleBaseDataItem> weakItem = item;
        connect(item.get(), &MavTeleBaseDataItem::dataChanged, this, [this, weakItem](int role) {
            if (auto locked = weakItem.lock())
                emit teleDataChanged(locked, role);
        });
    }
    connect(this, &MavTelemetryController::teleDataRecvingOverTime, this,
            &MavTelemetryController::processTeleDataRecvingOverTime);
    updateAllowMaxTeleLostDuration();

    // Without a user data directory the path would hang off the filesystem root: the recorder
    // then records nothing.
    const QString base = GcsSettings::getInstance()->userDataPath();
    const bool remote = vehicle && !vehicle->isLocal();
    const QString tag =
        MavFlightDataRecorder::fileTag(m_vehicleId, remote, remote ? vehicle->vehicleCode() : QString());
    const bool thinOnGround =
        GcsSettings::getInstance()->getValue(QStringLiteral("flightData/thinOnGround"), true).toBool();
    m_recorder =
        std::make_unique<MavFlightDataRecorder>(base.isEmpty() ? QString() : base + "/flightData", tag, m_allElements,
                                                thinOnGround ? MavFlightDataRecorder::kIdleRowIntervalMs : 0);
}

MavTelemetryController::~MavTelemetryController()
{
    setTeleReqEnable(false);
    finishFlightData();
    qDebug() << "MavTelemetryController destroyed";
}

void MavTelemetryController::finishFlightData()
{
    m_recorder->finish();
}

QList<std::shared_ptr<MavTeleDataElement>> MavTelemetryController::allTeleDataElements() const
{
    return m_allElements;
}

void MavTelemetryController::setResCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    m_res->setCustomNameFields(fields);
}

void MavTelemetryController::setTeleReqEnable(bool enable)
{
    const bool old = m_reqEnabled.load();
    if (old == enable)
        return;
    spdlog::info("MavTelemetryController::setTeleReqEnable from {} to {}", old, enable);
    if (enable) {
        m_reqEnabled = true;
        startTeleReqTimerTask(true);
        if (!m_reqTask.isRunning())
            m_reqEnabled = false;
    } else {
        m_reqEnabled = false;
        m_elapsedMs = 0;
        m_missedTicks = 0;
        m_currentFrameOk = true;
        stopTeleReqTimerTask();
    }
}

void MavTelemetryController::setTeleReqInterval(int ms)
{
    if (ms < 50 || ms > 1000)
        return;
    spdlog::info("<Tele> set req interval to {} ms", ms);
    m_reqInterval = ms;
    updateAllowMaxTeleLostDuration();
    if (m_reqEnabled.load()) {
        startTeleReqTimerTask(false);
        if (!m_reqTask.isRunning())
            m_reqEnabled = false;
    }
}

void MavTelemetryController::updateAllowMaxTeleLostDuration()
{
    m_allowedLossMs = m_reqInterval.load() * m_lossTickLimit;
}

void MavTelemetryController::startTeleReqTimerTask(bool sendNow)
{
    stopTeleReqTimerTask();
    auto timerMgr = m_timerTaskMgr.lock();
    if (!timerMgr) {
        spdlog::warn("telemetry: cannot start tele req timer, timer task manager unavailable");
        return;
    }
    if (sendNow && sendAllTeleDataRequest())
        openStatsWindow();
    m_reqTask.start(timerMgr, m_reqInterval.load(), [this] { onTeleReqPeriodicTick(); });
}

void MavTelemetryController::stopTeleReqTimerTask()
{
    m_reqTask.stop();  // waits for a tick that is running
}

bool MavTelemetryController::sendAllTeleDataRequest()
{
    if (m_vehicle.expired() || !m_vehicleRaw)
        return false;
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*frame, MAVPROTO_GCS_ID, uint8_t(m_vehicleId & 0xFF), 0, MavCmd::RequestAllTele,
                                      {});
    return m_vehicleRaw->sendMavPFrame(frame);
}

void MavTelemetryController::openStatsWindow()
{
    m_vehicleRaw->markTelemetryWindowStartedForStats();
    m_windowOpen = true;
    m_windowGotFrame = false;
}

void MavTelemetryController::onTeleReqPeriodicTick()
{
    if (!m_reqEnabled.load() || m_vehicle.expired())
        return;
    const int interval = m_reqInterval.load();
    const int elapsed = m_elapsedMs.fetch_add(interval) + interval;
    if (m_missedTicks.fetch_add(1) + 1 >= m_lossTickLimit)
        m_currentFrameOk = false;
    if (elapsed >= m_allowedLossMs.load() && m_reportState.load() == kReportReceiving) {
        spdlog::debug("tele data lost over {} ms", m_allowedLossMs.load());
        emit teleDataRecvingOverTime();
    }
    // While answers wait unread for longer than an interval, another request only lengthens the
    // queue: the station asks no faster than it reads, and what it cannot read the kernel would
    // drop. The open window stays open; its answer may be among the unread.
    const qint64 behindMs =
        m_vehicleRaw && m_vehicleRaw->linkManager() ? m_vehicleRaw->linkManager()->receiveLagMs() : 0;
    if (behindMs > interval) {
        ++m_deferredRequests;
        return;
    }
    settleCurrentTeleWindowForStats();
    if (!sendAllTeleDataRequest()) {
        if (++m_sendFailures >= kSendFailureWarnEvery) {
            m_sendFailures = 0;
            spdlog::warn("telemetry loss stats: tele request send failed repeatedly, window denominator will not grow");
        }
        return;
    }
    openStatsWindow();
    m_sendFailures = 0;
}

void MavTelemetryController::settleCurrentTeleWindowForStats()
{
    if (!m_windowOpen.exchange(false))
        return;
    const bool gotFrame = m_windowGotFrame.exchange(false);
    // Every window a request opened counts, alive or not: a vehicle that only sends heartbeats
    // is a lossy link, not a perfect one.
    if (gotFrame)
        m_vehicleRaw->markTelemetryWindowActiveForStats();
    else
        m_vehicleRaw->markTelemetryWindowSilentForStats();
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (m_lastStatsLogMs == 0 || now - m_lastStatsLogMs >= kStatsLogIntervalMs) {
        m_lastStatsLogMs = now;
        if (spdlog::should_log(spdlog::level::debug)) {
            const auto s = m_vehicleRaw->linkLossStats();
            spdlog::debug("telemetry loss stats: windows={}, silent={}, active={}, rate={:.2f}%, settled={}",
                          s.telemetryWindowCount, s.telemetrySilentWindowCount, s.telemetryActiveWindowCount,
                          s.telemetrySilentRate * 100.0, gotFrame ? "active" : "silent");
        }
    }
}

void MavTelemetryController::processTeleDataRecvingOverTime()
{
    if (!m_reqEnabled.load())
        return;
    // Silence counts in the link's time: answers the station has not read yet are not missing.
    const qint64 behindMs =
        m_vehicleRaw && m_vehicleRaw->linkManager() ? m_vehicleRaw->linkManager()->receiveLagMs() : 0;
    if (m_elapsedMs.load() - behindMs >= m_allowedLossMs.load()) {
        m_elapsedMs = 0;
        setTeleReportState(kReportLost);
    } else if (behindMs > 0) {
        spdlog::debug("telemetry silent for {} ms, but the link is {} ms behind: not lost yet", m_elapsedMs.load(),
                      behindMs);
    } else {
        spdlog::debug(
            "need not process teleDataRecvingOverTime,becase teleData may be recovery, or has been processed");
    }
}

void MavTelemetryController::setTeleReportState(int state)
{
    if (state == m_reportState.load())
        return;
    if (state == kReportLost && !m_reqEnabled.load())
        return;
    m_reportState = state;
    emit teleDataReportStateChanged(state);
}

void MavTelemetryController::feedTeleDataPFrame(std::shared_ptr<_MavPFrame_t> frame, OstAbstractLink*)
{
    if (!frame || m_vehicle.expired() || frame->tx_id != uint8_t(m_vehicleId & 0xFF) ||
        m_teleCommands.count(frame->cmd) == 0)
        return;
    if (m_windowOpen.load())
        m_windowGotFrame = true;
    m_elapsedMs = 0;
    setTeleReportState(kReportReceiving);
    m_missedTicks = 0;
    m_currentFrameOk = true;

    switch (frame->cmd) {
    case MavCmd::TeleAhrs: {
        MavProtoAhrsData_t r;
        MavProtoTeleProcesser::parseAhrsData(*frame, r);
        m_ahrs->updateProtoData(r);
        break;
    }
    case MavCmd::TelePosition: {
        MavProtoPosData_t r;
        MavProtoTeleProcesser::parsePosData(*frame, r);
        m_pos->updateProtoData(r);
        break;
    }
    case MavCmd::TeleTargetStabilize: {
        MavProtoTargetStabilizeData_t r;
        MavProtoTeleProcesser::parseTargetStabilizeData(*frame, r);
        m_target->updateProtoData(r);
        break;
    }
    case MavCmd::TeleRc: {
        MavProtoRCData_t r;
        MavProtoTeleProcesser::parseRCData(*frame, r);
        m_rc->updateProtoData(r);
        break;
    }
    case MavCmd::TeleFlightStatus: {
        _MavProtoFlightStatusData_t r;
        MavProtoTeleProcesser::parseFlightStatusData(*frame, r);
        m_flightStatus->updateProtoData(r);
        m_recorder->appendRow(r.armedState == 0 && (r.flightState == 0 || r.flightState == 5));
        break;
    }
    case MavCmd::TeleComprehensive: {
        MavProtoComprehensiveData_t r;
        MavProtoTeleProcesser::parseComprehensiveData(*frame, r);
        m_ahrs->updateFromComprehensiveData(r);
        m_pos->updateFromComprehensiveData(r);
        m_target->updateFromComprehensiveData(r);
        m_rc->updateFromComprehensiveData(r);
        m_flightStatus->updateFromComprehensiveData(r);
        break;
    }
    case MavCmd::TeleReserved: {
        MavProtoResData_t r;
        MavProtoTeleProcesser::parseResData(*frame, r);
        m_res->updateProtoData(r);
        break;
    }
    default: break;
    }
}
