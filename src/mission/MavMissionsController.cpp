#include "MavMissionsController.h"

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavWayPointDataItem.h"
#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoHelper.h"
#include "MavProtoMissionProcesser.h"

#include <spdlog/spdlog.h>

namespace {
bool isUploadCmd(uint8_t cmd)
{
    return cmd == MavCmd::RouteUploadBasic || cmd == MavCmd::RouteUploadWaypoints;
}
bool isDownloadCmd(uint8_t cmd)
{
    return cmd == MavCmd::RouteDownloadBasic || cmd == MavCmd::RouteDownloadWaypoints;
}
}  // namespace

MavMissionsController::MavMissionsController(MultiVehicleManager* multiVehicleMgr,
                                             std::shared_ptr<MavFlightRouteManager> routeMgr, QObject* parent)
    : QObject(parent), m_multiVehicleMgr(multiVehicleMgr), m_routeMgr(std::move(routeMgr))
{
    if (m_routeMgr) {
        connect(m_routeMgr.get(), &MavFlightRouteManager::flightRouteAdded, this,
                &MavMissionsController::handleFlightRouteAdded);
        connect(m_routeMgr.get(), &MavFlightRouteManager::flightRouteWillRemoved, this,
                &MavMissionsController::handleFlightRouteWillRemoved);
    }
    if (m_multiVehicleMgr) {
        connect(m_multiVehicleMgr, &MultiVehicleManager::activeVehicleChanged, this,
                &MavMissionsController::handleActiveVehicleChanged);
        setActiveVehicleCtrler(m_multiVehicleMgr->activeVehicle());
    }
}

MavMissionsController::~MavMissionsController()
{
    if (auto held = m_heldVehicle.lock())
        held->setTeleReqHold(VehicleController::MissionTransferHold, false);
}

bool MavMissionsController::isEditing() const
{
    return m_activeRoute && m_activeRoute->isEditing();
}

SetMissionsActRouteResult MavMissionsController::setActiveFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (isEditing())
        return SetActRouteRefusedEditing;
    if (m_isUploading)
        return SetActRouteRefusedUploading;
    if (route == m_activeRoute)
        return SetActRouteDone;
    if (m_activeRoute)
        disconnect(m_activeRoute.get(), nullptr, this, nullptr);
    m_activeRoute = route;
    emit activeFlightRouteChanged();
    if (!route)
        return SetActRouteDone;
    auto* r = route.get();
    connect(r, &MavFlightRouteDataItem::wayPointAdded, this, &MavMissionsController::wayPointAdded);
    connect(r, &MavFlightRouteDataItem::wayPointWillRemoved, this, &MavMissionsController::wayPointWillRemoved);
    connect(r, &MavFlightRouteDataItem::wayPointRemoved, this, &MavMissionsController::wayPointRemoved);
    connect(r, &MavFlightRouteDataItem::isEditingChanged, this, &MavMissionsController::isEditingChanged);
    connect(r, &MavFlightRouteDataItem::wayPointPosChanged, this, &MavMissionsController::wayPointPosChanged);
    connect(r, &MavFlightRouteDataItem::wayPointsWillBeReset, this, &MavMissionsController::wayPointsWillBeReset);
    connect(r, &MavFlightRouteDataItem::wayPointsReset, this, &MavMissionsController::wayPointsReset);
    return SetActRouteDone;
}

void MavMissionsController::setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle)
{
    auto current = m_vehicle.lock();
    if (vehicle == current)
        return;
    if (current)
        disconnect(current.get(), nullptr, this, nullptr);
    // The transfer's frames would now go to another vehicle: end it, once.
    if (m_isUploading) {
        spdlog::warn("<MavMissionsController> active vehicle changed during a route upload, upload ended");
        finishUpload(kResultTimeout);
    }
    if (m_isDownloading) {
        spdlog::warn("<MavMissionsController> active vehicle changed during a route download, download ended");
        markDownloadFlightRouteFailed(kResultTimeout);
    }
    m_vehicle = vehicle;
    if (!vehicle)
        return;
    connect(vehicle.get(), &VehicleController::mavPFrameReceived, this, &MavMissionsController::handleMavPFrameReceived);
    connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &MavMissionsController::handleMavAckTimeout);
}

void MavMissionsController::handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle)
{
    setActiveVehicleCtrler(vehicle);
}

void MavMissionsController::startEditing()
{
    setIsEditing(true);
}

void MavMissionsController::stopEditing()
{
    setIsEditing(false);
    if (m_activeRoute && m_routeMgr)
        m_routeMgr->updateFlightRoute(m_activeRoute);
}

void MavMissionsController::setIsEditing(bool editing)
{
    if (m_activeRoute)
        m_activeRoute->setIsEditing(editing);
}

std::shared_ptr<MavWayPointDataItem> MavMissionsController::addWayPoint(
    MavProtoWayPointType type, double lon, double lat, double alt, float vel, float radius,
    MavProtoHeadingDirection headingDirection, MavProtoTraceMode traceMode, MavProtoWayPointHeightType heightType,
    uint16_t hoverTime, int16_t nextWp, float heading)
{
    if (!m_activeRoute)
        return nullptr;
    return m_activeRoute->addWayPoint(type, lon, lat, alt, vel, radius, headingDirection, traceMode, heightType,
                                      hoverTime, nextWp, heading);
}

void MavMissionsController::removeWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp)
{
    if (m_activeRoute)
        m_activeRoute->removeWayPoint(wp);
}

std::shared_ptr<MavWayPointDataItem> MavMissionsController::getWayPointByIndex(int index) const
{
    return m_activeRoute ? m_activeRoute->getWayPointByIndex(index) : nullptr;
}

std::shared_ptr<MavWayPointDataItem> MavMissionsController::getWayPointByNum(int number) const
{
    return m_activeRoute ? m_activeRoute->getWayPointByNum(number) : nullptr;
}

std::list<std::shared_ptr<MavWayPointDataItem>> MavMissionsController::wayPointList() const
{
    return m_activeRoute ? m_activeRoute->wayPointList() : std::list<std::shared_ptr<MavWayPointDataItem>>{};
}

void MavMissionsController::handleFlightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> flightRoute)
{
    // Routes loaded from disk do not take the active role; a route the user creates does.
    if (m_routeMgr && m_routeMgr->isRefreshing())
        return;
    const int ret = setActiveFlightRoute(flightRoute);
    if (ret != SetActRouteDone)
        spdlog::warn("set active flight route failed when routeMgr add route, ret = {}", ret);
    if (flightRoute)
        flightRoute->setIsEditing(true);
}

void MavMissionsController::handleFlightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> flightRoute)
{
    if (!flightRoute || flightRoute != m_activeRoute)
        return;
    if (m_activeRoute->isEditing()) {
        spdlog::warn("flight route will removed when editing, this may cause unknow error");
    } else if (m_isUploading) {
        spdlog::warn("flight route will removed when uploading, this may cause unkonw error");
    } else {
        setActiveFlightRoute(nullptr);
    }
}

std::shared_ptr<MavCmdRequestMessage> MavMissionsController::missionRequest(const MavPFramePtr& frame) const
{
    return MavCmdRequestMessage::create(frame, CheckResult, 0, 0, kRequestTimeoutMs, kRequestResends);
}

int MavMissionsController::upload()
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicle is null");
        return 1;
    }
    if (!m_activeRoute) {
        spdlog::warn("active flight route is nullptr when upload");
        return 2;
    }
    if (m_activeRoute->isEditing()) {
        spdlog::info("can not upload, because flight route is Editing");
        return 3;
    }
    if (m_isUploading) {
        spdlog::info("can not upload, because one uploading now");
        return 4;
    }
    setIsUploading(true);
    emit flightRouteUploadingStarted(m_activeRoute);

    MavProtoUpWayPointBasicParam_t basic;
    basic.repeatTimes = m_activeRoute->repeatTimes();
    basic.wayPointCount = uint8_t(m_activeRoute->wayPointCount());
    basic.routeNumber = m_activeRoute->number();
    auto packBasic = [&] {
        auto frame = std::make_shared<_MavPFrame_t>();
        MavProtoMissionProcesser::packWayPointBasicParamsFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), basic);
        return frame;
    };
    // The queue sends the children in turn and never the parent's own frame.
    auto parent = missionRequest(packBasic());
    parent->appendChildReq(missionRequest(packBasic()));
    for (const auto& wp : m_activeRoute->wayPointList()) {
        auto frame = std::make_shared<_MavPFrame_t>();
        MavProtoMissionProcesser::packWayPointDataFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                        wp->protoData());
        parent->appendChildReq(missionRequest(frame));
    }
    if (!vehicle->sendMavPFrameReq(parent)) {
        spdlog::warn("upload flight route failed, the request was not queued");
        finishUpload(kResultTimeout);
    }
    return 0;
}

int MavMissionsController::download()
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("vehicle is null");
        return 1;
    }
    if (!m_activeRoute) {
        spdlog::warn("active flight route is nullptr when download");
        return 2;
    }
    if (m_activeRoute->isEditing()) {
        spdlog::info("can not download, because flight route is Editing");
        return 3;
    }
    if (m_isUploading) {
        spdlog::info("can not download, because one uploading now");
        return 4;
    }
    if (m_isDownloading) {
        spdlog::info("can not download, because one downloading now");
        return 5;
    }
    setIsDownloading(true);
    m_downloadRoute = std::make_shared<MavFlightRouteDataItem>(m_activeRoute->config());
    m_downloadBasic = {};
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoMissionProcesser::packDownWayPointBasicParamsFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                               m_activeRoute->number());
    if (!vehicle->sendMavPFrameReq(missionRequest(frame))) {
        spdlog::warn("download flight route failed, the request was not queued");
        markDownloadFlightRouteFailed(kResultTimeout);
    }
    return 0;
}

void MavMissionsController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                    std::shared_ptr<MavCmdRequestMessage>)
{
    if (!pframe)
        return;
    const uint8_t cmd = pframe->cmd;
    if (isUploadCmd(cmd)) {
        if (m_isUploading)
            finishUpload(MavProtoHelper::parseMavProtoFrameResult(*pframe));
        else
            spdlog::warn("<MavMissionsController> route upload ack outside an upload ignored");
    } else if (cmd == MavCmd::RouteDownloadBasic) {
        handleDownloadFlightRouteBasicParamsAck(*pframe);
    } else if (cmd == MavCmd::RouteDownloadWaypoints) {
        handleDownloadFlightRouteWayPointsDataAck(*pframe);
    }
}

bool MavMissionsController::checkDownloadPreconditions(const char* handler) const
{
    if (!m_vehicle.lock()) {
        spdlog::warn("{} failed, vehicle is null", handler);
        return false;
    }
    if (!m_isDownloading) {
        spdlog::warn("{} failed, because not downloading", handler);
        return false;
    }
    if (!m_activeRoute || !m_downloadRoute) {
        spdlog::warn("{} failed, because flight route item data is null", handler);
        return false;
    }
    return true;
}

void MavMissionsController::handleDownloadFlightRouteBasicParamsAck(const _MavPFrame_t& frame)
{
    if (!checkDownloadPreconditions("handleDownloadFlightRouteBasicParamsAck"))
        return;
    MavProtoDownWayPointBasicParam_t basic;
    const int ret = MavProtoMissionProcesser::parseDownWayPointBasicParamsAck(frame, basic);
    if (ret != 0) {
        spdlog::warn("download flight route basic params failed: {}", ret);
        // The flag clears without its change signal; the polling hold still ends.
        m_isDownloading = false;
        m_downloadRoute.reset();
        updateTransferHolds();
        emit flightRouteDownloadingFinished(m_activeRoute, ret);
        return;
    }
    m_downloadBasic = basic;
    if (basic.wayPointCount == 0) {
        spdlog::info("<DownloadFlightRoute> no waypoint data, stop download");
        m_downloadRoute.reset();
        setIsDownloading(false);
        emit flightRouteDownloadingFinished(m_activeRoute, 0);
        return;
    }
    requestDownloadWayPoint(1);
}

void MavMissionsController::requestDownloadWayPoint(uint8_t number)
{
    auto vehicle = m_vehicle.lock();
    m_downloadWpNumber = number;
    MavProtoDownWayPointDataReq_t req;
    req.number = number;
    req.routeNumber = m_downloadRoute->number();
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoMissionProcesser::packDownWayPointDataReqFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), req);
    if (!vehicle->sendMavPFrameReq(missionRequest(frame))) {
        spdlog::warn("<DownloadFlightRoute> waypoint {} request was not queued", number);
        markDownloadFlightRouteFailed(kResultTimeout);
    }
}

void MavMissionsController::handleDownloadFlightRouteWayPointsDataAck(const _MavPFrame_t& frame)
{
    if (!checkDownloadPreconditions("handleDownloadFlightRouteWayPointsDataAck"))
        return;
    MavProtoWayPointData_t record;  // number 1, type 34, all else 0
    const int ret = MavProtoMissionProcesser::parseDownWayPointDataAck(frame, record);
    if (ret != 0) {
        spdlog::warn("<DownloadFlightRoute> download flight route waypoint failed, ret:{}, wpNo:{}", ret, m_downloadWpNumber);
        markDownloadFlightRouteFailed(ret);
        return;
    }
    if (record.routeNumber != m_downloadRoute->number()) {
        spdlog::warn(
            "<DownloadFlightRoute> downloading routeid not equal ack routeid, stop download, downloading routeid:{}, ack "
            "routeid:{}",
            m_downloadRoute->number(), record.routeNumber);
        markDownloadFlightRouteFailed(kResultWrongRoute);
        return;
    }
    if (record.number != m_downloadWpNumber) {
        spdlog::warn(
            "<DownloadFlightRoute> downloading wp no not equal ack no, stop download, downloading wp no:{}, ack wp no:{}",
            m_downloadWpNumber, record.number);
        markDownloadFlightRouteFailed(kResultWrongNumber);
        return;
    }
    m_downloadRoute->addWayPoint(MavWayPointDataItem::fromProtoData(m_downloadRoute, record));
    if (record.number < m_downloadBasic.wayPointCount) {
        requestDownloadWayPoint(uint8_t(record.number + 1));
        return;
    }
    spdlog::info("<DownloadFlightRoute> download complete, stop download, routeId:{}", m_activeRoute->id().toStdString());
    auto wayPoints = m_downloadRoute->wayPointList();
    m_downloadRoute.reset();
    m_downloadWpNumber = 0;
    setIsDownloading(false);
    m_activeRoute->setRepeatTimes(m_downloadBasic.repeatTimes);
    m_activeRoute->resetWayPoints(std::move(wayPoints));
    if (m_routeMgr)
        m_routeMgr->updateFlightRoute(m_activeRoute);
    emit flightRouteDownloadingFinished(m_activeRoute, 0);
}

void MavMissionsController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req)
        return;
    if (isUploadCmd(req->cmd) && m_isUploading) {
        spdlog::warn("upload flight route failed, because timeout");
        finishUpload(kResultTimeout);
    } else if (isDownloadCmd(req->cmd) && m_isDownloading) {
        spdlog::warn("download flight route failed, because timeout");
        markDownloadFlightRouteFailed(kResultTimeout);
    }
}

void MavMissionsController::finishUpload(int ret)
{
    setIsUploading(false);
    emit flightRouteUploadingFinished(m_activeRoute, ret);
}

void MavMissionsController::markDownloadFlightRouteFailed(int ret)
{
    m_downloadRoute.reset();
    m_downloadWpNumber = 0;
    setIsDownloading(false);
    emit flightRouteDownloadingFinished(m_activeRoute, ret);
}

void MavMissionsController::setIsUploading(bool uploading)
{
    if (m_isUploading == uploading)
        return;
    m_isUploading = uploading;
    updateTransferHolds();
    emit isUploadingChanged();
}

void MavMissionsController::setIsDownloading(bool downloading)
{
    if (m_isDownloading == downloading)
        return;
    m_isDownloading = downloading;
    updateTransferHolds();
    emit isDownloadingChanged();
}

void MavMissionsController::updateTransferHolds()
{
    const bool transferring = isTransferring();
    if (transferring && !m_heldVehicle.lock()) {
        if (auto vehicle = m_vehicle.lock()) {
            vehicle->setTeleReqHold(VehicleController::MissionTransferHold, true);
            m_heldVehicle = vehicle;
        }
    } else if (!transferring) {
        if (auto held = m_heldVehicle.lock())
            held->setTeleReqHold(VehicleController::MissionTransferHold, false);
        m_heldVehicle.reset();
    }
    if (m_multiVehicleMgr && transferring != m_holdingActive) {
        m_holdingActive = transferring;
        m_multiVehicleMgr->setActiveVehicleHold(MultiVehicleManager::MissionTransferActiveHold, transferring);
    }
}

bool MavMissionsController::generateAreaRouteWayPoints(const MavAreaRouteConfig* config)
{
    if (!m_activeRoute) {
        spdlog::warn("<MavMissionsController> generateAreaRouteWayPoints: no active flight route");
        return false;
    }
    if (!config) {
        spdlog::warn("<MavMissionsController> generateAreaRouteWayPoints: config is null");
        return false;
    }
    const auto positions = MavAreaRouteGenerator::generate(config);
    if (positions.isEmpty()) {
        spdlog::warn("<MavMissionsController> generateAreaRouteWayPoints: generator returned empty list");
        return false;
    }
    m_activeRoute->resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});

    MavProtoWayPointData_t t;
    t.alt = 20.0;
    t.vel = 8.0f;
    t.radius = 0.5f;
    t.setHeadingDirection(MAVPROTO_HEADING_TO_NEXT_WP);
    if (auto defaultWp = m_routeMgr ? m_routeMgr->defaultWayPointData() : nullptr)
        t = defaultWp->protoData();
    for (const auto& [lat, lon] : positions)
        m_activeRoute->addWayPoint(MAVPROTO_WP_PASS, lon, lat, t.alt, t.vel, t.radius, t.headingDirection(),
                                   t.traceMode(), t.heightType(), t.hoverTime, -1, t.heading);
    spdlog::info("<MavMissionsController> area route waypoints generated: {} points", positions.size());
    return true;
}
