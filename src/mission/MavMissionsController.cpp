#include "MavMissionsController.h"

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "mission/MavWayPointDataItem.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "protocol/MavCmdRequestMessage.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoHelper.h"
#include "MavProtoMissionProcesser.h"
#include "NfzZoneManager.h"

#include <spdlog/spdlog.h>

#include <cstring>

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
    : QObject(parent)
    , m_multiVehicleMgr(multiVehicleMgr)
    , m_routeMgr(std::move(routeMgr))
{
    if (m_routeMgr) {
        connect(m_routeMgr.get(), &MavFlightRouteManager::flightRouteAdded, this,
                &MavMissionsController::handleFlightRouteAdded);
        connect(m_routeMgr.get(), &MavFlightRouteManager::flightRouteWillRemoved, this,
                &MavMissionsController::handleFlightRouteWillRemoved);
        connect(m_routeMgr.get(), &MavFlightRouteManager::flightRoutesReset, this,
                &MavMissionsController::handleFlightRoutesReset);
    }
    if (m_multiVehicleMgr) {
        connect(m_multiVehicleMgr, &MultiVehicleManager::activeVehicleChanged, this,
                &MavMissionsController::handleActiveVehicleChanged);
        // Queued: the manager retires a vehicle after announcing it left, and a retired one
        // means its link closed (-2102).
        connect(m_multiVehicleMgr, &MultiVehicleManager::vehicleLeft, this,
                &MavMissionsController::handleVehicleLeft, Qt::QueuedConnection);
        setActiveVehicleCtrler(m_multiVehicleMgr->activeVehicle());
    }
}

MavMissionsController::~MavMissionsController()
{
    if (auto held = m_heldVehicle.lock())
        held->setTeleReqHold(VehicleController::MissionTransferHold, false);
    if (auto vehicle = m_transferVehicle.lock(); vehicle && m_transferReq)
        vehicle->cancelMavPFrameReq(m_transferReq);
    unlockTarget();
}

bool MavMissionsController::isEditing() const
{
    return m_activeRoute && m_activeRoute->isEditing();
}

SetMissionsActRouteResult
MavMissionsController::setActiveFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (isEditing())
        return SetActRouteRefusedEditing;
    if (route == m_activeRoute)
        return SetActRouteDone;
    if (isTransferring())
        return SetActRouteRefusedUploading;
    attachActiveRoute(route);
    return SetActRouteDone;
}

void MavMissionsController::attachActiveRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (m_activeRoute)
        disconnect(m_activeRoute.get(), nullptr, this, nullptr);
    m_activeRoute = route;
    emit activeFlightRouteChanged();
    if (!route)
        return;
    auto* r = route.get();
    connect(r, &MavFlightRouteDataItem::wayPointAdded, this, &MavMissionsController::wayPointAdded);
    connect(r, &MavFlightRouteDataItem::wayPointWillRemoved, this, &MavMissionsController::wayPointWillRemoved);
    connect(r, &MavFlightRouteDataItem::wayPointRemoved, this, &MavMissionsController::wayPointRemoved);
    connect(r, &MavFlightRouteDataItem::isEditingChanged, this, &MavMissionsController::isEditingChanged);
    connect(r, &MavFlightRouteDataItem::wayPointPosChanged, this, &MavMissionsController::wayPointPosChanged);
    connect(r, &MavFlightRouteDataItem::wayPointsWillBeReset, this, &MavMissionsController::wayPointsWillBeReset);
    connect(r, &MavFlightRouteDataItem::wayPointsReset, this, &MavMissionsController::wayPointsReset);
}

void MavMissionsController::setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle)
{
    // The active vehicle is the operator's default target only: a transfer keeps to its own
    // vehicle whatever the operator selects meanwhile.
    m_vehicle = vehicle;
}

// A transfer's frames reach this controller only from its own vehicle, only while it runs.
void MavMissionsController::bindTransferVehicle(const std::shared_ptr<VehicleController>& vehicle)
{
    if (auto previous = m_transferVehicle.lock(); previous && previous != vehicle)
        disconnect(previous.get(), nullptr, this, nullptr);
    m_transferVehicle = vehicle;
    if (!vehicle)
        return;
    connect(vehicle.get(), &VehicleController::mavPFrameReceived, this,
            &MavMissionsController::handleMavPFrameReceived, Qt::UniqueConnection);
    connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &MavMissionsController::handleMavAckTimeout,
            Qt::UniqueConnection);
}

void MavMissionsController::releaseTransferVehicle()
{
    if (auto vehicle = m_transferVehicle.lock())
        disconnect(vehicle.get(), nullptr, this, nullptr);
}

void MavMissionsController::handleVehicleLeft(std::shared_ptr<VehicleController> vehicle)
{
    if (!isTransferring() || !vehicle || vehicle != m_transferVehicle.lock())
        return;
    if (vehicle->retired())
        abortTransfer(kResultLinkLost, "its vehicle left (link closed)");
    else
        abortTransfer(kResultTimeout, "its vehicle left");
}

void MavMissionsController::handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle)
{
    setActiveVehicleCtrler(vehicle);
}

void MavMissionsController::startEditing()
{
    setIsEditing(true);
}

bool MavMissionsController::stopEditing()
{
    setIsEditing(false);
    if (!m_activeRoute || !m_routeMgr)
        return false;
    if (!m_routeMgr->updateFlightRoute(m_activeRoute)) {
        spdlog::warn("<MavMissionsController> route {} left editing but was not saved",
                     m_activeRoute->id().toStdString());
        return false;
    }
    return true;
}

void MavMissionsController::setIsEditing(bool editing)
{
    if (!m_activeRoute)
        return;
    if (editing && m_isDownloading && m_target == m_activeRoute) {
        spdlog::warn("<MavMissionsController> route {} is being downloaded into, not opened for editing",
                     m_activeRoute->id().toStdString());
        return;
    }
    m_activeRoute->setIsEditing(editing);
}

std::shared_ptr<MavWayPointDataItem>
MavMissionsController::addWayPoint(MavProtoWayPointType type, double lon, double lat, double alt, float vel,
                                   float radius, MavProtoHeadingDirection headingDirection, MavProtoTraceMode traceMode,
                                   MavProtoWayPointHeightType heightType, uint16_t hoverTime, int16_t nextWp,
                                   float heading)
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

std::vector<MavRouteFinding>
MavMissionsController::checkRoute(const std::shared_ptr<MavFlightRouteDataItem>& route) const
{
    return checkRouteReport(route).violations();
}

std::vector<MavRouteFinding> MavMissionsController::checkRoute(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                               const std::shared_ptr<VehicleController>& vehicle) const
{
    if (!route)
        return {{0, QStringLiteral("route"), QStringLiteral("no route to check"), 0}};
    return checkRouteForVehicle(*route, vehicle).violations();
}

MavRouteCheckReport MavMissionsController::checkRouteReport(const std::shared_ptr<MavFlightRouteDataItem>& route) const
{
    if (!route) {
        MavRouteCheckReport report;
        report.findings = {{0, QStringLiteral("route"), QStringLiteral("no route to check"), 0}};
        return report;
    }
    return checkRouteForVehicle(*route, m_vehicle.lock());
}

MavRouteCheckReport MavMissionsController::checkRouteForVehicle(const MavFlightRouteDataItem& route,
                                                                const std::shared_ptr<VehicleController>& vehicle) const
{
    MavRouteCheckReport report;
    const auto params = vehicle ? vehicle->paramsCtrler() : nullptr;
    if (params && params->basicParamsKnown()) {
        report.limitsRead = true;
        const auto basic = params->basicParamsDataItem();
        if (basic->maxFlyAlt() > 0)
            report.limits.maxAltM = basic->maxFlyAlt();
        if (basic->maxHorSpeed() > 0)
            report.limits.maxHorSpeedMps = basic->maxHorSpeed();
    }
    MavRoutePlaces places;
    places.given = true;
    const auto tele = vehicle ? vehicle->teleCtrler() : nullptr;
    if (const auto pos = tele ? tele->posDataItem() : nullptr) {
        // 0/0 is what a vehicle without a fix reports, not a place.
        if (pos->homeLat() != 0 || pos->homeLon() != 0)
            places.home = NfzRecord::Point{pos->homeLat(), pos->homeLon()};
        if (vehicle->alive() && (pos->lat() != 0 || pos->lon() != 0)) {
            places.start = NfzRecord::Point{pos->lat(), pos->lon()};
            report.start = QStringLiteral("vehicle");
        } else if (places.home) {
            places.start = places.home;
            places.startIsHome = true;
            report.start = QStringLiteral("home");
        }
    }
    static const std::vector<NfzRecord> kNoZones;
    const auto zones = m_zones.lock();
    if (zones) {
        const auto& origin = zones->origin();
        report.zonesLoaded = origin.source != NfzZoneManager::Source::None;
        report.zoneCount = zones->zoneCount();
        report.zoneSource = QString::fromLatin1(NfzZoneManager::sourceName(origin.source));
        report.zoneTime = origin.fileTime;
    } else {
        report.zoneSource = QStringLiteral("none");
    }
    report.findings = MavRouteChecker::check(route, report.limits, zones ? zones->zones() : kNoZones, places);
    const auto unchecked = [&](const char* rule, const QString& text) {
        spdlog::warn("<RouteCheck> route \"{}\": {}", route.name().toStdString(), text.toStdString());
        report.findings.push_back({0, QString::fromLatin1(rule), text, 0, MavRouteFinding::Kind::Unchecked});
    };
    if (!report.zonesLoaded || report.zoneCount == 0)
        unchecked("zone", report.zonesLoaded ? QStringLiteral("The zone set holds no zone: no leg was checked "
                                                              "against no-fly zones.")
                                             : QStringLiteral("No zone set is loaded: no leg was checked "
                                                              "against no-fly zones."));
    if (!report.limitsRead)
        unchecked("limits", vehicle ? QStringLiteral("Vehicle %1's limits were not read: altitudes and speeds "
                                                     "were not checked against them.")
                                          .arg(vehicle->vehicleId())
                                    : QStringLiteral("No vehicle: altitudes and speeds were not checked "
                                                     "against its limits."));
    return report;
}

std::shared_ptr<MavFlightRouteDataItem> MavMissionsController::storedRoute(const QString& id) const
{
    if (!m_routeMgr)
        return nullptr;
    for (const auto& r : m_routeMgr->flightRoutes())
        if (r && r->id() == id)
            return r;
    return nullptr;
}

void MavMissionsController::handleFlightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> flightRoute)
{
    // Routes loaded from disk, and a route a download created, do not take the active role; a
    // route the user creates does.
    if ((m_routeMgr && m_routeMgr->isRefreshing()) || m_addingOwnRoute)
        return;
    const int ret = setActiveFlightRoute(flightRoute);
    if (ret != SetActRouteDone)
        spdlog::warn("set active flight route failed when routeMgr add route, ret = {}", ret);
    if (flightRoute)
        flightRoute->setIsEditing(true);
}

void MavMissionsController::handleFlightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> flightRoute)
{
    if (!flightRoute)
        return;
    if (isTransferring() && flightRoute == m_target) {
        abortTransfer(kResultTimeout, "its route was removed");
        return;
    }
    if (flightRoute != m_activeRoute)
        return;
    if (m_activeRoute->isEditing()) {
        spdlog::warn("flight route will removed when editing, this may cause unknow error");
    } else if (m_isUploading) {
        spdlog::warn("flight route will removed when uploading, this may cause unkonw error");
    } else {
        setActiveFlightRoute(nullptr);
    }
}

// A reload built every route anew: the objects held here are no longer the store's.
void MavMissionsController::handleFlightRoutesReset()
{
    if (isTransferring() && m_target) {
        if (auto fresh = storedRoute(m_target->id())) {
            m_target = fresh;
        } else {
            abortTransfer(kResultTimeout, "its route is gone after the route store reloaded");
        }
    }
    if (!m_activeRoute)
        return;
    const QString id = m_activeRoute->id();
    auto fresh = storedRoute(id);
    if (fresh == m_activeRoute)
        return;
    if (!fresh)
        spdlog::warn("<MavMissionsController> active route {} is gone after the route store reloaded, no active route",
                     id.toStdString());
    else if (m_activeRoute->isEditing())
        spdlog::warn("<MavMissionsController> route {} was reloaded while being edited; unsaved edits are dropped",
                     id.toStdString());
    attachActiveRoute(fresh);
}

std::shared_ptr<MavCmdRequestMessage> MavMissionsController::missionRequest(const MavPFramePtr& frame) const
{
    return MavCmdRequestMessage::create(frame, CheckResult, 0, 0, kRequestTimeoutMs, kRequestResends);
}

bool MavMissionsController::sendTransferRequest(const std::shared_ptr<MavCmdRequestMessage>& req)
{
    auto vehicle = m_transferVehicle.lock();
    m_transferReq = req;
    if (vehicle && vehicle->sendMavPFrameReq(req))
        return true;
    m_transferReq.reset();
    return false;
}

void MavMissionsController::lockTarget(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    m_target = route;
    if (route && m_routeMgr)
        m_routeMgr->lockRoute(route->id(), QStringLiteral("A mission transfer is in progress"));
}

void MavMissionsController::unlockTarget()
{
    if (m_target && m_routeMgr)
        m_routeMgr->unlockRoute(m_target->id());
}

int MavMissionsController::upload(bool verify)
{
    return uploadTo(m_vehicle.lock(), m_activeRoute, verify);
}

int MavMissionsController::uploadTo(const std::shared_ptr<VehicleController>& vehicle,
                                    const std::shared_ptr<MavFlightRouteDataItem>& route, bool verify)
{
    if (!vehicle) {
        spdlog::warn("vehicle is null");
        return 1;
    }
    if (!route) {
        spdlog::warn("active flight route is nullptr when upload");
        return 2;
    }
    if (route->isEditing()) {
        spdlog::info("can not upload, because flight route is Editing");
        return 3;
    }
    if (m_isUploading) {
        spdlog::info("can not upload, because one uploading now");
        return 4;
    }
    if (vehicle->firmwareUpdating()) {
        spdlog::warn("<MavMissionsController> can not upload, vehicle {} is updating its firmware",
                     vehicle->vehicleId());
        return 6;
    }
    if (m_isDownloading) {
        spdlog::info("can not upload, because one downloading now");
        return 5;
    }
    lockTarget(route);
    bindTransferVehicle(vehicle);
    m_verify = {verify ? VerifyOutcome::Pending : VerifyOutcome::None, 0, 0, {}};
    setIsUploading(true);
    emit flightRouteUploadingStarted(route);

    MavProtoUpWayPointBasicParam_t basic;
    basic.repeatTimes = route->repeatTimes();
    basic.wayPointCount = uint8_t(route->wayPointCount());
    basic.routeNumber = route->number();
    m_sentBasic = basic;
    auto packBasic = [&] {
        auto frame = std::make_shared<_MavPFrame_t>();
        MavProtoMissionProcesser::packWayPointBasicParamsFrame(*frame, uint8_t(vehicle->vehicleId()),
                                                               vehicle->genSeqId(), basic);
        return frame;
    };
    // The queue sends the children in turn and never the parent's own frame.
    auto parent = missionRequest(packBasic());
    parent->appendChildReq(missionRequest(packBasic()));
    m_sentRecords.clear();
    for (const auto& wp : route->wayPointList()) {
        // The vehicle files each waypoint under the route number it carries: always this route's.
        MavProtoWayPointData_t record = wp->protoData();
        record.routeNumber = basic.routeNumber;
        m_sentRecords.push_back(record);
        auto frame = std::make_shared<_MavPFrame_t>();
        MavProtoMissionProcesser::packWayPointDataFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                        record);
        parent->appendChildReq(missionRequest(frame));
    }
    if (!sendTransferRequest(parent)) {
        spdlog::warn("upload flight route failed, the request was not queued");
        finishUpload(kResultTimeout);
    }
    return 0;
}

int MavMissionsController::download(bool intoNewRoute)
{
    return intoNewRoute ? startDownload(m_vehicle.lock(), ReadBack::IntoNewRoute, nullptr)
                        : startDownload(m_vehicle.lock(), ReadBack::IntoRoute, m_activeRoute);
}

int MavMissionsController::downloadToScratch()
{
    return startDownload(m_vehicle.lock(), ReadBack::Scratch, nullptr);
}

int MavMissionsController::downloadFrom(const std::shared_ptr<VehicleController>& vehicle, DownloadInto into,
                                        const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    switch (into) {
    case DownloadInto::Route: return startDownload(vehicle, ReadBack::IntoRoute, route);
    case DownloadInto::NewRoute: return startDownload(vehicle, ReadBack::IntoNewRoute, nullptr);
    case DownloadInto::Scratch: break;
    }
    return startDownload(vehicle, ReadBack::Scratch, nullptr);
}

int MavMissionsController::startDownload(const std::shared_ptr<VehicleController>& vehicle, ReadBack mode,
                                         const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    const bool intoNewRoute = mode != ReadBack::IntoRoute;
    if (!vehicle) {
        spdlog::warn("vehicle is null");
        return 1;
    }
    if (!intoNewRoute && !route) {
        spdlog::warn("active flight route is nullptr when download");
        return 2;
    }
    if (!intoNewRoute && route->isEditing()) {
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
    if (vehicle->firmwareUpdating()) {
        spdlog::warn("<MavMissionsController> can not download, vehicle {} is updating its firmware",
                     vehicle->vehicleId());
        return 6;
    }
    lockTarget(intoNewRoute ? nullptr : route);
    bindTransferVehicle(vehicle);
    m_lastNewRoute.reset();
    if (mode == ReadBack::Scratch)
        m_lastScratchRoute.reset();
    setIsDownloading(true);
    startReadBack(mode, route ? route->number() : (m_activeRoute ? m_activeRoute->number() : 0));
    return 0;
}

void MavMissionsController::startReadBack(ReadBack mode, uint8_t routeNumber)
{
    auto vehicle = m_transferVehicle.lock();
    m_readBack = mode;
    // A new route takes whatever number the vehicle's waypoints carry.
    m_adoptRouteNumber = mode == ReadBack::IntoNewRoute || mode == ReadBack::Scratch;
    auto config = std::make_shared<MavMultiPointRouteConfig>(m_target ? m_target->id() : QString());
    config->setNumber(routeNumber);
    m_downloadRoute = std::make_shared<MavFlightRouteDataItem>(config);
    m_downloadBasic = {};
    m_downloadWpNumber = 0;
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoMissionProcesser::packDownWayPointBasicParamsFrame(*frame, uint8_t(vehicle->vehicleId()),
                                                               vehicle->genSeqId(), routeNumber);
    if (!sendTransferRequest(missionRequest(frame))) {
        spdlog::warn("download flight route failed, the request was not queued");
        markDownloadFlightRouteFailed(kResultTimeout);
    }
}

void MavMissionsController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                    std::shared_ptr<MavCmdRequestMessage>)
{
    if (!pframe)
        return;
    const uint8_t cmd = pframe->cmd;
    if (isUploadCmd(cmd)) {
        if (!m_isUploading || m_readBack != ReadBack::None) {
            spdlog::warn("<MavMissionsController> route upload ack outside an upload ignored");
            return;
        }
        m_transferReq.reset();
        const int ret = MavProtoHelper::parseMavProtoFrameResult(*pframe);
        if (ret == 0 && m_verify.state == VerifyOutcome::Pending) {
            spdlog::info("<MavMissionsController> route {} uploaded, reading it back to verify",
                         m_target ? m_target->id().toStdString() : std::string());
            startReadBack(ReadBack::Verify, m_target ? m_target->number() : 0);
            return;
        }
        finishUpload(ret);
    } else if (cmd == MavCmd::RouteDownloadBasic) {
        handleDownloadFlightRouteBasicParamsAck(*pframe);
    } else if (cmd == MavCmd::RouteDownloadWaypoints) {
        handleDownloadFlightRouteWayPointsDataAck(*pframe);
    }
}

bool MavMissionsController::checkDownloadPreconditions(const char* handler) const
{
    if (!m_transferVehicle.lock()) {
        spdlog::warn("{} failed, vehicle is null", handler);
        return false;
    }
    if (m_readBack == ReadBack::None) {
        spdlog::warn("{} failed, because not downloading", handler);
        return false;
    }
    const bool needsTarget = m_readBack != ReadBack::IntoNewRoute && m_readBack != ReadBack::Scratch;
    if (!m_downloadRoute || (needsTarget && !m_target)) {
        spdlog::warn("{} failed, because flight route item data is null", handler);
        return false;
    }
    return true;
}

void MavMissionsController::handleDownloadFlightRouteBasicParamsAck(const _MavPFrame_t& frame)
{
    if (!checkDownloadPreconditions("handleDownloadFlightRouteBasicParamsAck"))
        return;
    m_transferReq.reset();
    MavProtoDownWayPointBasicParam_t basic;
    const int ret = MavProtoMissionProcesser::parseDownWayPointBasicParamsAck(frame, basic);
    if (ret != 0) {
        spdlog::warn("download flight route basic params failed: {}", ret);
        markDownloadFlightRouteFailed(ret);
        return;
    }
    m_downloadBasic = basic;
    m_lastDownloadCount = basic.wayPointCount;
    if (basic.wayPointCount == 0) {
        spdlog::info("<DownloadFlightRoute> no waypoint data, stop download");
        completeReadBack();
        return;
    }
    requestDownloadWayPoint(1);
}

void MavMissionsController::requestDownloadWayPoint(uint8_t number)
{
    auto vehicle = m_transferVehicle.lock();
    m_downloadWpNumber = number;
    MavProtoDownWayPointDataReq_t req;
    req.number = number;
    req.routeNumber = m_downloadRoute->number();
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoMissionProcesser::packDownWayPointDataReqFrame(*frame, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(),
                                                           req);
    if (!sendTransferRequest(missionRequest(frame))) {
        spdlog::warn("<DownloadFlightRoute> waypoint {} request was not queued", number);
        markDownloadFlightRouteFailed(kResultTimeout);
    }
}

void MavMissionsController::handleDownloadFlightRouteWayPointsDataAck(const _MavPFrame_t& frame)
{
    if (!checkDownloadPreconditions("handleDownloadFlightRouteWayPointsDataAck"))
        return;
    m_transferReq.reset();
    MavProtoWayPointData_t record;  // number 1, type 34, all else 0
    const int ret = MavProtoMissionProcesser::parseDownWayPointDataAck(frame, record);
    if (ret != 0) {
        spdlog::warn("<DownloadFlightRoute> download flight route waypoint failed, ret:{}, wpNo:{}", ret,
                     m_downloadWpNumber);
        markDownloadFlightRouteFailed(ret);
        return;
    }
    if (m_adoptRouteNumber) {
        m_downloadRoute->setNumber(record.routeNumber);
        m_adoptRouteNumber = false;
    }
    if (record.routeNumber != m_downloadRoute->number()) {
        spdlog::warn("<DownloadFlightRoute> downloading routeid not equal ack routeid, stop download, downloading "
                     "routeid:{}, ack "
                     "routeid:{}",
                     m_downloadRoute->number(), record.routeNumber);
        markDownloadFlightRouteFailed(kResultWrongRoute);
        return;
    }
    if (record.number != m_downloadWpNumber) {
        spdlog::warn("<DownloadFlightRoute> downloading wp no not equal ack no, stop download, downloading wp no:{}, "
                     "ack wp no:{}",
                     m_downloadWpNumber, record.number);
        markDownloadFlightRouteFailed(kResultWrongNumber);
        return;
    }
    m_downloadRoute->addWayPoint(MavWayPointDataItem::fromProtoData(m_downloadRoute, record));
    if (record.number < m_downloadBasic.wayPointCount) {
        requestDownloadWayPoint(uint8_t(record.number + 1));
        return;
    }
    spdlog::info("<DownloadFlightRoute> download complete, stop download, routeId:{}",
                 m_target ? m_target->id().toStdString() : std::string("(new route)"));
    completeReadBack();
}

void MavMissionsController::completeReadBack()
{
    std::vector<MavProtoWayPointData_t> records;
    for (const auto& wp : m_downloadRoute->wayPointList())
        records.push_back(wp->protoData());
    const uint8_t routeNumber = m_downloadRoute->number();
    const ReadBack mode = m_readBack;
    m_readBack = ReadBack::None;
    m_downloadRoute.reset();
    m_downloadWpNumber = 0;

    if (mode == ReadBack::Verify) {
        // The basic record first: a count, repeat count or route number of its own would make the
        // vehicle fly another route than the waypoints say, however equal they are.
        const struct {
            const char* name;
            int sent, read;
        } basics[] = {{"waypoint count", m_sentBasic.wayPointCount, m_downloadBasic.wayPointCount},
                      {"repeat count", m_sentBasic.repeatTimes, m_downloadBasic.repeatTimes},
                      {"route number", m_sentBasic.routeNumber, m_downloadBasic.reserved1}};
        QString difference;
        int wayPoint = 0;
        for (const auto& b : basics) {
            if (difference.isEmpty() && b.sent != b.read)
                difference =
                    QStringLiteral("the %1 is %2, %3 was sent").arg(QLatin1String(b.name)).arg(b.read).arg(b.sent);
        }
        if (difference.isEmpty()) {
            size_t i = 0;
            while (i < records.size() && i < m_sentRecords.size() &&
                   std::memcmp(&records[i], &m_sentRecords[i], sizeof(MavProtoWayPointData_t)) == 0)
                ++i;
            if (i != records.size() || i != m_sentRecords.size()) {
                wayPoint = int(i) + 1;
                difference = QStringLiteral("waypoint %1 differs (%2 sent, %3 read)")
                                 .arg(wayPoint)
                                 .arg(m_sentRecords.size())
                                 .arg(records.size());
            }
        }
        const bool same = difference.isEmpty();
        m_verify = {same ? VerifyOutcome::Verified : VerifyOutcome::Differs, wayPoint, 0, difference};
        if (same)
            spdlog::info("<MavMissionsController> upload verified: the vehicle holds the {} waypoints sent",
                         records.size());
        else
            spdlog::warn("<MavMissionsController> upload differs from the vehicle's copy: {}",
                         difference.toStdString());
        finishUpload(same ? 0 : kResultVerifyMismatch);
        return;
    }

    auto target = m_target;
    unlockTarget();
    m_target.reset();
    m_transferReq.reset();
    if (mode == ReadBack::Scratch) {
        auto config = std::make_shared<MavMultiPointRouteConfig>();
        config->setNumber(routeNumber);
        config->setRepeatTimes(m_downloadBasic.repeatTimes);
        auto scratch = std::make_shared<MavFlightRouteDataItem>(config);
        std::list<std::shared_ptr<MavWayPointDataItem>> wayPoints;
        for (const auto& record : records)
            wayPoints.push_back(MavWayPointDataItem::fromProtoData(scratch, record));
        scratch->resetWayPoints(std::move(wayPoints));
        m_lastScratchRoute = scratch;
        setIsDownloading(false);
        emit flightRouteDownloadingFinished(scratch, 0);
        return;
    }
    if (records.empty()) {
        // The vehicle holds no route: nothing to write, and no route is made of it.
        setIsDownloading(false);
        emit flightRouteDownloadingFinished(target ? target : m_activeRoute, 0);
        return;
    }
    if (mode == ReadBack::IntoNewRoute) {
        auto config = std::make_shared<MavMultiPointRouteConfig>();
        const auto vehicle = m_transferVehicle.lock();
        config->setName(QStringLiteral("vehicle %1 route %2").arg(vehicle ? vehicle->vehicleId() : 0).arg(routeNumber));
        config->setNumber(routeNumber);
        config->setRepeatTimes(m_downloadBasic.repeatTimes);
        target = std::make_shared<MavFlightRouteDataItem>(config);
    } else {
        target->setRepeatTimes(m_downloadBasic.repeatTimes);
    }
    // Rebuilt as the target's own waypoints, so they follow its route number from now on.
    std::list<std::shared_ptr<MavWayPointDataItem>> wayPoints;
    for (const auto& record : records)
        wayPoints.push_back(MavWayPointDataItem::fromProtoData(target, record));
    target->resetWayPoints(std::move(wayPoints));
    setIsDownloading(false);
    if (m_routeMgr) {
        if (mode == ReadBack::IntoNewRoute) {
            m_addingOwnRoute = true;
            if (m_routeMgr->addFlightRoute(target))
                m_lastNewRoute = target;
            m_addingOwnRoute = false;
        } else if (!m_routeMgr->updateFlightRoute(target)) {
            spdlog::warn("<DownloadFlightRoute> route {} downloaded but not saved", target->id().toStdString());
        }
    }
    emit flightRouteDownloadingFinished(target, 0);
}

void MavMissionsController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!req)
        return;
    // A retired vehicle's queue ends what it held with time-outs: that is a lost link.
    const auto vehicle = m_transferVehicle.lock();
    const int ret = vehicle && vehicle->retired() ? kResultLinkLost : kResultTimeout;
    if (isUploadCmd(req->cmd) && m_isUploading && m_readBack == ReadBack::None) {
        spdlog::warn("upload flight route failed, because {}", ret == kResultLinkLost ? "the link closed" : "timeout");
        m_transferReq.reset();
        finishUpload(ret);
    } else if (isDownloadCmd(req->cmd) && m_readBack != ReadBack::None) {
        spdlog::warn("download flight route failed, because {}",
                     ret == kResultLinkLost ? "the link closed" : "timeout");
        m_transferReq.reset();
        markDownloadFlightRouteFailed(ret);
    }
}

void MavMissionsController::abortTransfer(int ret, const char* why)
{
    spdlog::warn("<MavMissionsController> route {} ended: {}", m_isUploading ? "upload" : "download", why);
    if (auto vehicle = m_transferVehicle.lock(); vehicle && m_transferReq)
        vehicle->cancelMavPFrameReq(m_transferReq);
    m_transferReq.reset();
    if (m_isUploading)
        finishUpload(ret);
    else if (m_isDownloading)
        markDownloadFlightRouteFailed(ret);
}

void MavMissionsController::finishUpload(int ret)
{
    if (m_readBack == ReadBack::Verify) {
        m_readBack = ReadBack::None;
        m_downloadRoute.reset();
        m_downloadWpNumber = 0;
    }
    if (m_verify.state == VerifyOutcome::Pending)
        m_verify = {VerifyOutcome::Unverified, 0, ret, {}};
    auto route = m_target ? m_target : m_activeRoute;
    unlockTarget();
    m_target.reset();
    m_transferReq.reset();
    m_sentRecords.clear();
    setIsUploading(false);
    emit flightRouteUploadingFinished(route, ret);
}

void MavMissionsController::markDownloadFlightRouteFailed(int ret)
{
    if (m_readBack == ReadBack::Verify) {
        // The upload went through; only its read-back failed.
        m_verify = {VerifyOutcome::Unverified, 0, ret, {}};
        spdlog::warn("<MavMissionsController> uploaded route could not be read back to verify: {}", ret);
        finishUpload(ret);
        return;
    }
    auto route = m_target ? m_target : m_activeRoute;
    unlockTarget();
    m_target.reset();
    m_transferReq.reset();
    m_readBack = ReadBack::None;
    m_downloadRoute.reset();
    m_downloadWpNumber = 0;
    setIsDownloading(false);
    emit flightRouteDownloadingFinished(route, ret);
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
        if (auto vehicle = m_transferVehicle.lock()) {
            vehicle->setTeleReqHold(VehicleController::MissionTransferHold, true);
            m_heldVehicle = vehicle;
        }
    } else if (!transferring) {
        if (auto held = m_heldVehicle.lock())
            held->setTeleReqHold(VehicleController::MissionTransferHold, false);
        m_heldVehicle.reset();
        releaseTransferVehicle();
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
    return fillAreaRoute(*m_activeRoute, config, m_routeMgr ? m_routeMgr->defaultWayPointData().get() : nullptr);
}

bool MavMissionsController::fillAreaRoute(MavFlightRouteDataItem& route, const MavAreaRouteConfig* config,
                                          const MavWayPointDataItem* tmpl)
{
    const auto positions = config ? MavAreaRouteGenerator::generate(config) : QList<std::pair<double, double>>{};
    if (positions.isEmpty()) {
        spdlog::warn("<MavMissionsController> area route: the generator returned no waypoint");
        return false;
    }
    route.resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});

    MavProtoWayPointData_t t;
    t.alt = 20.0;
    t.vel = 8.0f;
    t.radius = 0.5f;
    t.setHeadingDirection(MAVPROTO_HEADING_TO_NEXT_WP);
    if (tmpl)
        t = tmpl->protoData();
    for (const auto& [lat, lon] : positions)
        route.addWayPoint(MAVPROTO_WP_PASS, lon, lat, t.alt, t.vel, t.radius, t.headingDirection(), t.traceMode(),
                          t.heightType(), t.hoverTime, -1, t.heading);
    spdlog::info("<MavMissionsController> area route waypoints generated: {} points", positions.size());
    return true;
}
