#include "OutcomeRecorder.h"

#include "common/GcsConsoleHandler.h"
#include "params/MavParamsController.h"
#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include "MavProtoDefs.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>

namespace svc {
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

}  // namespace

int64_t nextRequestId()
{
    static std::atomic<int64_t> next{1};
    return next.fetch_add(1);
}

const char* stateName(CommandOutcome::State state)
{
    switch (state) {
    case CommandOutcome::State::Pending: return "pending";
    case CommandOutcome::State::Done: return "done";
    case CommandOutcome::State::TimedOut: return "timedOut";
    }
    return "pending";
}

OutcomeRecorder::OutcomeRecorder(MultiVehicleManager* vehicles, GcsConsoleHandler* console, QObject* parent)
    : QObject(parent)
{
    m_clock.start();
    if (console)
        connect(console, &GcsConsoleHandler::logOutput, this, &OutcomeRecorder::appendConsoleLine);
    if (vehicles) {
        connect(vehicles, &MultiVehicleManager::vehicleJoined, this, &OutcomeRecorder::bindVehicle);
        for (const auto& vehicle : vehicles->vehicleList())
            bindVehicle(vehicle);
    }
}

void OutcomeRecorder::bindVehicle(const std::shared_ptr<VehicleController>& vehicle)
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

void OutcomeRecorder::keepCommandsBounded()
{
    while (m_commands.size() > kMaxCommands)
        m_commands.erase(m_commands.begin());
}

void OutcomeRecorder::trackParams(int64_t requestId, const std::string& action,
                                  const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                  bool write)
{
    bindVehicle(vehicle);
    Command& command = m_commands[requestId];
    command.action = action;
    command.vehicleIds = {vehicle->vehicleId()};
    m_paramsWaiting[{vehicle.get(), group, write}].push_back({requestId, m_clock.elapsed()});
    keepCommandsBounded();
}

void OutcomeRecorder::resolveParams(VehicleController* vehicle, int vehicleId, const std::string& group, bool write,
                                    int result)
{
    auto it = m_paramsWaiting.find({vehicle, group, write});
    if (it == m_paramsWaiting.end() || it->second.empty())
        return;  // the controller's own read after the vehicle came alive, or another sender's
    const int64_t requestId = it->second.front().requestId;
    it->second.pop_front();
    if (auto c = m_commands.find(requestId); c != m_commands.end())
        c->second.results[vehicleId] = result;
    spdlog::debug("<outcomes> params {} of group {} (request {}) answered {}", write ? "write" : "read", group,
                  requestId, result);
}

ParamsReadState OutcomeRecorder::paramsReadState(const VehicleController* vehicle, const std::string& group) const
{
    const auto v = m_paramsRead.find(const_cast<VehicleController*>(vehicle));
    if (v == m_paramsRead.end())
        return {};
    const auto g = v->second.find(group);
    return g == v->second.end() ? ParamsReadState{} : g->second;
}

bool OutcomeRecorder::paramsBusy(const VehicleController* vehicle, bool writesOnly)
{
    const int64_t now = m_clock.elapsed();
    bool busy = false;
    for (auto& [key, waits] : m_paramsWaiting) {
        if (std::get<0>(key) != vehicle || (writesOnly && !std::get<2>(key)))
            continue;
        while (!waits.empty() && now - waits.front().sentMs > kParamsStaleMs)
            resolveParams(std::get<0>(key), vehicle->vehicleId(), std::get<1>(key), std::get<2>(key), GcsRet::Timeout);
        busy = busy || !waits.empty();
    }
    return busy;
}

void OutcomeRecorder::appendConsoleLine(OstLogLevel level, const QString& text)
{
    m_lines.push_back({m_nextSeq++, QDateTime::currentMSecsSinceEpoch(), level, text});
    while (m_lines.size() > kMaxConsoleLines)
        m_lines.pop_front();
}

ConsoleTail OutcomeRecorder::consoleTail(std::optional<int64_t> since, size_t limit) const
{
    auto first = m_lines.begin();
    if (since)
        first = std::find_if(m_lines.begin(), m_lines.end(), [&](const ConsoleLine& l) { return l.seq >= *since; });
    else if (m_lines.size() > limit)
        first = m_lines.end() - std::ptrdiff_t(limit);
    ConsoleTail tail;
    tail.nextSeq = since ? std::min(*since, m_nextSeq) : m_nextSeq;
    for (auto it = first; it != m_lines.end() && tail.lines.size() < limit; ++it) {
        tail.lines.push_back(*it);
        tail.nextSeq = it->seq + 1;
    }
    return tail;
}

bool OutcomeRecorder::isTrackedAction(const std::string& action)
{
    return findAction(action) != nullptr;
}

void OutcomeRecorder::trackCommand(int64_t requestId, const std::string& action,
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
    keepCommandsBounded();
}

void OutcomeRecorder::resolveOldest(const WaitKey& key, int vehicleId, int result)
{
    auto it = m_waiting.find(key);
    if (it == m_waiting.end() || it->second.empty())
        return;  // an answer to a command the services did not send
    const int64_t requestId = it->second.front();
    it->second.pop_front();
    if (auto c = m_commands.find(requestId); c != m_commands.end())
        c->second.results[vehicleId] = result;
    spdlog::debug("<outcomes> request {} on vehicle {} answered {}", requestId, vehicleId, result);
}

void OutcomeRecorder::forgetVehicle(VehicleController* vehicle)
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

std::optional<CommandOutcome> OutcomeRecorder::commandOutcome(int64_t requestId) const
{
    const auto it = m_commands.find(requestId);
    if (it == m_commands.end())
        return std::nullopt;
    const Command& c = it->second;
    CommandOutcome out;
    out.requestId = requestId;
    out.action = c.action;
    out.vehicleIds = c.vehicleIds;
    bool timedOut = false;
    for (const auto& [vehicleId, code] : c.results) {
        timedOut = timedOut || code == GcsRet::Timeout;
        out.results.push_back({vehicleId, code, VehicleUtil::gcsRetToString(code).toStdString()});
    }
    out.state = timedOut                                   ? CommandOutcome::State::TimedOut
                : c.results.size() == c.vehicleIds.size() ? CommandOutcome::State::Done
                                                           : CommandOutcome::State::Pending;
    return out;
}

}  // namespace svc
