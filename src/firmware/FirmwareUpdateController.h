#pragma once
// Sends a firmware image to one vehicle and follows it to the vehicle's verdict:
// reset command (0xA1), image info (0xA2), the image in 512-byte data frames (0xA3, one in
// flight at a time, each acknowledged), then the final ack (0xA4) the vehicle sends on its own.
// Each request asks for result 0 with 2 resends: the reset within the reset time-out, the info
// within the info time-out, each data frame within 2000 ms. The final ack is awaited on a tick
// (3000 ms unless given) for at most 30000 ms.
//
// Telemetry polling of the vehicle is held (VehicleController::FirmwareUpdateHold) from the
// start to the end, so heartbeats cannot restart it mid-transfer. Every end goes through one
// place that releases the hold and emits updateFinished once.
//
// Only the acks and time-outs of the exchange in progress count: another sender's, a late one
// or one outside an update is ignored (the vehicle's queue delivers a stray final ack too).
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
#include <memory>

class MavCmdRequestMessage;
class VehicleController;

class FirmwareUpdateController : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultFinalAckTickMs = 3000;
    static constexpr int kFinalAckMaxMs = 30000;
    static constexpr int kResetDelayMs = 1000;
    static constexpr uint32_t kDataTimeoutMs = 2000;
    static constexpr uint8_t kResends = 2;
    // The largest image: 65535 frames of 512 bytes.
    static constexpr qint64 kMaxImageSize = qint64(0xFFFF) * 512;

    // finalAckTickMs: one tick of the final-ack wait; the wait ends after kFinalAckMaxMs worth of
    // ticks (tests count ticks themselves).
    FirmwareUpdateController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent = nullptr,
                             int finalAckTickMs = kDefaultFinalAckTickMs);
    ~FirmwareUpdateController() override;

    FirmwareEnums::UpdateStartupResult updateFirmware(const QString& firmPath, uint firmInfoCommandTimeoutMs,
                                                      uint resetCommandTimeoutMs);
    bool isRunning() const { return m_running.load(); }
    FirmwareEnums::UpdateStep updateStep() const { return m_step; }
    FirmwareEnums::UpdateResult updateResult() const { return m_result; }
    QString filePath() const { return m_filePath; }

signals:
    void updateFinished(FirmwareEnums::UpdateResult ret);
    void updateStepAndProgressChanged(FirmwareEnums::UpdateStep step, int done, int total);

public slots:
    void sendResetCommand();
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void handleFinalAckTimeout();

private:
    void handleResetAck(const _MavPFrame_t& frame);
    void handleFirmInfoAck(const _MavPFrame_t& frame);
    void handleFirmDataAck(const _MavPFrame_t& frame);
    void handleFinalAck(const _MavPFrame_t& frame);
    bool prepareFirmwareData();
    void checkAddSendFirmDataFrame();
    void sendFirmDataFrame();
    // Queues the request awaiting `cmd`; a refusal ends the update with `timeoutResult`.
    bool sendRequest(const MavPFramePtr& frame, uint32_t timeoutMs, FirmwareEnums::UpdateResult timeoutResult);
    void startFinalAckWait();
    void stopFinalAckWait();
    void setUpdateStep(FirmwareEnums::UpdateStep step, int done, int total, bool emitSignal = true);
    void setUpdateResult(FirmwareEnums::UpdateResult result, bool emitSignal = true);

    std::weak_ptr<VehicleController> m_vehicle;
    std::atomic<bool> m_running{false};
    FirmwareEnums::UpdateResult m_result = FirmwareEnums::UpdateResult::Success;
    FirmwareEnums::UpdateStep m_step = FirmwareEnums::UpdateStep::Idle;
    QString m_filePath;
    QByteArray m_firmData;
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
    // The vehicle whose polling this update holds.
    std::weak_ptr<VehicleController> m_heldVehicle;
    // Tells a scheduled reset of an earlier update from this one's.
    quint64 m_generation = 0;
};
