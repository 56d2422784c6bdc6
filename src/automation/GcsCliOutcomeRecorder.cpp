#include "GcsCliOutcomeRecorder.h"

#include "GcsCliAccountOutcomes.h"
#include "GcsCliNfzOutcomes.h"
#include "GcsCliFirmwareOutcomes.h"
#include "common/GcsConsoleHandler.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "params/MavParamsController.h"
#include "protocol/MavCmdRequestMessage.h"
#include "protocol/MavProtocolProcesser.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoDefs.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>

using nlohmann::json;

namespace {

using RespSignal = void (VehicleController::*)(int);

struct TrackedAction {
    const char* name;
    RespSignal resp;
};

constexpr TrackedAction kTrackedActions[] = {
    {"takeoff", &VehicleController::takeoffResp}, {"returnHome", &VehicleController::returnHomeResp},
    {"suspend", &VehicleController::suspendResp}, {"resume", &VehicleController::resumeResp},
    {"land", &VehicleController::landResp},       {"runMission", &VehicleController::missionRunningResp},
};

const TrackedAction* findAction(const std::string& action)
{
    for (const auto& a : kTrackedActions)
        if (action == a.name)
            return &a;
    return nullptr;
}

using ParamsResp = void (MavParamsController::*)(int);

struct ParamsGroupSignals {
    const char* group;
    uint8_t cmd;
    ParamsResp read;
    ParamsResp write;
};

constexpr ParamsGroupSignals kParamsGroupSignals[] = {
    {"basic", MavCmd::BasicParams, &MavParamsController::basicParamsReadResp,
     &MavParamsController::basicParamsWriteResp},
    {"stab", MavCmd::AttitudeParams, &MavParamsController::stabCtrlParamsReadResp,
     &MavParamsController::stabCtrlParamsWriteResp},
    {"pos", MavCmd::PositionParams, &MavParamsController::posCtrlParamsReadResp,
     &MavParamsController::posCtrlParamsWriteResp},
    {"res", MavCmd::ResParams, &MavParamsController::resParamsReadResp, &MavParamsController::resParamsWriteResp},
    {"fixedStab", MavCmd::FixedAttitudeParams, &MavParamsController::fixedStabCtrlParamsReadResp,
     &MavParamsController::fixedStabCtrlParamsWriteResp},
    {"fixedPos", MavCmd::FixedPositionParams, &MavParamsController::fixedPosCtrlParamsReadResp,
     &MavParamsController::fixedPosCtrlParamsWriteResp},
};

const char* levelName(OstLogLevel level)
{
    switch (level) {
    case OstLogLevel::Debug: return "debug";
    case OstLogLevel::Info: return "info";
    case OstLogLevel::Warning: return "warning";
    case OstLogLevel::Error: return "error";
    }
    return "info";
}

}  // namespace

GcsCliOutcomeRecorder::GcsCliOutcomeRecorder(GcsApplication* app, QObject* parent)
    : QObject(parent)
    , m_app(app)
{
    m_clock.start();
    m_nfz = new GcsCliNfzOutcomes(this);
    m_firmware = new GcsCliFirmwareOutcomes(this);
    m_account = new GcsCliAccountOutcomes(this);
    attach();
}

GcsCliOutcomeRecorder::~GcsCliOutcomeRecorder()
{
    // Connections to longer-lived objects go with this object; nothing else to release.
}

void GcsCliOutcomeRecorder::attach()
{
    GcsAppController* ctrl = m_app ? m_app->appCtrler() : nullptr;
    GcsConsoleHandler* console = ctrl ? ctrl->consoleHandler().get() : nullptr;
    if (console != m_console.data()) {
        disconnect(m_consoleConnection);
        m_console = console;
        if (console)
            m_consoleConnection =
                connect(console, &GcsConsoleHandler::logOutput, this, &GcsCliOutcomeRecorder::appendConsoleLine);
    }
    if (ctrl)
        bindMissions(ctrl->missionsCtrler().get());
    m_nfz->attach(ctrl);
    m_account->attach(ctrl);
    MultiVehicleManager* vehicleMgr = ctrl ? ctrl->multiVehicleMgr() : nullptr;
    m_firmware->followVehicles(vehicleMgr);
    if (vehicleMgr && vehicleMgr != m_vehicleMgr.data()) {
        m_vehicleMgr = vehicleMgr;
        connect(vehicleMgr, &MultiVehicleManager::vehicleJoined, this, &GcsCliOutcomeRecorder::bindVehicle);
        for (const auto& vehicle : vehicleMgr->vehicleList())
            bindVehicle(vehicle);
    }
}

void GcsCliOutcomeRecorder::bindMissions(MavMissionsController* missions)
{
    if (!missions || missions == m_missions.data())
        return;
    m_missions = missions;
    auto routeId = [](const std::shared_ptr<MavFlightRouteDataItem>& route) {
        return route ? route->id().toStdString() : std::string();
    };
    connect(missions, &MavMissionsController::flightRouteUploadingStarted, this,
            [this, routeId](std::shared_ptr<MavFlightRouteDataItem> route) {
                ++m_uploads.started;
                m_uploads.lastRouteId = routeId(route);
            });
    connect(missions, &MavMissionsController::flightRouteUploadingFinished, this,
            [this, routeId, missions](std::shared_ptr<MavFlightRouteDataItem> route, int ret) {
                ++m_uploads.finished;
                m_uploads.lastResult = ret;
                m_uploads.lastRouteId = routeId(route);
                static const char* const states[] = {"none", "pending", "verified", "differs", "unverified"};
                const auto& v = missions->lastVerify();
                json verify = {{"state", states[v.state]}};
                if (v.state == MavMissionsController::VerifyOutcome::Differs) {
                    verify["firstDifferentWayPoint"] = v.firstDifferentWayPoint;
                    verify["difference"] = v.difference.toStdString();
                }
                if (v.state == MavMissionsController::VerifyOutcome::Unverified)
                    verify["readBackResult"] = v.readBackResult;
                m_uploads.detail = {{"verify", std::move(verify)}};
            });
    // A download has no started signal of its own: its flag rising counts.
    connect(missions, &MavMissionsController::isDownloadingChanged, this, [this, missions, routeId] {
        if (missions->isDownloading()) {
            ++m_downloads.started;
            m_downloads.lastRouteId = routeId(missions->activeFlightRoute());
        }
    });
    connect(missions, &MavMissionsController::flightRouteDownloadingFinished, this,
            [this, routeId, missions](std::shared_ptr<MavFlightRouteDataItem> route, int ret) {
                ++m_downloads.finished;
                m_downloads.lastResult = ret;
                m_downloads.lastRouteId = routeId(route);
                // 0 with a result of 0: the vehicle holds no route, nothing was written.
                m_downloads.detail = {
                    {"wayPointCount", missions->lastDownloadWayPointCount()},
                    {"newRouteId", missions->lastNewRoute() ? json(routeId(missions->lastNewRoute())) : json(nullptr)}};
            });
}

nlohmann::json GcsCliOutcomeRecorder::missionTransfers() const
{
    auto counts = [](const TransferCounts& c) {
        json out = {{"started", c.started},
                    {"finished", c.finished},
                    {"lastResult", c.lastResult ? json(*c.lastResult) : json(nullptr)},
                    {"lastRouteId", c.lastRouteId.empty() ? json(nullptr) : json(c.lastRouteId)}};
        out.update(c.detail);
        return out;
    };
    return {{"upload", counts(m_uploads)}, {"download", counts(m_downloads)}};
}

void GcsCliOutcomeRecorder::bindVehicle(const std::shared_ptr<VehicleController>& vehicle)
{
    VehicleController* raw = vehicle.get();
    const auto params = vehicle ? vehicle->paramsCtrler() : nullptr;
    if (!params || !m_boundVehicles.insert(raw).second)
        return;
    connect(raw, &QObject::destroyed, this, [this, raw] { forgetVehicle(raw); });
    // Values read before an outage may have changed on the vehicle (a swapped battery, a reflash).
    connect(raw, &VehicleController::vehicleAliveChanged, this, [this, raw](bool) {
        for (auto& [group, state] : m_paramsRead[raw])
            state.readSinceAlive = false;
    });
    for (const auto& g : kParamsGroupSignals) {
        const std::string group = g.group;
        connect(params.get(), g.read, this, [this, raw, group](int ret) {
            auto& state = m_paramsRead[raw][group];
            state.lastCode = ret;
            state.readSinceAlive = state.readSinceAlive || ret == GcsRet::Success;
            resolveParams(raw, raw->vehicleId(), group, false, ret);
        });
        connect(params.get(), g.write, this,
                [this, raw, group](int ret) { resolveParams(raw, raw->vehicleId(), group, true, ret); });
    }
    // The controller announces read time-outs only; an unanswered write ends here.
    connect(raw, &VehicleController::mavAckTimeout, this, [this, raw](std::shared_ptr<MavCmdRequestMessage> req) {
        if (!req || !req->pframe || req->expectedDataLen != 1)
            return;
        for (const auto& g : kParamsGroupSignals)
            if (g.cmd == req->pframe->cmd)
                resolveParams(raw, raw->vehicleId(), g.group, true, GcsRet::Timeout);
    });
}

void GcsCliOutcomeRecorder::trackParams(int64_t requestId, const std::string& action,
                                        const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                        bool write)
{
    bindVehicle(vehicle);
    Command& command = m_commands[requestId];
    command.action = action;
    command.vehicleIds = {vehicle->vehicleId()};
    m_paramsWaiting[{vehicle.get(), group, write}].push_back({requestId, m_clock.elapsed()});
    while (m_commands.size() > kMaxCommands)
        m_commands.erase(m_commands.begin());
}

void GcsCliOutcomeRecorder::resolveParams(VehicleController* vehicle, int vehicleId, const std::string& group,
                                          bool write, int result)
{
    auto it = m_paramsWaiting.find({vehicle, group, write});
    if (it == m_paramsWaiting.end() || it->second.empty())
        return;  // the controller's own read after the vehicle came alive, or another sender's
    const int64_t requestId = it->second.front().requestId;
    it->second.pop_front();
    if (auto c = m_commands.find(requestId); c != m_commands.end())
        c->second.results[vehicleId] = result;
    spdlog::debug("<cli-outcomes> params {} of group {} (request {}) answered {}", write ? "write" : "read", group,
                  requestId, result);
}

GcsCliOutcomeRecorder::ParamsReadState GcsCliOutcomeRecorder::paramsReadState(const VehicleController* vehicle,
                                                                              const std::string& group) const
{
    const auto v = m_paramsRead.find(const_cast<VehicleController*>(vehicle));
    if (v == m_paramsRead.end())
        return {};
    const auto g = v->second.find(group);
    return g == v->second.end() ? ParamsReadState{} : g->second;
}

bool GcsCliOutcomeRecorder::paramsBusy(const VehicleController* vehicle)
{
    const int64_t now = m_clock.elapsed();
    bool busy = false;
    for (auto& [key, waits] : m_paramsWaiting) {
        if (std::get<0>(key) != vehicle)
            continue;
        while (!waits.empty() && now - waits.front().sentMs > kParamsStaleMs)
            resolveParams(std::get<0>(key), vehicle->vehicleId(), std::get<1>(key), std::get<2>(key), GcsRet::Timeout);
        busy = busy || !waits.empty();
    }
    return busy;
}

void GcsCliOutcomeRecorder::appendConsoleLine(OstLogLevel level, const QString& text)
{
    m_lines.push_back({m_nextSeq++, QDateTime::currentMSecsSinceEpoch(), level, text});
    while (m_lines.size() > kMaxConsoleLines)
        m_lines.pop_front();
}

json GcsCliOutcomeRecorder::consoleTail(std::optional<int64_t> since, size_t limit) const
{
    auto first = m_lines.begin();
    if (since)
        first = std::find_if(m_lines.begin(), m_lines.end(), [&](const ConsoleLine& l) { return l.seq >= *since; });
    else if (m_lines.size() > limit)
        first = m_lines.end() - std::ptrdiff_t(limit);
    json lines = json::array();
    int64_t nextSeq = since ? std::min(*since, m_nextSeq) : m_nextSeq;
    for (auto it = first; it != m_lines.end() && lines.size() < limit; ++it) {
        lines.push_back({{"seq", it->seq},
                         {"time", QDateTime::fromMSecsSinceEpoch(it->timeMs).toString(Qt::ISODateWithMs).toStdString()},
                         {"level", levelName(it->level)},
                         {"text", it->text.toStdString()}});
        nextSeq = it->seq + 1;
    }
    return {{"lines", std::move(lines)}, {"nextSeq", nextSeq}};
}

bool GcsCliOutcomeRecorder::isTrackedAction(const std::string& action)
{
    return findAction(action) != nullptr;
}

void GcsCliOutcomeRecorder::trackCommand(int64_t requestId, const std::string& action,
                                         const std::vector<std::shared_ptr<VehicleController>>& vehicles)
{
    const TrackedAction* tracked = findAction(action);
    if (!tracked)
        return;
    Command& command = m_commands[requestId];
    command.action = action;
    for (const auto& vehicle : vehicles) {
        VehicleController* raw = vehicle.get();
        const int vehicleId = vehicle->vehicleId();
        command.vehicleIds.push_back(vehicleId);
        const WaitKey key{raw, action};
        m_waiting[key].push_back(requestId);
        if (!m_respConnections.count(key)) {
            m_respConnections[key] = connect(raw, tracked->resp, this, [this, key, vehicleId](int result) {
                resolveOldest(key, vehicleId, result);
            });
            connect(raw, &QObject::destroyed, this, [this, raw] { forgetVehicle(raw); });
        }
    }
    while (m_commands.size() > kMaxCommands)
        m_commands.erase(m_commands.begin());
}

void GcsCliOutcomeRecorder::resolveOldest(const WaitKey& key, int vehicleId, int result)
{
    auto it = m_waiting.find(key);
    if (it == m_waiting.end() || it->second.empty())
        return;  // an answer to a command this endpoint did not send
    const int64_t requestId = it->second.front();
    it->second.pop_front();
    if (auto c = m_commands.find(requestId); c != m_commands.end())
        c->second.results[vehicleId] = result;
    spdlog::debug("<cli-outcomes> request {} on vehicle {} answered {}", requestId, vehicleId, result);
}

void GcsCliOutcomeRecorder::forgetVehicle(VehicleController* vehicle)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();)
        it = it->first.first == vehicle ? m_waiting.erase(it) : std::next(it);
    for (auto it = m_respConnections.begin(); it != m_respConnections.end();)
        it = it->first.first == vehicle ? m_respConnections.erase(it) : std::next(it);
    for (auto it = m_paramsWaiting.begin(); it != m_paramsWaiting.end();)
        it = std::get<0>(it->first) == vehicle ? m_paramsWaiting.erase(it) : std::next(it);
    m_paramsRead.erase(vehicle);
    m_boundVehicles.erase(vehicle);
}

std::optional<json> GcsCliOutcomeRecorder::commandStatus(int64_t requestId) const
{
    const auto it = m_commands.find(requestId);
    if (it == m_commands.end())
        return std::nullopt;
    const Command& c = it->second;
    json results = json::array();
    bool timedOut = false;
    for (const auto& [vehicleId, code] : c.results) {
        timedOut = timedOut || code == GcsRet::Timeout;
        results.push_back(
            {{"vehicleId", vehicleId}, {"code", code}, {"text", VehicleUtil::gcsRetToString(code).toStdString()}});
    }
    const char* state = timedOut ? "timedOut" : c.results.size() == c.vehicleIds.size() ? "done" : "pending";
    return json{{"requestId", requestId},
                {"vehicleIds", c.vehicleIds},
                {"action", c.action},
                {"state", state},
                {"results", std::move(results)}};
}
