#pragma once
// Writes no-fly zones into the vehicle a session names: an upload of zones of the shared zone
// set, or a manual bind of one four-corner zone. One session at a time on the station. The
// operator's active vehicle plays no part: selecting another vehicle leaves a running session
// alone. Each session ends in exactly one finish signal carrying 0, the vehicle's non-zero
// result, 5000 (time-out, or a request the queue would not take) or -2102 (the session's vehicle
// was retired: removed, or its link closed).
//
// An upload is sent one request at a time: the totals (0x10), each zone (0x11) in the order
// given, then the update time (0x12). The next request leaves when the previous one is answered
// 0, so the session sees every answer: a zone answered 0 with a non-zero status word ends the
// upload with that word and nothing more is sent (the queue judges a chained request by its
// result byte alone and would go on). Each request asks for result 0 within 2000 ms, 2 resends.
// transferProgress: 0 at the start, one step per zone the vehicle took (k * 100 / (n + 1) after
// zone k of n), 100 once the set is stored; 0 again when the upload fails.
//
// Zones are checked before anything is sent, and a zone is never sent smaller than it is:
// - refused, with lastRefusal() naming the zone and why (return 5): fewer than 3 distinct
//   vertices, a self-intersecting polygon, a circle whose radius is not positive, a zone across
//   the 180th meridian (never clamped), an id listed twice, more than 65535 zones or vertices
//   in all; an unknown id returns 4;
// - a polygon of at most 255 vertices goes as it is (repeated vertices dropped); one of more
//   goes as its convex hull when that has at most 255 vertices, else as its bounding box; a
//   polygon whose vertices trace a circle, and a circle, go as the four corners of their box.
// Every zone sent larger than drawn is listed by zonesEnlarged (emitted right after
// uploadStarted, only when there is one) and enlargedZoneIds(), and named in one warning.
// A manual bind is refused (5) unless its corners are finite, in range, distinct and trace a
// simple quadrilateral that does not cross the 180th meridian.
// A vehicle updating its firmware takes neither (6, one warning).
//
// A session that ends early (its vehicle retired, a request not queued, the controller
// destroyed) first takes its request in flight out of the vehicle's queue, so no resend, and no
// commit frame, reaches that vehicle after the failure was reported. Main thread only.

#include "MavProtoDefs.h"
#include "MavProtoNfzProcesser.h"
#include "OstAbstractLink.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class MavCmdRequestMessage;
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
    static constexpr size_t kMaxVertexTotal = 65535;
    enum SessionKind { NoSession = 0, UploadSession = 1, ManualBindSession = 2 };

    explicit NfzVehicleController(std::shared_ptr<NfzZoneManager> zoneManager, QObject* parent = nullptr);
    ~NfzVehicleController() override;

    // 0 started; 1 no vehicle or not sent; 2 a session runs; 3 no ids; 4 zone manager gone or an
    // unknown id; 5 a zone that cannot be sent; 6 the vehicle is updating its firmware.
    int uploadZonesByIds(const std::shared_ptr<VehicleController>& vehicle, std::vector<int64_t> ids);
    // 0 started; 1 no vehicle or not sent; 2 a session runs; 5 bad corners; 6 firmware.
    int bindManualZone(const std::shared_ptr<VehicleController>& vehicle, std::array<MavProtoNfzVertex_t, 4> vertices);
    bool isTransferring() const { return m_transferring; }
    // The vehicle the running session talks to (null when none runs).
    std::shared_ptr<VehicleController> sessionVehicle() const
    {
        return m_transferring ? m_vehicle.lock() : nullptr;
    }
    int sessionKind() const { return m_sessionKind; }
    // Why the last refused start was refused (naming the zone); empty after a start.
    QString lastRefusal() const { return m_lastRefusal; }
    // The zones of the last started upload that went larger than drawn.
    std::vector<int64_t> enlargedZoneIds() const { return m_enlargedIds; }

    // A record as the vehicle gets it, or why it cannot go (refusal, without the zone's name).
    struct ZoneShape {
        std::vector<MavProtoNfzVertex_t> vertices;
        bool enlarged = false;
        const char* how = "";  // for an enlarged zone: "convex hull" or "bounding box"
        std::string refusal;
    };
    static ZoneShape zoneShape(const NfzRecord& record);
    // Empty when the four corners can be bound, else why not.
    static std::string checkManualZone(const std::array<MavProtoNfzVertex_t, 4>& vertices);

signals:
    void uploadStarted(std::vector<int64_t> ids);
    void zonesEnlarged(std::vector<int64_t> ids);
    void uploadFinished(bool ok, int ret, std::vector<int64_t> ids);
    void manualBindStarted();
    void manualBindFinished(bool ok, int ret);
    void transferProgress(int percent);

public slots:
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);

private:
    std::shared_ptr<MavCmdRequestMessage> makeRequest(const MavPFramePtr& frame, uint8_t expectedDataLen = 0) const;
    int refuse(int code, std::string why);
    int checkVehicle(const std::shared_ptr<VehicleController>& vehicle, const char* what);
    void beginSession(SessionKind kind, const std::shared_ptr<VehicleController>& vehicle);
    bool sendNext();
    void finishUpload(bool ok, int ret);
    void finishManualBind(bool ok, int ret);
    // Takes the request in flight out of the session vehicle's queue (early ends).
    void cancelQueued();
    void endSession();

    std::weak_ptr<NfzZoneManager> m_zoneManager;
    std::weak_ptr<VehicleController> m_vehicle;
    bool m_transferring = false;
    int m_sessionKind = NoSession;
    std::vector<int64_t> m_zoneIds;
    std::vector<int64_t> m_enlargedIds;
    size_t m_zonesTotal = 0;
    size_t m_zonesDone = 0;
    QString m_lastRefusal;
    // The request waiting for its answer and those still to send, in order.
    std::shared_ptr<MavCmdRequestMessage> m_current;
    std::deque<std::shared_ptr<MavCmdRequestMessage>> m_remaining;
};
