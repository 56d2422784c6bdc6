#pragma once
// The active flight route: the route the user edits and transfers. It forwards the route's
// editing signals, uploads it to the active vehicle, downloads the vehicle's copy into it (or
// into a new route), checks a route before it flies and fills it from the area route generator.
//
// Transfers: every mission request asks for result 0 within 2000 ms with 2 resends. An upload is
// one chain (basic record, then each waypoint, each stamped with the route's number); its one
// outcome ends it. A download asks for the basic record, then each waypoint in turn, and only a
// complete, consistent download replaces the target route's waypoints (rebuilt as that route's
// own, so they follow its number) and saves it. Results: the vehicle's non-zero result, 5000 for
// a time-out, -2002 / -2003 for a waypoint of another route or number, -2006 when a verified
// upload reads back different from what was sent.
//
// One transfer at a time: an upload during a download is refused with 5, a download during an
// upload with 4. The route a transfer writes into or reads from is its target: it is locked in
// the route store (not removed, not saved by others), the active route cannot change, and the
// target cannot be opened for editing while a download writes into it. A target that disappears
// anyway (a store reload without it) ends the transfer with 5000, once.
//
// Store reloads rebuild every route object: the active route is then found again by id, or
// cleared with a log line when its id is gone.
//
// A download that finds no route on the vehicle ends with 0 and leaves the target unchanged;
// lastDownloadWayPointCount() says 0, so callers can tell it from a real download.
//
// Upload with verify: after the vehicle accepted the upload, its route is downloaded into a
// scratch route and compared with what was sent: first the basic record (waypoint count, repeat
// count, and the route number, which the vehicle answers in the basic record's last byte), then
// record by record; the upload ends only then, with 0 when they match, -2006 naming the first
// difference (lastVerify(): the waypoint, or 0 and the basic field), or the read-back's own
// failure.
//
// While a transfer runs:
//   - the vehicle's telemetry polling is held (VehicleController::MissionTransferHold), set
//     before the first transfer flag and released after the last clears, on the vehicle that was
//     paused, so heartbeats cannot restart polling mid-transfer;
//   - the multi-vehicle manager keeps the active vehicle: one that joins meanwhile takes the
//     active role when the transfer ends;
//   - a transfer is addressed: it talks to its own vehicle (uploadTo, downloadFrom; upload() and
//     download() address the active vehicle and route), and the operator may select another
//     vehicle meanwhile without ending it;
//   - the transfer's vehicle leaving ends it with 5000 and a warning and cancels its request
//     chain: exactly one finished signal per transfer; a vehicle retired because its link
//     closed ends it with -2102, so an operator can tell a dropped link from a vehicle that
//     stopped answering.
// A vehicle that is updating its firmware takes no transfer: upload() and download() return 6.
//
// Main thread only.

#include "mission/MavRouteChecker.h"

#include "MavProtoDefs.h"
#include "MavProtoMissionRecords.h"
#include "OstAbstractLink.h"

#include <QObject>

#include <list>
#include <memory>
#include <vector>

class MavAreaRouteConfig;
class MavCmdRequestMessage;
class MavFlightRouteDataItem;
class MavFlightRouteManager;
class MavWayPointDataItem;
class MultiVehicleManager;
class NfzZoneManager;
class VehicleController;

// 1: refused because a transfer (upload or download) is in progress.
enum SetMissionsActRouteResult { SetActRouteRefusedEditing = 0, SetActRouteRefusedUploading = 1, SetActRouteDone = 2 };

class MavMissionsController : public QObject {
    Q_OBJECT
public:
    static constexpr int kResultTimeout = 5000;
    static constexpr int kResultWrongRoute = -2002;
    static constexpr int kResultWrongNumber = -2003;
    static constexpr int kResultVerifyMismatch = -2006;
    // The transfer's vehicle was retired (its link closed): not a vehicle that stopped answering.
    static constexpr int kResultLinkLost = -2102;
    static constexpr uint32_t kRequestTimeoutMs = 2000;
    static constexpr uint8_t kRequestResends = 2;

    struct VerifyOutcome {
        enum State { None, Pending, Verified, Differs, Unverified };
        State state = None;
        int firstDifferentWayPoint = 0;  // 1-based list position, with Differs; 0 when the basic record differs
        int readBackResult = 0;  // the read-back download's result, with Unverified
        QString difference;  // with Differs: the first difference in words
    };

    MavMissionsController(MultiVehicleManager* multiVehicleMgr, std::shared_ptr<MavFlightRouteManager> routeMgr,
                          QObject* parent = nullptr);
    ~MavMissionsController() override;

    std::shared_ptr<MavFlightRouteDataItem> activeFlightRoute() const { return m_activeRoute; }
    std::shared_ptr<VehicleController> activeVehicleCtrler() const { return m_vehicle.lock(); }
    bool isUploading() const { return m_isUploading; }
    bool isDownloading() const { return m_isDownloading; }
    bool isTransferring() const { return m_isUploading || m_isDownloading; }
    bool isEditing() const;

    SetMissionsActRouteResult setActiveFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);
    void setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle);
    // Zones the route checks look at (the cached no-fly zones).
    void setZoneSource(std::weak_ptr<NfzZoneManager> zones) { m_zones = std::move(zones); }

    void startEditing();
    // False when the route could not be saved (the store tells why through routeSaveFailed).
    bool stopEditing();
    void setIsEditing(bool editing);

    std::shared_ptr<MavWayPointDataItem> addWayPoint(MavProtoWayPointType type, double lon, double lat, double alt,
                                                     float vel, float radius, MavProtoHeadingDirection headingDirection,
                                                     MavProtoTraceMode traceMode, MavProtoWayPointHeightType heightType,
                                                     uint16_t hoverTime, int16_t nextWp, float heading);
    void removeWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp);
    std::shared_ptr<MavWayPointDataItem> getWayPointByIndex(int index) const;
    std::shared_ptr<MavWayPointDataItem> getWayPointByNum(int number) const;
    std::list<std::shared_ptr<MavWayPointDataItem>> wayPointList() const;

    // What stands against flying `route` with the active vehicle: counts, numbering, the flown
    // path, positions, the vehicle's limits once its basic parameters were read, and the cached
    // no-fly zones along the path from where the vehicle is (its position while alive with a fix,
    // else its home). The violations only; checkRouteReport() adds what could not be checked.
    std::vector<MavRouteFinding> checkRoute(const std::shared_ptr<MavFlightRouteDataItem>& route) const;
    std::vector<MavRouteFinding> checkRoute(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                            const std::shared_ptr<VehicleController>& vehicle) const;
    MavRouteCheckReport checkRouteReport(const std::shared_ptr<MavFlightRouteDataItem>& route) const;
    // The same check for a given vehicle against the zones and limits of this moment: what a
    // mission start runs again on the route that vehicle holds. A null vehicle checks without
    // limits and start (both "unchecked").
    MavRouteCheckReport checkRouteForVehicle(const MavFlightRouteDataItem& route,
                                             const std::shared_ptr<VehicleController>& vehicle) const;

    // 0 started; 1 no valid active vehicle; 2 no active route; 3 route being edited; 4 an upload
    // runs; 5 a download runs; 6 the vehicle is updating its firmware.
    int upload(bool verify = false);
    int download(bool intoNewRoute = false);
    // Reads the vehicle's route into a new route that is not stored (lastScratchRoute()), for
    // readers outside the station; same results and signals as download().
    int downloadToScratch();
    // The same, addressed: `route` to `vehicle`, whichever are active. Results as upload().
    int uploadTo(const std::shared_ptr<VehicleController>& vehicle,
                 const std::shared_ptr<MavFlightRouteDataItem>& route, bool verify = false);
    enum class DownloadInto { Route, NewRoute, Scratch };
    // `route` is the target with DownloadInto::Route and ignored otherwise.
    int downloadFrom(const std::shared_ptr<VehicleController>& vehicle, DownloadInto into,
                     const std::shared_ptr<MavFlightRouteDataItem>& route = nullptr);
    // The vehicle the running transfer talks to (null when none runs).
    std::shared_ptr<VehicleController> transferVehicle() const
    {
        return isTransferring() ? m_transferVehicle.lock() : nullptr;
    }
    bool generateAreaRouteWayPoints(const MavAreaRouteConfig* config);
    // Replaces `route`'s waypoints with the survey of `config`, each from the template `tmpl`
    // (built-in defaults without one). False when the area gives no waypoint.
    static bool fillAreaRoute(MavFlightRouteDataItem& route, const MavAreaRouteConfig* config,
                              const MavWayPointDataItem* tmpl);
    // While false, a route added to the store does not become the active one (a route a
    // ground station uploads is not the operator's).
    void setActivateAddedRoutes(bool on) { m_addingOwnRoute = !on; }

    // The waypoint count the vehicle reported in the last download (0: it holds no route).
    int lastDownloadWayPointCount() const { return m_lastDownloadCount; }
    // The route the last download into a new route created (null otherwise).
    std::shared_ptr<MavFlightRouteDataItem> lastNewRoute() const { return m_lastNewRoute; }
    // The route the last scratch download read (empty when the vehicle holds none).
    std::shared_ptr<MavFlightRouteDataItem> lastScratchRoute() const { return m_lastScratchRoute; }
    const VerifyOutcome& lastVerify() const { return m_verify; }

signals:
    void activeFlightRouteChanged();
    void isEditingChanged();
    void isUploadingChanged();
    void isDownloadingChanged();
    void wayPointAdded(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointWillRemoved(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointRemoved(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointPosChanged(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointsWillBeReset();
    void wayPointsReset();
    void flightRouteUploadingStarted(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void flightRouteUploadingFinished(std::shared_ptr<MavFlightRouteDataItem> flightRoute, int ret);
    void flightRouteDownloadingStarted(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void flightRouteDownloadingFinished(std::shared_ptr<MavFlightRouteDataItem> flightRoute, int ret);

private slots:
    void handleFlightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void handleFlightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void handleFlightRoutesReset();
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleDownloadFlightRouteBasicParamsAck(const _MavPFrame_t& frame);
    void handleDownloadFlightRouteWayPointsDataAck(const _MavPFrame_t& frame);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle);
    void handleVehicleLeft(std::shared_ptr<VehicleController> vehicle);

private:
    enum class ReadBack { None, IntoRoute, IntoNewRoute, Verify, Scratch };
    int startDownload(const std::shared_ptr<VehicleController>& vehicle, ReadBack mode,
                      const std::shared_ptr<MavFlightRouteDataItem>& route);
    void bindTransferVehicle(const std::shared_ptr<VehicleController>& vehicle);
    void releaseTransferVehicle();

    void setIsUploading(bool uploading);
    void setIsDownloading(bool downloading);
    void updateTransferHolds();
    bool checkDownloadPreconditions(const char* handler) const;
    bool sendTransferRequest(const std::shared_ptr<MavCmdRequestMessage>& req);
    void startReadBack(ReadBack mode, uint8_t routeNumber);
    void requestDownloadWayPoint(uint8_t number);
    void completeReadBack();
    std::shared_ptr<MavCmdRequestMessage> missionRequest(const MavPFramePtr& frame) const;
    void finishUpload(int ret);
    void markDownloadFlightRouteFailed(int ret);
    // Ends whatever transfer runs with `ret`, cancelling its queued request (early ends only).
    void abortTransfer(int ret, const char* why);
    void lockTarget(const std::shared_ptr<MavFlightRouteDataItem>& route);
    void unlockTarget();
    std::shared_ptr<MavFlightRouteDataItem> storedRoute(const QString& id) const;
    void attachActiveRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);

    MultiVehicleManager* m_multiVehicleMgr = nullptr;
    std::weak_ptr<VehicleController> m_vehicle;
    std::shared_ptr<MavFlightRouteDataItem> m_activeRoute;
    std::shared_ptr<MavFlightRouteManager> m_routeMgr;
    std::weak_ptr<NfzZoneManager> m_zones;
    bool m_isUploading = false;
    bool m_isDownloading = false;
    // The transfer: the route it reads from or writes into, and its request in the queue.
    std::shared_ptr<MavFlightRouteDataItem> m_target;
    std::shared_ptr<MavCmdRequestMessage> m_transferReq;
    std::weak_ptr<VehicleController> m_transferVehicle;
    ReadBack m_readBack = ReadBack::None;
    bool m_adoptRouteNumber = false;
    std::shared_ptr<MavFlightRouteDataItem> m_downloadRoute;
    MavProtoDownWayPointBasicParam_t m_downloadBasic;
    uint8_t m_downloadWpNumber = 0;
    MavProtoUpWayPointBasicParam_t m_sentBasic;
    std::vector<MavProtoWayPointData_t> m_sentRecords;
    VerifyOutcome m_verify;
    int m_lastDownloadCount = 0;
    std::shared_ptr<MavFlightRouteDataItem> m_lastScratchRoute;
    std::shared_ptr<MavFlightRouteDataItem> m_lastNewRoute;
    bool m_addingOwnRoute = false;
    // The vehicle whose polling this controller paused, and whether the active role is held.
    std::weak_ptr<VehicleController> m_heldVehicle;
    bool m_holdingActive = false;
};
