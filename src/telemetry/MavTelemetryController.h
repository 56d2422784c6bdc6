#pragma once
// Telemetry of one vehicle: polls with a periodic request frame on the timer task thread, feeds
// the answers into the six data items, reports whether telemetry keeps arriving (report state
// 0 none, 1 lost, 2 receiving), counts request windows for the link-loss statistics and records
// every flight status sample, with all other current values, to a flight data file written by a
// thread of its own.
//
// The periodic tick runs on the timer task thread and uses the vehicle through a plain pointer:
// the vehicle stops polling (which waits for a running tick) before any of it goes away, so a
// tick never holds, and never releases, a reference to it.
//
// Flight logs go to "flightData" below the user data directory (MavFlightDataRecorder); at
// teardown every row already received is written before the file closes. Every request window
// counts in the loss statistics, whether the vehicle is alive or not. A tick sends no request
// while the link's oldest unread datagram is older than the interval (an overloaded station):
// it asks no faster than it reads, and those ticks are counted (deferredRequests).

#include "MavProtoDefs.h"
#include "MavProtoTeleProcesser.h"
#include "MavFlightDataRecorder.h"
#include "MavTeleDataElement.h"
#include "common/GcsPeriodicTask.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

class OstTimerTaskManager;
class MavAhrsDataItem;
class MavFlightStatusDataItem;
class MavPosDataItem;
class MavRcDataItem;
class MavTargetStabilizeDataItem;
class MavTeleBaseDataItem;
class MavTeleResDataItem;
class OstAbstractLink;
class VehicleController;
class MavCustomNameField;

class MavTelemetryController : public QObject {
    Q_OBJECT
public:
    static constexpr int kReportNone = 0;
    static constexpr int kReportLost = 1;
    static constexpr int kReportReceiving = 2;

    // Without a timer task manager nothing is polled.
    MavTelemetryController(const std::shared_ptr<VehicleController>& vehicle,
                           std::weak_ptr<OstTimerTaskManager> timerTaskMgr);
    ~MavTelemetryController() override;

    void feedTeleDataPFrame(std::shared_ptr<_MavPFrame_t> frame, OstAbstractLink* link);

    void setTeleReqEnable(bool enable);
    bool teleReqEnabled() const { return m_reqEnabled.load(); }
    void setTeleReqInterval(int ms);
    int teleReqInterval() const { return m_reqInterval.load(); }
    bool currentTeleFrameRecvOk() const { return m_currentFrameOk.load(); }
    int teleReportState() const { return m_reportState.load(); }
    int allowedLossDurationMs() const { return m_allowedLossMs.load(); }
    // Requests not sent because the link's unread answers were older than an interval.
    uint64_t deferredRequests() const { return m_deferredRequests.load(); }

    std::shared_ptr<MavAhrsDataItem> ahrsDataItem() const { return m_ahrs; }
    std::shared_ptr<MavPosDataItem> posDataItem() const { return m_pos; }
    std::shared_ptr<MavTargetStabilizeDataItem> targetStabilizeDataItem() const { return m_target; }
    std::shared_ptr<MavRcDataItem> rcDataItem() const { return m_rc; }
    std::shared_ptr<MavFlightStatusDataItem> flightStatusDataItem() const { return m_flightStatus; }
    std::shared_ptr<MavTeleResDataItem> resDataItem() const { return m_res; }
    QList<std::shared_ptr<MavTeleDataElement>> allTeleDataElements() const;

    void setResCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields);

    // The flight data title row, and the batch of rows not yet handed to the writer.
    QString dataFileTitle() const { return m_recorder->title(); }
    // Writes every batched and pending row, closes the flight log and ends its writer; rows that
    // arrive later are not recorded. The destructor does the same.
    void finishFlightData();

    // One periodic tick; public so tests can drive it on their own schedule.
    void onTeleReqPeriodicTick();

signals:
    void teleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item, int dataRole);
    void teleDataRecvingOverTime();
    void teleDataReportStateChanged(int state);

private slots:
    void processTeleDataRecvingOverTime();

private:
    void startTeleReqTimerTask(bool sendNow);
    void stopTeleReqTimerTask();
    bool sendAllTeleDataRequest();
    void openStatsWindow();
    void settleCurrentTeleWindowForStats();
    void setTeleReportState(int state);
    void updateAllowMaxTeleLostDuration();

    std::weak_ptr<VehicleController> m_vehicle;
    VehicleController* m_vehicleRaw = nullptr;
    int m_vehicleId = 0;
    std::weak_ptr<OstTimerTaskManager> m_timerTaskMgr;
    GcsPeriodicTask m_reqTask;
    std::atomic<bool> m_reqEnabled{false};
    const std::set<uint8_t> m_teleCommands{33, 34, 35, 36, 37, 38, 47};

    std::shared_ptr<MavAhrsDataItem> m_ahrs;
    std::shared_ptr<MavPosDataItem> m_pos;
    std::shared_ptr<MavTargetStabilizeDataItem> m_target;
    std::shared_ptr<MavRcDataItem> m_rc;
    std::shared_ptr<MavFlightStatusDataItem> m_flightStatus;
    std::shared_ptr<MavTeleResDataItem> m_res;
    QList<std::shared_ptr<MavTeleDataElement>> m_allElements;

    std::unique_ptr<MavFlightDataRecorder> m_recorder;

    std::atomic<int> m_reportState{kReportNone};
    std::atomic<int> m_elapsedMs{0};
    std::atomic<int> m_allowedLossMs{3000};
    std::atomic<int> m_reqInterval{200};
    std::atomic<int32_t> m_missedTicks{0};
    const int16_t m_lossTickLimit = 3;
    std::atomic<bool> m_currentFrameOk{true};
    std::atomic<bool> m_windowOpen{false};
    std::atomic<bool> m_windowGotFrame{false};
    int64_t m_lastStatsLogMs = 0;
    int m_sendFailures = 0;
    std::atomic<uint64_t> m_deferredRequests{0};
};
