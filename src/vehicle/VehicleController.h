#pragma once
// One vehicle. A local vehicle is heard over a link of this station and owns the request queue
// through which its commands travel; a remote vehicle is watched through the cloud, has no link
// and refuses control commands with result 3.
//
// Control commands report their outcome as <command>Resp(int): the vehicle's result byte, or 5000
// after the queue's resends time out. Sequence numbers run 1..254 and wrap to 1.
//
// sendMavPFrameReq returns false only with nothing of the request left queued: a request whose
// first send fails is withdrawn at once, so it is not resent behind its caller's back.
//
// Polling holds: a calibration, a mission transfer or a firmware update pauses telemetry polling
// with setTeleReqHold(hold, true). While any hold is set, setTeleReqEnable(true) (UDP heartbeats
// call it several times a second) is ignored; releasing the last hold resumes polling when the
// link is still open.
//
// Firmware update: while setFirmwareUpdating(true) holds, the vehicle sits in its bootloader and
// takes only the firmware exchange (0xA1..0xA4). Every other acknowledged request is refused
// before it is queued (sendMavPFrameReq false, one warning naming the command); control commands
// then answer GcsRet::FirmwareUpdating (-2010) instead of waiting for a time-out.
//
// retire() ends a vehicle that has left the list (user disconnect, id change, shutdown): polling,
// the first-position check and the queue worker stop, requests still queued end with a time-out,
// the flight log is written out and closed, and the vehicle no longer hears its link. A retired
// vehicle may still be held by a view (the cluster slots) but never sends again.

#include "MavProtoDefs.h"
#include "OstLogLevel.h"
#include "common/GcsPeriodicTask.h"
#include "protocol/MavCmdRequestMessage.h"
#include "protocol/MavRequestQueueOwner.h"
#include "telemetry/MavLinkLossStats.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class GcsEventReporter;
class GcsHttp;
struct RemoteVehicleBaseMessage;
class GcsLoginManager;
class MavCustomNameFieldsConfigManager;
class IGcsConsole;
class LinkManager;
class MavRequestQueueManager;
class MavMissionsController;
class FirmwareUpdateController;
class MavParamsController;
class MavTelemetryController;
class MultiVehicleManager;
class OstAbstractLink;
class OstTimerTaskManager;
class VehicleAlertController;

enum class VehicleControllerType : uint32_t { Local = 0, Remote = 1 };

class VehicleController : public QObject,
                          public MavRequestQueueOwner,
                          public std::enable_shared_from_this<VehicleController> {
    Q_OBJECT
public:
    VehicleController(int vehicleId, std::shared_ptr<LinkManager> linkManager, QObject* parent = nullptr);
    ~VehicleController() override;

    static std::shared_ptr<VehicleController> createRemote(const QString& vehicleCode, QObject* parent = nullptr);

    // Before setup: an owner that routes received frames by sender id (the multi-vehicle
    // manager) calls deliverMavPFrame itself; otherwise the vehicle listens to its link's
    // processor and drops other vehicles' frames.
    void setFramesRoutedByOwner(bool routed) { m_framesRoutedByOwner = routed; }
    void deliverMavPFrame(const MavPFramePtr& pframe, OstAbstractLink* link);
    // Builds the vehicle's controllers with the services set so far (setServices).
    void setup();
    // Before setup: the request queue's clock and check period (tests run resends on a fake clock).
    void setRequestQueueTiming(std::function<int64_t()> clock, int checkPeriodMs);
    bool checkSetuped() const;

    void setAddress(const QString& address);
    // The station's services a vehicle uses, handed down by its owner before setup (the vehicle
    // never pulls them from the application). Any may be missing: tests and tools leave out what
    // they do not need (no timer: no telemetry polling; no HTTP: the vehicle code stays local).
    struct Services {
        std::weak_ptr<IGcsConsole> console;
        std::weak_ptr<GcsEventReporter> eventReporter;
        std::weak_ptr<MavCustomNameFieldsConfigManager> customNames;
        std::weak_ptr<GcsLoginManager> loginMgr;
        std::weak_ptr<OstTimerTaskManager> timerTaskMgr;
        std::weak_ptr<GcsHttp> http;
        MultiVehicleManager* fleet = nullptr;  // the owner of the station's vehicles
        // The station's one missions controller (above this layer, so asked for, not included).
        std::function<std::shared_ptr<MavMissionsController>()> missions;
    };
    void setServices(const Services& services);
    void setGcsConsole(std::shared_ptr<IGcsConsole> console);
    std::shared_ptr<IGcsConsole> gcsConsole() const { return m_console.lock(); }
    void setEventReporter(std::shared_ptr<GcsEventReporter> reporter) { m_eventReporter = reporter; }

    int vehicleId() const override { return m_vehicleId; }
    QString vehicleCode() const;
    bool vehicleCodeIsActive() const;
    QString address() const;
    bool alive() const { return m_alive; }
    // How long ago a telemetry frame or a heartbeat of this vehicle came in; none before the
    // first. A library user sees a link go quiet here without the CLI.
    std::optional<int64_t> telemetryAgeMs() const;
    std::optional<int64_t> heartbeatAgeMs() const;
    void noteHeartbeat();
    VehicleControllerType vehicleControllerType() const { return m_type; }
    bool isLocal() const { return m_type == VehicleControllerType::Local; }
    std::shared_ptr<LinkManager> linkManager() const { return m_linkManager; }
    std::shared_ptr<MavRequestQueueManager> requestQueue() const { return m_requestQueue; }
    std::shared_ptr<MavTelemetryController> teleCtrler() const { return m_teleCtrler; }
    std::shared_ptr<VehicleAlertController> alertCtrler() const { return m_alertCtrler; }
    std::shared_ptr<MavParamsController> paramsCtrler() const { return m_paramsCtrler; }
    // The station's one missions controller (it works on the active vehicle); null without an
    // app controller.
    std::shared_ptr<MavMissionsController> missionsCtrler() const;
    // This vehicle's firmware update; null before setup and for a remote vehicle.
    std::shared_ptr<FirmwareUpdateController> firmwareUpdateCtrler() const { return m_firmwareUpdateCtrler; }
    MultiVehicleManager* multiVehicleMgr() const;
    int teleReqInterval() const;
    std::shared_ptr<MavLinkLossStats> linkLossStatsTracker() const { return m_linkLossStats; }
    MavLinkLossStatsSnapshot linkLossStats() const;

    // Where frames to this vehicle go over UDP (host:port), from its last heartbeat's address,
    // the link's device receive port and multicast group.
    QString udpSendAddress() const;

    // Remote vehicles only (a local one ignores them): a record from the cloud feeds the
    // telemetry items. The status record's horizontal speed is split along the yaw into the
    // position item's north and east speeds, kept across position records.
    void handleRemoteVehicleMessage(const std::shared_ptr<RemoteVehicleBaseMessage>& message);
    void setRemotePosition(double lat, double lon, double alt);
    void setRemoteStatus(double roll, double pitch, double yaw, double speed = 0.0);

    // Queues req and sends its (first) frame; false when the send failed, and then nothing of it
    // is left queued.
    bool sendMavPFrameReq(std::shared_ptr<MavCmdRequestMessage> req);
    // Withdraws a queued request: never resent, a later answer is ignored, no time-out. False
    // when it is not queued.
    bool cancelMavPFrameReq(const std::shared_ptr<MavCmdRequestMessage>& req);
    // For a request whose send failed (sendMavPFrameReq false) when the caller has no failure
    // path of its own: its time-out arrives later, as from the queue, so an outcome still comes.
    void timeOutUnsentReq(const std::shared_ptr<MavCmdRequestMessage>& req);
    void setFirmwareUpdating(bool updating);
    bool firmwareUpdating() const { return m_firmwareUpdating; }
    bool sendMavPFrame(const std::shared_ptr<_MavPFrame_t>& frame) override;
    bool sendMavData(const QByteArray& data);
    bool sendMavData(const unsigned char* data, unsigned short len);
    uint8_t genSeqId();

    void takeoff(quint16 alt, quint8 vel);
    void suspend();
    void resume();
    void land();
    void returnHome(double lat, double lon, float alt);
    void runMission();
    void startFormationFlight();
    void cancelFormationFlight();
    void startIdleMotorDetection(quint8 value);
    void stopIdleMotorDetection();

    enum TeleReqHold : unsigned { CalibrationHold = 1, MissionTransferHold = 2, FirmwareUpdateHold = 4 };
    void setTeleReqEnable(bool enable);
    void setTeleReqHold(TeleReqHold hold, bool on);
    unsigned teleReqHolds() const { return m_teleReqHolds; }
    void setTeleReqInterval(int ms);
    void retire();
    bool retired() const { return m_retired; }
    void checkVehicleFirstPositionFixedAfterConnected();
    void readVehicleCode();

    void resetLinkLossStats();
    void markAckExpectedForStats() override;
    void markAckReceivedForStats() override;
    void markAckLostForStats() override;
    void markTelemetryWindowStartedForStats();
    void markTelemetryWindowActiveForStats();
    void markTelemetryWindowSilentForStats();

signals:
    void mavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void mavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void takeoffResp(int result);
    void suspendResp(int result);
    void resumeResp(int result);
    void landResp(int result);
    void returnHomeResp(int result);
    void missionRunningResp(int result);
    void formationStartResp(int result);
    void formationCancelResp(int result);
    void idleMotorDetectResp(int result);
    void vehicleAliveChanged(bool bAlive);
    void vehicleFirstPositionFixedAfterConnectedTimerTriggered();
    void vehicleFirstPositionFixedAfterConnected();
    void vehicleCodeReadResp(int ret);

public slots:
    void processMavPFrame(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleLinkDisconnected();
    void handleTeleDataReportStateChanged(int state);
    void handleCheckVehicleFirstPositionFixedAfterConnectedTimerTriggered();
    void handleResParamsFieldsRefreshed();
    void handleResTeleFieldsRefreshed();

protected:
    bool event(QEvent* e) override;

private:
    VehicleController(const QString& vehicleCode, QObject* parent);

    void initConnect();
    void processMavAckTimeout(const std::shared_ptr<MavCmdRequestMessage>& req);
    void setAlive(bool alive);
    void stopFirstPositionCheck();
    // Packs with `pack`, reports the event, writes the console line, queues and sends.
    template <typename Pack>
    void sendControlCommand(uint8_t cmd, int eventType, const QString& consoleText, Pack&& pack);
    void emitControlResp(uint8_t cmd, const std::shared_ptr<MavCmdRequestMessage>& req, int result);
    QString controlCmdName(uint8_t cmd, const std::shared_ptr<MavCmdRequestMessage>& req) const;

    VehicleControllerType m_type;
    QString m_vehicleCode;
    double m_remoteSpeed = 0.0;  // horizontal, from the last status record
    double m_remoteYaw = 0.0;
    int m_vehicleId = -1;
    QString m_address;  // read by sends from the queue worker and the timer thread
    unsigned m_teleReqHolds = 0;
    std::atomic<bool> m_firmwareUpdating{false};
    bool m_framesRoutedByOwner = false;
    bool m_retired = false;
    mutable std::mutex m_addressMutex;
    std::shared_ptr<LinkManager> m_linkManager;
    bool m_setuped = false;
    std::shared_ptr<MavRequestQueueManager> m_requestQueue;
    std::function<int64_t()> m_queueClock;
    int m_queueCheckPeriodMs = 500;
    uint8_t m_seq = 1;
    std::mutex m_seqMutex;
    std::shared_ptr<MavTelemetryController> m_teleCtrler;
    std::shared_ptr<VehicleAlertController> m_alertCtrler;
    std::shared_ptr<MavParamsController> m_paramsCtrler;
    std::shared_ptr<FirmwareUpdateController> m_firmwareUpdateCtrler;
    std::shared_ptr<MavLinkLossStats> m_linkLossStats;
    std::atomic<bool> m_alive{false};  // also read by the telemetry tick
    std::atomic<int64_t> m_lastTelemetryAt{-1};  // steady clock, ms; -1: never
    std::atomic<int64_t> m_lastHeartbeatAt{-1};
    std::weak_ptr<OstTimerTaskManager> m_timerTaskMgr;
    std::weak_ptr<GcsHttp> m_http;
    MultiVehicleManager* m_fleet = nullptr;
    std::function<std::shared_ptr<MavMissionsController>()> m_missions;
    std::weak_ptr<GcsEventReporter> m_eventReporter;
    std::weak_ptr<IGcsConsole> m_console;
    std::weak_ptr<MavCustomNameFieldsConfigManager> m_customNames;
    std::weak_ptr<GcsLoginManager> m_loginMgr;
    GcsPeriodicTask m_firstPositionTask;
    int m_firstPositionCount = 0;
};

using VehicleControllerPtr = std::shared_ptr<VehicleController>;
