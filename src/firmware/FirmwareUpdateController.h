#pragma once
// Sends a firmware image to one vehicle and follows it to the vehicle's verdict:
// reset command (0xA1), image info (0xA2), the image in 512-byte data frames (0xA3, one in
// flight at a time, each acknowledged), then the final ack (0xA4) the vehicle sends on its own.
// Each request asks for result 0 with 2 resends: the reset within the reset time-out, the info
// within the info time-out (both at least kMinCommandTimeoutMs: a smaller one is raised and
// logged, as 0 would never time out), each data frame within 2000 ms. The final ack is awaited
// on a tick (3000 ms unless given) for at most 30000 ms.
//
// Start checks, before anything is sent: no update running; a vehicle; unless forced (bench and
// simulator only: a reset in flight drops the aircraft), the vehicle alive, its last flight
// status record at most kFlightStatusMaxAgeMs old, not in flight (flight state 0) and disarmed;
// the image read whole into memory (at most kMaxImageSize) and, when a SHA-256 is given, equal
// to it. The image is never read again: a file changed after the start does not matter, the
// vehicle verifies what it got. Every refusal is logged with its reason and kept in
// refusalText().
//
// The flight state can change in the kResetDelayMs between the start and the reset: unless
// forced, the reset goes out only when a flight status received since the start says landed
// and disarmed and none since the start said otherwise; otherwise the update ends FailedNotLandedAtReset with the reason in
// refusalText(), before anything reached the vehicle.
//
// The vehicle is marked updating (setFirmwareUpdating) from the start to the end, so other
// requests do not reach a vehicle in its bootloader; its telemetry polling is held
// (VehicleController::FirmwareUpdateHold) from the reset to the end, so heartbeats cannot
// restart polling. Every end
// goes through one place that releases both and emits updateFinished once; destroying the
// controller mid-update ends it too (FailedLinkLost).
//
// Only the acks and time-outs of the exchange in progress count: another sender's, a late one
// or one outside an update is ignored (the vehicle's queue delivers a stray final ack too). A
// final ack that comes while the last data frame awaits its ack (that ack lost, the frame
// resent) is kept: the last data ack, or the end of its resends, then ends the update with the
// vehicle's verdict, as the vehicle has checked the whole image. A final ack before the last
// data frame went out is ignored.
//
// The vehicle leaving the list, its destruction or its link closing ends the update at once with
// FailedLinkLost (a queued request is withdrawn); so does a time-out that finds the link gone.
// A time-out on an open link keeps its own result.
//
// Main thread only; isRunning() may be read from anywhere.

#include "FirmwareEnums.h"
#include "MavProtoDefs.h"
#include "OstAbstractLink.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class MavCmdRequestMessage;
class VehicleController;

class FirmwareUpdateController : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultFinalAckTickMs = 3000;
    static constexpr int kFinalAckMaxMs = 30000;
    static constexpr int kResetDelayMs = 1000;
    static constexpr uint32_t kDataTimeoutMs = 2000;
    static constexpr uint kMinCommandTimeoutMs = 1000;
    static constexpr uint8_t kResends = 2;
    static constexpr qint64 kFlightStatusMaxAgeMs = 2000;
    // The largest image: 65535 frames of 512 bytes.
    static constexpr qint64 kMaxImageSize = qint64(0xFFFF) * 512;

    // finalAckTickMs: one tick of the final-ack wait; the wait ends after kFinalAckMaxMs worth of
    // ticks (tests count ticks themselves).
    FirmwareUpdateController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent = nullptr,
                             int finalAckTickMs = kDefaultFinalAckTickMs);
    ~FirmwareUpdateController() override;

    // sha256: hex, either case; empty: not checked. force skips the flight-state checks.
    FirmwareEnums::UpdateStartupResult updateFirmware(const QString& firmPath, uint firmInfoCommandTimeoutMs,
                                                      uint resetCommandTimeoutMs, bool force = false,
                                                      const QString& sha256 = QString());
    bool isRunning() const { return m_running.load(); }
    FirmwareEnums::UpdateStep updateStep() const { return m_step; }
    FirmwareEnums::UpdateResult updateResult() const { return m_result; }
    QString filePath() const { return m_filePath; }
    // The image of the last started update (kept after its end): lower-case hex SHA-256, bytes,
    // frames.
    QString imageSha256() const { return m_sha256; }
    uint32_t imageSize() const { return m_imageSize; }
    uint16_t imageFrameCount() const { return m_imageFrameCount; }
    // The time-outs the last started update uses, after raising.
    uint firmInfoTimeoutMs() const { return uint(m_firmInfoTimeoutMs); }
    uint resetTimeoutMs() const { return uint(m_resetCommandTimeoutMs); }
    // Why the last start was refused (empty after a start).
    QString refusalText() const { return m_refusal; }

    // The millisecond clock flight-status ages are read on (tests); a steady clock otherwise.
    void setClock(std::function<qint64()> nowMs);

signals:
    void updateFinished(FirmwareEnums::UpdateResult ret);
    void updateStepAndProgressChanged(FirmwareEnums::UpdateStep step, int done, int total);

public slots:
    void sendResetCommand();
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void handleFinalAckTimeout();

private:
    FirmwareEnums::UpdateStartupResult refuse(FirmwareEnums::UpdateStartupResult ret, const QString& why);
    // Empty when the vehicle may be updated now, else why not.
    QString flightRefusal(const VehicleController& vehicle) const;
    FirmwareEnums::UpdateStartupResult readImage(const QString& path, const QString& sha256);
    void handleResetAck(const _MavPFrame_t& frame);
    void handleFirmInfoAck(const _MavPFrame_t& frame);
    void handleFirmDataAck(const _MavPFrame_t& frame);
    void handleFinalAck(const _MavPFrame_t& frame);
    void checkAddSendFirmDataFrame();
    void sendFirmDataFrame();
    // Queues the request awaiting `cmd`; a refusal ends the update with `timeoutResult`.
    bool sendRequest(const MavPFramePtr& frame, uint32_t timeoutMs, FirmwareEnums::UpdateResult timeoutResult);
    bool linkLost() const;
    void endLinkLost(const char* why);
    // Ends with the verdict of a final ack kept while the last data frame was in flight.
    void endWithEarlyVerdict();
    void endWithVerdict(uint8_t verdict);
    void startFinalAckWait();
    void stopFinalAckWait();
    void setUpdateStep(FirmwareEnums::UpdateStep step, int done, int total, bool emitSignal = true);
    void setUpdateResult(FirmwareEnums::UpdateResult result, bool emitSignal = true);

    std::weak_ptr<VehicleController> m_vehicle;
    VehicleController* m_vehicleRaw = nullptr;  // only compared, never used
    std::atomic<bool> m_running{false};
    FirmwareEnums::UpdateResult m_result = FirmwareEnums::UpdateResult::Success;
    FirmwareEnums::UpdateStep m_step = FirmwareEnums::UpdateStep::Idle;
    QString m_filePath;
    QByteArray m_firmData;
    QString m_sha256;
    QString m_refusal;
    uint32_t m_imageSize = 0;
    uint16_t m_imageFrameCount = 0;
    uint32_t m_totalSize = 0;
    uint16_t m_totalFrameCount = 0;
    uint16_t m_nextFrameIndex = 0;
    QTimer m_finalAckTimer;
    int m_finalAckElapsedMs = 0;
    int m_firmInfoTimeoutMs = 10000;
    int m_resetCommandTimeoutMs = 2000;
    // The command and sequence of the request in flight (0: none); other acks are stale.
    uint8_t m_awaitingCmd = 0;
    uint8_t m_awaitingSeq = 0;
    std::shared_ptr<MavCmdRequestMessage> m_pendingReq;
    // A final ack's result that came while the last data frame awaited its ack.
    std::optional<uint8_t> m_earlyVerdict;
    // The vehicle whose polling this update holds.
    std::weak_ptr<VehicleController> m_heldVehicle;
    // Tells a scheduled reset of an earlier update from this one's.
    quint64 m_generation = 0;
    std::function<qint64()> m_clock;
    std::optional<qint64> m_flightStatusAtMs;
    bool m_forced = false;
    qint64 m_startedAtMs = 0;
    QString m_airborneBeforeReset;  // why the reset must not go out, from a record since the start
};
