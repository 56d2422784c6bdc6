#include "MissionService.h"

#include "services/OperationGate.h"
#include "services/VehicleDirectory.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavWayPointDataItem.h"
#include "vehicle/VehicleController.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <spdlog/spdlog.h>

namespace svc {
namespace {

using Verify = MavMissionsController::VerifyOutcome;

std::string vehicleText(int id)
{
    return "vehicle " + std::to_string(id);
}

// The controller's refusal of a start, in words.
std::string startRefusal(int ret)
{
    switch (ret) {
    case 1: return "The vehicle is gone";
    case 2: return "No active flight route";
    case 3: return "Active flight route is being edited";
    case 4: return "A route upload is in progress";
    case 5: return "A route download is in progress";
    case 6: return "Vehicle is updating its firmware; mission transfers are refused until it ends";
    }
    return "Mission transfer refused";
}

std::string outcomeText(const TransferRecord& r)
{
    switch (r.result) {
    case 0:
        if (r.kind != TransferKind::Upload)
            return r.wayPointCount == 0 ? "done: the vehicle holds no route" : "done";
        return r.verify.state == Verify::Verified ? "done, verified against the vehicle's copy" : "done";
    case MavMissionsController::kResultTimeout: return "the vehicle did not answer in time";
    case MavMissionsController::kResultLinkLost: return "the link closed during the transfer";
    case MavMissionsController::kResultVerifyMismatch:
        return "the vehicle holds other waypoints than were sent (first difference at waypoint " +
               std::to_string(r.verify.firstDifferentWayPoint) + ")";
    case MavMissionsController::kResultWrongRoute: return "the vehicle answered with another route number";
    case MavMissionsController::kResultWrongNumber: return "the vehicle answered with another waypoint number";
    }
    return "the vehicle refused (result " + std::to_string(r.result) + ")";
}

}  // namespace

const char* kindName(TransferKind kind)
{
    switch (kind) {
    case TransferKind::Upload: return "upload";
    case TransferKind::Download: return "download";
    case TransferKind::DownloadNewRoute: return "downloadNewRoute";
    case TransferKind::DownloadScratch: return "downloadScratch";
    }
    return "upload";
}

MissionService::MissionService(VehicleDirectory& directory, OperationGate& gate, CommandService& commands,
                               RouteService& routes, std::shared_ptr<MavMissionsController> missions, QObject* parent)
    : QObject(parent)
    , m_directory(directory)
    , m_gate(gate)
    , m_commands(commands)
    , m_routes(routes)
    , m_missions(std::move(missions))
{
    if (!m_missions)
        return;
    auto* m = m_missions.get();
    connect(m, &MavMissionsController::flightRouteUploadingStarted, this, [this](RoutePtr route) {
        ++m_uploads.started;
        m_uploads.lastRouteId = route ? route->id().toStdString() : std::string();
    });
    // A download has no started signal of its own: its flag rising counts.
    connect(m, &MavMissionsController::isDownloadingChanged, this, [this] {
        if (!m_missions->isDownloading())
            return;
        ++m_downloads.started;
        const TransferRecord* running = m_running ? recordOf(*m_running) : nullptr;
        const auto active = m_missions->activeFlightRoute();
        m_downloads.lastRouteId = running ? running->routeId : active ? active->id().toStdString() : std::string();
    });
    connect(m, &MavMissionsController::flightRouteUploadingFinished, this,
            [this](RoutePtr route, int ret) { onUploadFinished(route, ret); });
    connect(m, &MavMissionsController::flightRouteDownloadingFinished, this,
            [this](RoutePtr route, int ret) { onDownloadFinished(route, ret); });
}

std::string MissionService::contentHash(const MavFlightRouteDataItem& route)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const uint8_t basic[3] = {route.repeatTimes(), uint8_t(route.wayPointCount()), route.number()};
    hash.addData(QByteArrayView(reinterpret_cast<const char*>(basic), sizeof basic));
    for (const auto& wp : route.wayPointList()) {
        // As the vehicle gets it: every waypoint under the route's number.
        MavProtoWayPointData_t record = wp->protoData();
        record.routeNumber = route.number();
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(&record), sizeof record));
    }
    return hash.result().toHex().toStdString();
}

RouteCheck MissionService::check(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route) const
{
    RouteCheck out;
    out.routeId = route ? route->id().toStdString() : std::string();
    if (!route)
        out.report.findings = {{0, QStringLiteral("route"), QStringLiteral("no route to check"), 0}};
    else if (m_missions)
        out.report = m_missions->checkRouteForVehicle(*route, vehicle);
    return out;
}

bool MissionService::hasTransferFor(int vehicleId) const
{
    for (const auto& [id, r] : m_records)
        if (r.vehicleId == vehicleId && r.state != TransferRecord::State::Done)
            return true;
    return false;
}

Status MissionService::transferChecks(const VehicleController& vehicle, TransferKind kind) const
{
    if (auto s = m_directory.reachable(vehicle, "mission transfers", false))
        return s;
    if (vehicle.firmwareUpdating())
        return Status::refused(startRefusal(6));
    if (auto s = m_gate.check(vehicle, kind == TransferKind::Upload ? Operation::RouteUpload : Operation::RouteDownload))
        return s;
    for (const auto& [id, r] : m_records)
        if (r.vehicleId == vehicle.vehicleId() && r.state == TransferRecord::State::Queued)
            return Status::busy("A route " + std::string(kindName(r.kind)) + " for vehicle " +
                                std::to_string(vehicle.vehicleId()) + " is already queued (request " +
                                std::to_string(id) + ")");
    return {};
}

// Violations refuse an upload unless forced; findings of what could not be checked (no zone
// set, limits not read) are answered but refuse nothing.
Status MissionService::uploadChecks(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route,
                                    const UploadOptions& options, MavRouteCheckReport& checked) const
{
    if (!route)
        return Status::refused("No active flight route");
    // A count past 255 cannot be sent at all: the record has one byte for it.
    if (route->wayPointCount() > RouteService::kMaxWayPoints)
        return Status::refused("Route has more than 255 waypoints");
    if (route->isEditing())
        return Status::busy("Active flight route is being edited");
    checked = check(vehicle, route).report;
    const auto findings = checked.violations();
    if (!findings.empty() && !options.force) {
        spdlog::warn("<services> upload of route {} to vehicle {} refused: {} check findings, first: {}",
                     route->id().toStdString(), vehicle->vehicleId(), findings.size(),
                     findings.front().text.toStdString());
        return Status::refused("Route check failed (" + std::to_string(findings.size()) +
                               " findings; see data.findings or mission.check, or upload with \"force\": true): " +
                               findings.front().text.toStdString());
    }
    if (!findings.empty())
        spdlog::warn("<services> upload of route {} forced past {} check findings", route->id().toStdString(),
                     findings.size());
    return {};
}

Result<TransferTicket> MissionService::upload(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route,
                                              UploadOptions options)
{
    if (!vehicle)
        return Status::noVehicle("No vehicle");
    if (!m_missions)
        return Status::refused("Mission services are not available");
    if (auto s = transferChecks(*vehicle, TransferKind::Upload))
        return s;
    MavRouteCheckReport checked;
    if (auto s = uploadChecks(vehicle, route, options, checked)) {
        Result<TransferTicket> refused(s);
        refused.value.findings = checked.findings;
        refused.value.checked = std::move(checked);
        if (route)
            refused.value.routeId = route->id().toStdString();
        return refused;
    }
    TransferRecord r;
    r.kind = TransferKind::Upload;
    r.routeId = route->id().toStdString();
    r.verifyRequested = options.verify;
    r.force = options.force;
    auto ticket = enqueue(std::move(r), vehicle, route);
    if (ticket.ok()) {
        ticket.value.findings = checked.findings;
        ticket.value.checked = std::move(checked);
    }
    return ticket;
}

Result<TransferTicket> MissionService::download(const std::shared_ptr<VehicleController>& vehicle, TransferKind into,
                                                const RoutePtr& route)
{
    if (!vehicle)
        return Status::noVehicle("No vehicle");
    if (!m_missions)
        return Status::refused("Mission services are not available");
    if (into == TransferKind::Upload)
        return Status::invalid("Not a download");
    if (auto s = transferChecks(*vehicle, into))
        return s;
    if (into == TransferKind::Download) {
        if (!route)
            return Status::refused("No active flight route");
        if (route->isEditing())
            return Status::busy("Active flight route is being edited");
    }
    TransferRecord r;
    r.kind = into;
    r.routeId = into == TransferKind::Download ? route->id().toStdString() : std::string();
    return enqueue(std::move(r), vehicle, into == TransferKind::Download ? route : nullptr);
}

Result<TransferTicket> MissionService::enqueue(TransferRecord record, const std::shared_ptr<VehicleController>& vehicle,
                                               const RoutePtr& route)
{
    const bool busy = m_running || m_missions->isTransferring() || !m_queue.empty();
    if (busy && m_queue.size() >= kMaxQueued)
        return Status::busy("The route transfer queue is full (" + std::to_string(kMaxQueued) + "); try again later");
    record.requestId = nextRequestId();
    record.vehicleId = vehicle->vehicleId();
    record.state = TransferRecord::State::Queued;
    TransferTicket ticket;
    ticket.requestId = record.requestId;
    ticket.kind = record.kind;
    ticket.vehicleId = record.vehicleId;
    ticket.routeId = record.routeId;
    ticket.wayPointCount = route ? route->wayPointCount() : 0;
    const int64_t id = record.requestId;
    m_records[id] = std::move(record);
    while (m_records.size() > kMaxRecords && m_records.begin()->second.state == TransferRecord::State::Done)
        m_records.erase(m_records.begin());
    if (busy) {
        m_queue.push_back({id, vehicle, route, {m_records[id].force, m_records[id].verifyRequested}});
        ticket.queuePosition = int(m_queue.size());
        spdlog::info("<services> route {} for vehicle {} queued at place {}, requestId {}", kindName(ticket.kind),
                     ticket.vehicleId, ticket.queuePosition, id);
        return ticket;
    }
    if (!begin(m_records[id], vehicle, route)) {
        Result<TransferTicket> refused(Status::refused(m_records[id].message));
        return refused;
    }
    return ticket;
}

bool MissionService::begin(TransferRecord& record, const std::shared_ptr<VehicleController>& vehicle,
                           const RoutePtr& route)
{
    const int64_t id = record.requestId;
    record.state = TransferRecord::State::Running;
    m_running = id;
    int ret = 0;
    if (record.kind == TransferKind::Upload) {
        const auto previous = m_lastUpload.find(record.vehicleId) == m_lastUpload.end()
                                  ? std::nullopt
                                  : std::optional<UploadRecord>(m_lastUpload[record.vehicleId]);
        m_lastUpload[record.vehicleId] = {id, record.routeId, contentHash(*route), route->wayPointCount(),
                                          std::nullopt, record.verifyRequested ? Verify::Pending : Verify::None,
                                          QDateTime::currentMSecsSinceEpoch()};
        ret = m_missions->uploadTo(vehicle, route, record.verifyRequested);
        if (ret != 0) {
            if (previous)
                m_lastUpload[record.vehicleId] = *previous;
            else
                m_lastUpload.erase(record.vehicleId);
        }
    } else {
        const auto into = record.kind == TransferKind::Download           ? MavMissionsController::DownloadInto::Route
                          : record.kind == TransferKind::DownloadNewRoute ? MavMissionsController::DownloadInto::NewRoute
                                                                          : MavMissionsController::DownloadInto::Scratch;
        ret = m_missions->downloadFrom(vehicle, into, route);
    }
    if (ret != 0) {
        finish(id, kResultRefused, startRefusal(ret));
        return false;
    }
    spdlog::info("<services> route {} for vehicle {} started{}, requestId {}", kindName(record.kind), record.vehicleId,
                 record.routeId.empty() ? std::string() : " (route " + record.routeId + ")", id);
    return true;
}

void MissionService::startNext()
{
    while (!m_running && !m_missions->isTransferring() && !m_queue.empty()) {
        Pending next = std::move(m_queue.front());
        m_queue.pop_front();
        TransferRecord* record = recordOf(next.requestId);
        if (!record)
            continue;
        const auto vehicle = next.vehicle.lock();
        // The checks again: the vehicle, the route and the zones may have changed while it waited.
        Status s;
        MavRouteCheckReport checked;
        if (!vehicle || vehicle->retired())
            s = Status::refused("Vehicle " + std::to_string(record->vehicleId) + " left before its turn");
        else if (auto gate = m_gate.check(*vehicle, Operation::RouteUpload))
            s = gate;
        else if (record->kind == TransferKind::Upload)
            s = uploadChecks(vehicle, next.route, next.options, checked);
        if (s) {
            finish(next.requestId, kResultRefused, s.message);
            continue;
        }
        begin(*record, vehicle, next.route);
    }
}

TransferRecord* MissionService::recordOf(int64_t requestId)
{
    auto it = m_records.find(requestId);
    return it == m_records.end() ? nullptr : &it->second;
}

void MissionService::finish(int64_t requestId, int result, std::string message)
{
    TransferRecord* r = recordOf(requestId);
    if (!r)
        return;
    r->state = TransferRecord::State::Done;
    r->result = result;
    r->message = message.empty() ? outcomeText(*r) : std::move(message);
    if (m_running == requestId)
        m_running.reset();
    spdlog::log(result == 0 ? spdlog::level::info : spdlog::level::warn,
                "<services> route {} for vehicle {} (request {}) ended {}: {}", kindName(r->kind), r->vehicleId,
                requestId, result, r->message);
    const TransferRecord copy = *r;
    emit transferFinished(copy);
    // After every listener heard the end: the next one starts outside the controller's signal.
    QMetaObject::invokeMethod(this, [this] { startNext(); }, Qt::QueuedConnection);
}

void MissionService::onUploadFinished(const RoutePtr& route, int ret)
{
    ++m_uploads.finished;
    m_uploads.lastResult = ret;
    m_uploads.lastRouteId = route ? route->id().toStdString() : std::string();
    TransferRecord* r = m_running ? recordOf(*m_running) : nullptr;
    if (!r || r->kind != TransferKind::Upload) {
        QMetaObject::invokeMethod(this, [this] { startNext(); }, Qt::QueuedConnection);
        return;
    }
    r->verify = m_missions->lastVerify();
    r->result = ret;
    if (auto last = m_lastUpload.find(r->vehicleId); last != m_lastUpload.end() && last->second.requestId == r->requestId) {
        last->second.result = ret;
        last->second.verify = r->verify.state;
    }
    finish(r->requestId, ret, {});
}

void MissionService::onDownloadFinished(const RoutePtr& route, int ret)
{
    ++m_downloads.finished;
    m_downloads.lastResult = ret;
    m_downloads.lastRouteId = route ? route->id().toStdString() : std::string();
    TransferRecord* r = m_running ? recordOf(*m_running) : nullptr;
    if (!r || r->kind == TransferKind::Upload) {
        QMetaObject::invokeMethod(this, [this] { startNext(); }, Qt::QueuedConnection);
        return;
    }
    r->result = ret;
    r->wayPointCount = m_missions->lastDownloadWayPointCount();
    if (const auto created = m_missions->lastNewRoute())
        r->newRouteId = created->id().toStdString();
    if (r->kind == TransferKind::DownloadScratch && ret == 0)
        r->scratch = m_missions->lastScratchRoute();
    finish(r->requestId, ret, {});
}

std::optional<TransferRecord> MissionService::transfer(int64_t requestId) const
{
    const auto it = m_records.find(requestId);
    return it == m_records.end() ? std::nullopt : std::optional<TransferRecord>(it->second);
}

std::vector<TransferRecord> MissionService::transfersOf(int vehicleId, size_t limit) const
{
    std::vector<TransferRecord> out;
    for (auto it = m_records.rbegin(); it != m_records.rend() && out.size() < limit; ++it)
        if (it->second.vehicleId == vehicleId)
            out.push_back(it->second);
    return out;
}

std::optional<TransferRecord> MissionService::lastFinished(bool upload) const
{
    for (auto it = m_records.rbegin(); it != m_records.rend(); ++it)
        if (it->second.state == TransferRecord::State::Done && (it->second.kind == TransferKind::Upload) == upload)
            return it->second;
    return std::nullopt;
}

std::optional<UploadRecord> MissionService::lastUpload(int vehicleId) const
{
    const auto it = m_lastUpload.find(vehicleId);
    return it == m_lastUpload.end() ? std::nullopt : std::optional<UploadRecord>(it->second);
}

Status MissionService::startChecks(const VehicleController& vehicle) const
{
    const int id = vehicle.vehicleId();
    const std::string force = "; or add \"force\": true to fly what the vehicle holds";
    const auto last = lastUpload(id);
    if (!last)
        return Status::refused("No route was uploaded to " + vehicleText(id) + " from this station; upload one first" +
                               force);
    if (!last->result)
        return Status::busy("The upload of route " + last->routeId + " to " + vehicleText(id) + " is still running");
    if (*last->result != 0) {
        TransferRecord r;
        r.result = *last->result;
        r.verify.state = last->verify;
        if (const auto t = transfer(last->requestId))
            r = *t;
        return Status::refused("The last upload to " + vehicleText(id) + " (route " + last->routeId +
                               ") failed: " + outcomeText(r) + "; upload it again" + force);
    }
    const auto route = m_routes.find(last->routeId);
    if (!route.ok())
        return Status::refused("Route " + last->routeId + ", uploaded to " + vehicleText(id) +
                               ", was deleted since; upload a route again" + force);
    if (contentHash(*route.value) != last->contentHash)
        return Status::refused("Route " + last->routeId + " changed since it was uploaded to " + vehicleText(id) +
                               "; upload it again" + force);
    // Against the zones and limits of this moment, along the path from where the vehicle is now.
    const auto findings = m_missions->checkRoute(route.value, m_directory.byId(id).value);
    if (!findings.empty())
        return Status::refused("Route " + last->routeId + " no longer passes the route check (" +
                               std::to_string(findings.size()) + " findings, first: " +
                               findings.front().text.toStdString() + "); see mission.check" + force);
    return {};
}

Result<CommandTicket> MissionService::start(const std::shared_ptr<VehicleController>& vehicle, bool force)
{
    if (!vehicle)
        return Status::noVehicle("No vehicle");
    if (auto s = m_commands.commandable(*vehicle, "control commands"))
        return s;
    if (hasTransferFor(vehicle->vehicleId()))
        return Status::busy("A mission transfer is in progress");
    if (const auto op = m_gate.running(*vehicle))
        return Status::busy("Vehicle " + std::to_string(vehicle->vehicleId()) + " is busy with " + operationName(*op));
    if (auto s = startChecks(*vehicle)) {
        if (!force) {
            spdlog::warn("<services> mission start of vehicle {} refused: {}", vehicle->vehicleId(), s.message);
            return s;
        }
        spdlog::warn("<services> mission start of vehicle {} forced past: {}", vehicle->vehicleId(), s.message);
    }
    const int64_t requestId = m_commands.track(vehicle, "runMission");
    vehicle->runMission();
    spdlog::info("<services> mission start sent to vehicle {}, requestId {}", vehicle->vehicleId(), requestId);
    return CommandTicket{requestId, "runMission", vehicle->vehicleId()};
}

}  // namespace svc
