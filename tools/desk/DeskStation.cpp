#include "DeskStation.h"

#include "app/GcsAppController.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "mission/MavWayPointDataItem.h"
#include "nfz/NfzSyncController.h"
#include "nfz/NfzZoneListModel.h"
#include "services/CommandService.h"
#include "services/MissionService.h"
#include "services/ParamService.h"
#include "services/RouteService.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "services/ZoneService.h"
#include "telemetry/CustomTeleDataListModel.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleDataTableModel.h"
#include "telemetry/MavTeleResDataItem.h"
#include "telemetry/MavTelePlotsManager.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "NfzZoneManager.h"

#include <QDir>
#include <QHash>
#include <QFileInfo>
#include <QImage>
#include <QQuickWindow>

#include <spdlog/spdlog.h>

#include <cmath>

namespace {

QVariantMap ok(QVariantMap extra = {})
{
    extra.insert(QStringLiteral("ok"), true);
    if (!extra.contains(QStringLiteral("message")))
        extra.insert(QStringLiteral("message"), QString());
    return extra;
}

QVariantMap refused(const QString& message)
{
    spdlog::info("<desk> refused: {}", message.toStdString());
    return {{QStringLiteral("ok"), false}, {QStringLiteral("message"), message}};
}

QVariantMap refused(const svc::Status& status)
{
    return refused(QString::fromStdString(status.message));
}

QString actionWords(const QString& action)
{
    static const QHash<QString, QString> words = {{"takeoff", DeskStation::tr("Take-off")},
                                                  {"land", DeskStation::tr("Land")},
                                                  {"returnHome", DeskStation::tr("Return home")},
                                                  {"suspend", DeskStation::tr("Pause")},
                                                  {"resume", DeskStation::tr("Resume")},
                                                  {"mission.start", DeskStation::tr("Mission start")},
                                                  {"params.read", DeskStation::tr("Parameter read")},
                                                  {"params.write", DeskStation::tr("Parameter write")}};
    return words.value(action, action);
}

// The waypoints of a route as the service takes them back, each field as the route holds it.
std::vector<svc::WayPointSpec> specsOf(const MavFlightRouteDataItem& route)
{
    std::vector<svc::WayPointSpec> specs;
    for (const auto& wp : route.wayPointList()) {
        svc::WayPointSpec spec;
        spec.data = wp->protoData();
        spec.nextWp = int16_t(wp->nextWp());
        specs.push_back(spec);
    }
    return specs;
}

}  // namespace

DeskStation::DeskStation(GcsAppController* ctrl, NfzZoneListModel* zones, QObject* parent)
    : QObject(parent)
    , m_ctrl(ctrl)
    , m_zones(zones)
{
    connect(ctrl->multiVehicleMgr(), &MultiVehicleManager::activeVehicleChanged, this,
            &DeskStation::activeVehicleChanged);
    if (const auto missions = ctrl->missionsCtrler())
        connect(missions.get(), &MavMissionsController::activeFlightRouteChanged, this,
                &DeskStation::activeRouteChanged);
    connect(ctrl, &GcsAppController::linkConnectResp, this, &DeskStation::linkChanged);
    connect(ctrl, &GcsAppController::linkDisconnected, this, &DeskStation::linkChanged);
    connect(ctrl->multiVehicleMgr(), &MultiVehicleManager::vehicleJoined, this, &DeskStation::linkChanged);
    connect(&services().missions(), &svc::MissionService::transferFinished, this, &DeskStation::onTransferFinished);
    connect(&services().zones(), &svc::ZoneService::transferFinished, this, &DeskStation::onZoneTransferFinished);
    m_poll.setInterval(200);
    connect(&m_poll, &QTimer::timeout, this, &DeskStation::pollOutcomes);
}

void DeskStation::bindViews(MavTeleDataTableModel* table, CustomTeleDataListModel* list, MavTelePlotsManager* plots)
{
    m_table = table;
    m_list = list;
    m_plots = plots;
    connect(this, &DeskStation::activeVehicleChanged, this, &DeskStation::rebindViews);
    rebindViews();
}

QStringList DeskStation::telemetryItems() const
{
    return {QStringLiteral("position"), QStringLiteral("attitude"), QStringLiteral("status"),
            QStringLiteral("target"),   QStringLiteral("rc"),       QStringLiteral("reserved")};
}

void DeskStation::setTelemetryItem(const QString& item)
{
    if (item == m_telemetryItem || !telemetryItems().contains(item))
        return;
    m_telemetryItem = item;
    rebindViews();
    emit telemetryItemChanged();
}

void DeskStation::rebindViews()
{
    const auto v = activeVehicle();
    const auto tele = v ? v->teleCtrler() : nullptr;
    if (m_table && tele) {
        std::shared_ptr<MavTeleBaseDataItem> item;
        if (m_telemetryItem == QLatin1String("attitude"))
            item = tele->ahrsDataItem();
        else if (m_telemetryItem == QLatin1String("status"))
            item = tele->flightStatusDataItem();
        else if (m_telemetryItem == QLatin1String("target"))
            item = tele->targetStabilizeDataItem();
        else if (m_telemetryItem == QLatin1String("rc"))
            item = tele->rcDataItem();
        else if (m_telemetryItem == QLatin1String("reserved"))
            item = tele->resDataItem();
        else
            item = tele->posDataItem();
        m_table->setTeleDataItem(item);
    }
    if (m_list)
        m_list->setActiveVehicleCtrler(v);
    if (m_plots)
        m_plots->setActiveVehicleCtrler(v);
}

svc::VehicleServices& DeskStation::services() const
{
    return *m_ctrl->services();
}

int DeskStation::activeVehicleId() const
{
    const auto v = activeVehicle();
    return v ? v->vehicleId() : -1;
}

std::shared_ptr<VehicleController> DeskStation::activeVehicle() const
{
    return m_ctrl ? m_ctrl->multiVehicleMgr()->activeVehicle() : nullptr;
}

QString DeskStation::activeRouteId() const
{
    const auto route = m_ctrl ? services().routes().active() : nullptr;
    return route ? route->id() : QString();
}

QString DeskStation::linkText() const
{
    if (!m_ctrl)
        return {};
    const auto state = m_ctrl->connectionState();
    QString text = state.connected
                       ? tr("Link open, %n vehicle(s)", "", int(m_ctrl->multiVehicleMgr()->vehicleList().size()))
                       : tr("No link");
    if (state.note)
        text += QStringLiteral(" - ") + QString::fromStdString(*state.note);
    return text;
}

QStringList DeskStation::paramGroups() const
{
    QStringList groups;
    for (const auto& g : ParamTable::groupNames())
        groups << QString::fromStdString(g);
    return groups;
}

std::shared_ptr<VehicleController> DeskStation::vehicle(int vehicleId, QVariantMap& refusal) const
{
    const auto r = services().directory().byId(vehicleId);
    if (!r.ok()) {
        refusal = refused(r.status);
        return nullptr;
    }
    return r.value;
}

QVariantMap DeskStation::selectVehicle(int vehicleId)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    if (const auto s = services().setActiveVehicle(v))
        return refused(s);
    return ok();
}

QVariantMap DeskStation::connectUdp(int localPort, int vehiclePort)
{
    if (localPort < 1 || localPort > 65535 || vehiclePort < 0 || vehiclePort > 65535)
        return refused(tr("Ports are 1..65535"));
    svc::LinkRequest request;
    request.type = svc::LinkRequest::Type::Udp;
    request.localPort = quint16(localPort);
    request.vehiclePort = quint16(vehiclePort);
    const QString why = m_ctrl->connectLink(request);
    return why.isEmpty() ? ok() : refused(why);
}

QVariantMap DeskStation::command(const QString& action, int vehicleId, double altM, int climbMps)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto flightAction = svc::actionByName(action.toStdString());
    if (!flightAction)
        return refused(tr("Unknown command %1").arg(action));
    svc::FlightCommand c;
    c.action = *flightAction;
    if (c.action == svc::FlightAction::Takeoff) {
        if (!(altM >= 1 && altM <= 65535) || climbMps < 1 || climbMps > 255)
            return refused(tr("Take-off needs an altitude of 1..65535 m and a climb speed of 1..255 m/s"));
        c.takeoffAltM = uint16_t(std::lround(altM));
        c.climbSpeedMps = uint8_t(climbMps);
    } else if (c.action == svc::FlightAction::ReturnHome) {
        const auto pos = v->teleCtrler() ? v->teleCtrler()->posDataItem() : nullptr;
        if (!pos || (pos->homeLat() == 0 && pos->homeLon() == 0))
            return refused(tr("Vehicle %1 has not reported its home point: no return home").arg(vehicleId));
        c.lat = pos->homeLat();
        c.lon = pos->homeLon();
        c.altM = altM;
    }
    const auto t = services().commands().send(v, c);
    if (!t.ok())
        return refused(t.status);
    m_pending[t.value.requestId] = {vehicleId, action};
    m_poll.start();
    return ok({{"requestId", qint64(t.value.requestId)},
               {"message", tr("%1 sent to vehicle %2").arg(actionWords(action)).arg(vehicleId)}});
}

void DeskStation::pollOutcomes()
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const auto outcome = services().commands().outcome(it->first);
        if (outcome && outcome->state == svc::CommandOutcome::State::Pending) {
            ++it;
            continue;
        }
        bool good = false;
        QString text;
        if (!outcome) {
            text = tr("no answer recorded");
        } else if (outcome->state == svc::CommandOutcome::State::TimedOut) {
            text = tr("the vehicle did not answer in time");
        } else {
            good = !outcome->results.empty();
            for (const auto& r : outcome->results) {
                good = good && r.code == 0;
                text += QString::fromStdString(r.text);
            }
        }
        emit commandFinished(it->second.vehicleId, actionWords(it->second.action), good, text);
        it = m_pending.erase(it);
    }
    if (m_pending.empty())
        m_poll.stop();
}

QVariantMap DeskStation::selectRoute(const QString& routeId)
{
    const auto r = services().routes().find(routeId.toStdString());
    if (!r.ok())
        return refused(r.status);
    if (const auto s = services().routes().setActive(r.value))
        return refused(s);
    return ok();
}

QVariantMap DeskStation::newRoute(const QString& name)
{
    svc::RouteDraft draft;
    draft.name = (name.isEmpty() ? tr("route") : name).toStdString();
    draft.number = 1;
    draft.points = std::vector<svc::WayPointSpec>{};
    const auto r = services().routes().create(draft);
    if (!r.ok())
        return refused(r.status);
    return ok({{"routeId", r.value->id()}});
}

QVariantMap DeskStation::deleteRoute(const QString& routeId)
{
    if (const auto s = services().routes().remove(routeId.toStdString()))
        return refused(s);
    return ok();
}

QVariantMap DeskStation::addWayPoint(double lat, double lon)
{
    if (!std::isfinite(lat) || !std::isfinite(lon) || std::abs(lat) > 90 || std::abs(lon) > 180)
        return refused(tr("No position there"));
    const auto route = services().routes().active();
    auto specs = route ? specsOf(*route) : std::vector<svc::WayPointSpec>{};
    if (specs.size() >= size_t(svc::RouteService::kMaxWayPoints))
        return refused(tr("A route holds at most %1 waypoints").arg(svc::RouteService::kMaxWayPoints));
    svc::WayPointSpec added;
    if (!specs.empty()) {
        added = specs.back();  // the new one flies like the last one
        added.nextWp = -1;
    } else if (const auto templ = services().routes().defaultWayPoint()) {
        added.data = templ->protoData();
    } else {
        added.data.type = MAVPROTO_WP_PASS;
        added.data.alt = 30;
        added.data.vel = 5;
    }
    added.data.lat = lat;
    added.data.lon = lon;
    specs.push_back(added);
    if (!route) {
        svc::RouteDraft draft;
        draft.name = tr("route").toStdString();
        draft.number = 1;
        draft.points = specs;
        const auto r = services().routes().create(draft);
        return r.ok() ? ok({{"wayPoint", 1}, {"routeId", r.value->id()}}) : refused(r.status);
    }
    svc::RouteChange change;
    change.points = specs;
    const auto r = services().routes().update(route->id().toStdString(), change);
    if (!r.ok())
        return refused(r.status);
    return ok({{"wayPoint", int(specs.size())}});
}

QVariantMap DeskStation::removeWayPoint(int index)
{
    const auto route = services().routes().active();
    if (!route || index < 0 || index >= route->wayPointCount())
        return refused(tr("No such waypoint"));
    auto specs = specsOf(*route);
    specs.erase(specs.begin() + index);
    for (auto& s : specs)
        s.nextWp = -1;  // numbers shift: the jumps are laid again in order
    svc::RouteChange change;
    change.points = specs;
    const auto r = services().routes().update(route->id().toStdString(), change);
    return r.ok() ? ok() : refused(r.status);
}

QVariantMap DeskStation::editWayPoint(int index, const QString& field, double value)
{
    const auto route = services().routes().active();
    if (!route || index < 0 || index >= route->wayPointCount())
        return refused(tr("No such waypoint"));
    if (!std::isfinite(value))
        return refused(tr("%1 must be a number").arg(field));
    auto specs = specsOf(*route);
    auto& d = specs[size_t(index)];
    if (field == QLatin1String("alt") && value >= -1000 && value <= 10000)
        d.data.alt = value;
    else if (field == QLatin1String("vel") && value >= 0 && value <= 100)
        d.data.vel = float(value);
    else if (field == QLatin1String("hoverTime") && value >= 0 && value <= 65535)
        d.data.hoverTime = uint16_t(value);
    else if (field == QLatin1String("lat") && std::abs(value) <= 90)
        d.data.lat = value;
    else if (field == QLatin1String("lon") && std::abs(value) <= 180)
        d.data.lon = value;
    else if (field == QLatin1String("nextWp") && value >= 0 && value <= route->wayPointCount())
        d.nextWp = int16_t(value);
    else
        return refused(tr("%1 cannot be %2").arg(field).arg(value));
    svc::RouteChange change;
    change.points = specs;
    const auto r = services().routes().update(route->id().toStdString(), change);
    return r.ok() ? ok() : refused(r.status);
}

QVariantMap DeskStation::createSurvey(const QString& name, const QVariantList& polygon, double spacingM)
{
    if (polygon.size() < 3)
        return refused(tr("A survey area needs at least 3 corners"));
    if (!(spacingM >= 1 && spacingM <= 1000))
        return refused(tr("Line spacing must be 1..1000 m"));
    svc::RouteDraft draft;
    draft.name = (name.isEmpty() ? tr("survey") : name).toStdString();
    draft.number = 1;
    svc::AreaSpec area;
    for (const auto& p : polygon) {
        const auto m = p.toMap();
        area.polygon.append({m.value("lat").toDouble(), m.value("lon").toDouble()});
    }
    area.lineSpacing = spacingM;
    draft.area = area;
    const auto r = services().routes().create(draft);
    if (!r.ok())
        return refused(r.status);
    return ok({{"routeId", r.value->id()}, {"wayPoints", r.value->wayPointCount()}});
}

QVariantMap DeskStation::checkRoute(int vehicleId)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto route = services().routes().active();
    if (!route)
        return refused(tr("No active route to check"));
    const auto check = services().missions().check(v, route);
    QVariantList findings;
    for (const auto& f : check.report.findings)
        findings.append(QVariantMap{{"wayPoint", f.wayPoint},
                                    {"text", f.text},
                                    {"kind", f.kind == MavRouteFinding::Kind::Violation ? "violation" : "unchecked"}});
    const QString summary = check.passed()
                                ? tr("Route passes the check for vehicle %1").arg(vehicleId)
                                : tr("%n finding(s) for vehicle %1", "", int(findings.size())).arg(vehicleId);
    return ok({{"passed", check.passed()}, {"findings", findings}, {"message", summary}});
}

QVariantMap DeskStation::upload(int vehicleId, bool verify, bool force)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto route = services().routes().active();
    if (!route)
        return refused(tr("No active route to upload"));
    const auto t = services().missions().upload(v, route, {force, verify});
    if (!t.ok())
        return refused(t.status);
    const QString text = t.value.queuePosition > 0
                             ? tr("Upload to vehicle %1 queued (%2 in line)").arg(vehicleId).arg(t.value.queuePosition)
                             : tr("Uploading %n waypoint(s) to vehicle %1", "", t.value.wayPointCount).arg(vehicleId);
    return ok({{"requestId", qint64(t.value.requestId)}, {"message", text}});
}

QVariantMap DeskStation::download(int vehicleId)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto t = services().missions().download(v, svc::TransferKind::DownloadNewRoute);
    if (!t.ok())
        return refused(t.status);
    return ok({{"requestId", qint64(t.value.requestId)},
               {"message", tr("Downloading the route of vehicle %1").arg(vehicleId)}});
}

QVariantMap DeskStation::startMission(int vehicleId, bool force)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto t = services().missions().start(v, force);
    if (!t.ok())
        return refused(t.status);
    m_pending[t.value.requestId] = {vehicleId, QStringLiteral("mission.start")};
    m_poll.start();
    return ok(
        {{"requestId", qint64(t.value.requestId)}, {"message", tr("Mission start sent to vehicle %1").arg(vehicleId)}});
}

QVariantMap DeskStation::missionState(int vehicleId) const
{
    const auto last = services().missions().lastUpload(vehicleId);
    if (!last)
        return ok({{"message", tr("Nothing uploaded to vehicle %1 from this station").arg(vehicleId)}});
    QString text;
    if (!last->result)
        text = tr("Upload of %n waypoint(s) running", "", last->wayPointCount);
    else if (*last->result == 0)
        text = tr("Holds %n waypoint(s) from this station", "", last->wayPointCount);
    else
        text = tr("Last upload failed");
    return ok({{"message", text}, {"routeId", QString::fromStdString(last->routeId)}});
}

void DeskStation::onTransferFinished(const svc::TransferRecord& record)
{
    const bool good = record.result == 0;
    emit transferFinished(record.vehicleId, QString::fromLatin1(svc::kindName(record.kind)), good,
                          QString::fromStdString(record.message));
}

QVariantMap DeskStation::zoneStatus() const
{
    const auto set = m_ctrl->zoneSet();
    const auto sync = m_ctrl->zoneSync();
    QVariantMap status;
    if (set) {
        const auto& origin = set->origin();
        status.insert("source", QString::fromLatin1(NfzZoneManager::sourceName(origin.source)));
        status.insert("count", int(set->zoneCount()));
        status.insert("time", origin.fileTime.isValid() ? origin.fileTime.toLocalTime().toString("yyyy-MM-dd hh:mm:ss")
                                                        : tr("never"));
        status.insert("file", origin.file);
    }
    if (sync) {
        status.insert("syncing", sync->isSyncInProgress());
        status.insert("lastError", sync->lastErrorText());
        if (const auto& shrink = sync->lastShrink())
            status.insert("shrink", tr("%1 %2: %3")
                                        .arg(shrink->operation, shrink->applied ? tr("applied") : tr("refused"),
                                             shrink->shrink.text()));
    }
    if (const auto last = services().zones().lastFinished())
        status.insert("lastTransfer",
                      tr("vehicle %1: %2").arg(last->vehicleId).arg(last->ok ? tr("zones taken") : tr("failed")));
    return ok(status);
}

QVariantMap DeskStation::importZones(const QString& path, bool allowShrink)
{
    const auto sync = m_ctrl->zoneSync();
    if (!sync)
        return refused(tr("This station keeps no zone cache"));
    if (!QFileInfo(path).isAbsolute())
        return refused(tr("Give the zone file's full path"));
    NfzSyncController::LocalImportCandidate candidate;
    QString error;
    if (sync->prepareLocalImport(path, candidate, error) != NfzSyncController::LocalImportError::None)
        return refused(error);
    if (sync->commitLocalImport(candidate, error, allowShrink) != NfzSyncController::LocalImportError::None)
        return refused(error);
    if (m_zones)
        m_zones->refresh();
    return ok({{"message", tr("%n zone(s) imported", "", int(candidate.zoneCount))}});
}

QVariantMap DeskStation::syncZones(bool allowShrink)
{
    const auto sync = m_ctrl->zoneSync();
    if (!sync)
        return refused(tr("This station keeps no zone cache"));
    if (sync->isSyncInProgress())
        return refused(tr("A zone sync is already running"));
    sync->startFullSync(allowShrink);
    return ok({{"message", tr("Zone sync started")}});
}

QVariantMap DeskStation::uploadZones(int vehicleId)
{
    const auto t = services().zones().upload({vehicleId, std::nullopt}, {});
    if (!t.ok())
        return refused(t.status);
    return ok({{"message", tr("Sending %n zone(s) to vehicle %1", "", int(t.value.zoneIds.size())).arg(vehicleId)}});
}

void DeskStation::onZoneTransferFinished(const svc::ZoneTransfer& transfer)
{
    if (transfer.ok && m_zones)
        m_zones->setInForce(transfer.zoneIds);
    emit zoneTransferFinished(
        transfer.vehicleId, transfer.ok,
        transfer.ok ? tr("vehicle %1 took %n zone(s)", "", int(transfer.zoneIds.size())).arg(transfer.vehicleId)
                    : tr("vehicle %1 did not take the zones (result %2)").arg(transfer.vehicleId).arg(transfer.result));
}

QVariantMap DeskStation::readParams(int vehicleId, const QString& group)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto t = services().params().read(v, group.toStdString());
    if (!t.ok())
        return refused(t.status);
    m_pending[t.value.requestId] = {vehicleId, QStringLiteral("params.read")};
    m_poll.start();
    return ok({{"message", tr("Reading %1 from vehicle %2").arg(group).arg(vehicleId)}});
}

QVariantMap DeskStation::paramValues(int vehicleId, const QString& group) const
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    const auto r = services().params().values(v, group.toStdString());
    if (!r.ok())
        return refused(r.status);
    QVariantList fields;
    for (const auto& f : r.value.fields)
        fields.append(QVariantMap{{"name", QString::fromStdString(f.name)},
                                  {"value", f.value},
                                  {"unit", QString::fromStdString(f.unit)},
                                  {"min", f.min},
                                  {"max", f.max},
                                  {"step", f.step}});
    return ok({{"readSinceAlive", r.value.readSinceAlive}, {"fields", fields}});
}

QVariantMap DeskStation::writeParams(int vehicleId, const QString& group, const QVariantMap& values)
{
    QVariantMap why;
    const auto v = vehicle(vehicleId, why);
    if (!v)
        return why;
    ParamTable::Values typed;
    for (auto it = values.begin(); it != values.end(); ++it) {
        bool number = false;
        const double value = it.value().toDouble(&number);
        if (!number || !std::isfinite(value))
            return refused(tr("%1 must be a number").arg(it.key()));
        typed.emplace_back(it.key().toStdString(), value);
    }
    const auto t = typed.empty() ? services().params().write(v, group.toStdString())
                                 : services().params().set(v, group.toStdString(), typed);
    if (!t.ok())
        return refused(t.status);
    m_pending[t.value.requestId] = {vehicleId, QStringLiteral("params.write")};
    m_poll.start();
    return ok({{"message", tr("Writing %1 to vehicle %2").arg(group).arg(vehicleId)}});
}

QVariantMap DeskStation::screenshot(QQuickWindow* window, const QString& path) const
{
    if (!window)
        return refused(tr("No window"));
    if (!QFileInfo(path).isAbsolute() || !path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return refused(tr("path must be an absolute path ending in .png"));
    if (!QFileInfo(QFileInfo(path).absolutePath()).isDir())
        return refused(tr("No folder %1").arg(QFileInfo(path).absolutePath()));
    const QImage image = window->grabWindow();
    if (image.isNull())
        return refused(tr("The window could not be drawn"));
    if (!image.save(path, "PNG"))
        return refused(tr("Cannot write %1").arg(path));
    spdlog::info("<desk> screenshot {} ({}x{})", path.toStdString(), image.width(), image.height());
    return ok({{"path", path}, {"width", image.width()}, {"height", image.height()}});
}
