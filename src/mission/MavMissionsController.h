#pragma once
// The active flight route: the route the user edits and transfers. It forwards the route's
// editing signals, uploads it to the active vehicle, downloads the vehicle's copy into it and
// fills it from the area route generator.
//
// Transfers: every mission request asks for result 0 within 2000 ms with 2 resends. An upload is
// one chain (basic record, then each waypoint); its one outcome ends it. A download asks for the
// basic record, then each waypoint in turn, and only a complete, consistent download replaces
// the active route's waypoints (and saves the route). Results: the vehicle's non-zero result,
// 5000 for a time-out, -2002 / -2003 for a waypoint of another route or number.
//
// While a transfer runs:
//   - the vehicle's telemetry polling is held (VehicleController::MissionTransferHold), set
//     before the first transfer flag and released after the last clears, on the vehicle that was
//     paused, so heartbeats cannot restart polling mid-transfer;
//   - the multi-vehicle manager keeps the active vehicle: one that joins meanwhile takes the
//     active role when the transfer ends;
//   - an active-vehicle change that still happens (the vehicle removed, or the user's choice)
//     ends the transfer with 5000 and a warning: exactly one finished signal per transfer.
//
// Main thread only.

#include "MavProtoDefs.h"
#include "MavProtoMissionRecords.h"
#include "OstAbstractLink.h"

#include <QObject>

#include <list>
#include <memory>

class MavAreaRouteConfig;
class MavCmdRequestMessage;
class MavFlightRouteDataItem;
class MavFlightRouteManager;
class MavWayPointDataItem;
class MultiVehicleManager;
class VehicleController;

enum SetMissionsActRouteResult { SetActRouteRefusedEditing = 0, SetActRouteRefusedUploading = 1, SetActRouteDone = 2 };

class MavMissionsController : public QObject {
    Q_OBJECT
public:
    static constexpr int kResultTimeout = 5000;
    static constexpr int kResultWrongRoute = -2002;
    static constexpr int kResultWrongNumber = -2003;
    static constexpr uint32_t kRequestTimeoutMs = 2000;
    static constexpr uint8_t kRequestResends = 2;

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

    void startEditing();
    void stopEditing();
    void setIsEditing(bool editing);

    std::shared_ptr<MavWayPointDataItem> addWayPoint(MavProtoWayPointType type, double lon, double lat, double alt,
                                                     float vel, float radius, MavProtoHeadingDirection headingDirection,
                                                     MavProtoTraceMode traceMode, MavProtoWayPointHeightType heightType,
                                                     uint16_t hoverTime, int16_t nextWp, float heading);
    void removeWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp);
    std::shared_ptr<MavWayPointDataItem> getWayPointByIndex(int index) const;
    std::shared_ptr<MavWayPointDataItem> getWayPointByNum(int number) const;
    std::list<std::shared_ptr<MavWayPointDataItem>> wayPointList() const;

    // 0 started; 1 no valid active vehicle; 2 no active route; 3 route being edited; 4 an upload
    // runs; 5 (download only) a download runs.
    int upload();
    int download();
    bool generateAreaRouteWayPoints(const MavAreaRouteConfig* config);

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
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleDownloadFlightRouteBasicParamsAck(const _MavPFrame_t& frame);
    void handleDownloadFlightRouteWayPointsDataAck(const _MavPFrame_t& frame);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle);

private:
    void setIsUploading(bool uploading);
    void setIsDownloading(bool downloading);
    void updateTransferHolds();
    bool checkDownloadPreconditions(const char* handler) const;
    void requestDownloadWayPoint(uint8_t number);
    std::shared_ptr<MavCmdRequestMessage> missionRequest(const MavPFramePtr& frame) const;
    void finishUpload(int ret);
    void markDownloadFlightRouteFailed(int ret);

    MultiVehicleManager* m_multiVehicleMgr = nullptr;
    std::weak_ptr<VehicleController> m_vehicle;
    std::shared_ptr<MavFlightRouteDataItem> m_activeRoute;
    std::shared_ptr<MavFlightRouteManager> m_routeMgr;
    bool m_isUploading = false;
    bool m_isDownloading = false;
    std::shared_ptr<MavFlightRouteDataItem> m_downloadRoute;
    MavProtoDownWayPointBasicParam_t m_downloadBasic;
    uint8_t m_downloadWpNumber = 0;
    // The vehicle whose polling this controller paused, and whether the active role is held.
    std::weak_ptr<VehicleController> m_heldVehicle;
    bool m_holdingActive = false;
};
