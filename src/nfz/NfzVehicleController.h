#pragma once
// Writes no-fly zones into the active vehicle: an upload of zones of the shared zone set, or a
// manual bind of one four-corner zone. Each session ends in exactly one finish signal carrying
// 0, the vehicle's non-zero result, 5000 (time-out, or a request the queue would not take) or
// -2102 (the active vehicle changed).
//
// An upload is sent one request at a time: the totals (0x10), each zone (0x11) in id order,
// then the update time (0x12). The next request leaves when the previous one is answered 0, so
// the session sees every answer: a zone answered 0 with a non-zero status word ends the upload
// with that word and nothing more is sent (the queue judges a chained request by its result
// byte alone and would go on). Each request asks for result 0 within 2000 ms, 2 resends.
//
// Zones: a polygon goes as its first 255 vertices (at least 3), or as the four corners of its
// box when its vertices trace a circle; a circle as the four corners of its box.
//
// While a session runs the multi-vehicle manager holds the active vehicle: one that joins
// meanwhile becomes active after the session. Main thread only.

#include "MavProtoDefs.h"
#include "MavProtoNfzProcesser.h"
#include "OstAbstractLink.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class MavCmdRequestMessage;
class MultiVehicleManager;
class NfzZoneManager;
class VehicleController;
struct NfzRecord;

class NfzVehicleController : public QObject {
    Q_OBJECT
public:
    static constexpr int kResultTimeout = 5000;
    static constexpr int kResultVehicleChanged = -2102;
    static constexpr uint32_t kRequestTimeoutMs = 2000;
    static constexpr uint8_t kRequestResends = 2;
    enum SessionKind { NoSession = 0, UploadSession = 1, ManualBindSession = 2 };

    NfzVehicleController(MultiVehicleManager* multiVehicleMgr, std::shared_ptr<NfzZoneManager> zoneManager,
                         QObject* parent = nullptr);
    ~NfzVehicleController() override;

    // 0 started; 1 no active vehicle or not sent; 2 a session runs; 3 no ids; 4 zone manager
    // gone or an unknown id; 5 bad geometry or more than 65535 vertices.
    int uploadZonesByIds(std::vector<int64_t> ids);
    // 0 started; 1 no active vehicle or not sent; 2 a session runs.
    int bindManualZone(std::array<MavProtoNfzVertex_t, 4> vertices);
    bool isTransferring() const { return m_transferring; }
    int sessionKind() const { return m_sessionKind; }

    // A record as the vehicle gets it; nothing when its geometry cannot be sent.
    static std::optional<std::vector<MavProtoNfzVertex_t>> zoneVertices(const NfzRecord& record);

signals:
    void uploadStarted(std::vector<int64_t> ids);
    void uploadFinished(bool ok, int ret, std::vector<int64_t> ids);
    void manualBindStarted();
    void manualBindFinished(bool ok, int ret);
    void transferProgress(int percent);

public slots:
    void handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle);
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);

private:
    std::shared_ptr<MavCmdRequestMessage> makeRequest(const MavPFramePtr& frame, uint8_t expectedDataLen = 0) const;
    bool beginSession(SessionKind kind);
    bool sendNext();
    void finishUpload(bool ok, int ret);
    void finishManualBind(bool ok, int ret);
    void endSession();

    MultiVehicleManager* m_multiVehicleMgr = nullptr;
    std::weak_ptr<NfzZoneManager> m_zoneManager;
    std::weak_ptr<VehicleController> m_vehicle;
    bool m_transferring = false;
    int m_sessionKind = NoSession;
    std::vector<int64_t> m_zoneIds;
    // The request waiting for its answer and those still to send, in order.
    std::shared_ptr<MavCmdRequestMessage> m_current;
    std::deque<std::shared_ptr<MavCmdRequestMessage>> m_remaining;
    bool m_holdingActive = false;
};
