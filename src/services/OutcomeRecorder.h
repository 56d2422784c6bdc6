#pragma once
// What happened to each request the services sent, kept between requests and across link
// cycles (a retired vehicle's answers stay readable by request id): the outcome of every flight
// command, which parameter reads and writes are unanswered and, per vehicle and group, whether a
// read succeeded since the vehicle last came alive (a write never sends values that were not read
// from that vehicle), and the last console lines. Main thread only.

#include "OstLogLevel.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

class GcsConsoleHandler;
class MultiVehicleManager;
class VehicleController;

namespace svc {

// Request ids of vehicle operations; they keep rising across connections and front ends.
int64_t nextRequestId();

struct CommandOutcome {
    enum class State { Pending, Done, TimedOut };
    struct VehicleResult {
        int vehicleId = 0;
        int code = 0;
        std::string text;
    };
    int64_t requestId = 0;
    std::string action;
    std::vector<int> vehicleIds;
    State state = State::Pending;
    std::vector<VehicleResult> results;
};

const char* stateName(CommandOutcome::State state);

struct ConsoleLine {
    int64_t seq = 0;
    int64_t timeMs = 0;  // since the epoch
    OstLogLevel level = OstLogLevel::Info;
    QString text;
};

struct ConsoleTail {
    std::vector<ConsoleLine> lines;
    int64_t nextSeq = 0;
};

struct ParamsReadState {
    bool readSinceAlive = false;
    std::optional<int> lastCode;  // result of the group's last read; nothing if never answered
};

class OutcomeRecorder : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxConsoleLines = 1000;
    static constexpr size_t kMaxCommands = 1000;
    // A parameter request left unanswered this long counts as timed out (a write whose packer
    // refused its values sends nothing).
    static constexpr int64_t kParamsStaleMs = 10000;

    OutcomeRecorder(MultiVehicleManager* vehicles, GcsConsoleHandler* console, QObject* parent = nullptr);

    // The actions whose answers can be followed.
    static bool isTrackedAction(const std::string& action);
    // Call before the command is sent: a refusal may be answered synchronously.
    void trackCommand(int64_t requestId, const std::string& action,
                      const std::vector<std::shared_ptr<VehicleController>>& vehicles);
    std::optional<CommandOutcome> commandOutcome(int64_t requestId) const;

    ConsoleTail consoleTail(std::optional<int64_t> since, size_t limit) const;

    ParamsReadState paramsReadState(const VehicleController* vehicle, const std::string& group) const;
    // Whether a parameter read or write (only a write, with writesOnly) sent through the services
    // is unanswered.
    bool paramsBusy(const VehicleController* vehicle, bool writesOnly = false);
    // Call before the read or write is sent; its outcome shows in commandOutcome under `action`.
    void trackParams(int64_t requestId, const std::string& action, const std::shared_ptr<VehicleController>& vehicle,
                     const std::string& group, bool write);

private:
    struct Command {
        std::string action;
        std::vector<int> vehicleIds;
        std::map<int, int> results;  // vehicle id -> result code, once answered
    };
    // Unanswered requests of one action on one vehicle controller, oldest first.
    using WaitKey = std::pair<VehicleController*, std::string>;
    struct ParamsWait {
        int64_t requestId = 0;
        int64_t sentMs = 0;
    };

    void appendConsoleLine(OstLogLevel level, const QString& text);
    void resolveOldest(const WaitKey& key, int vehicleId, int result);
    void forgetVehicle(VehicleController* vehicle);
    void bindVehicle(const std::shared_ptr<VehicleController>& vehicle);
    void resolveParams(VehicleController* vehicle, int vehicleId, const std::string& group, bool write, int result);
    void keepCommandsBounded();

    std::deque<ConsoleLine> m_lines;
    int64_t m_nextSeq = 1;
    std::map<int64_t, Command> m_commands;
    std::map<WaitKey, std::deque<int64_t>> m_waiting;
    std::map<WaitKey, QMetaObject::Connection> m_respConnections;
    std::set<VehicleController*> m_boundVehicles;
    std::map<VehicleController*, std::map<std::string, ParamsReadState>> m_paramsRead;
    // (vehicle, group, write) -> unanswered requests, oldest first.
    std::map<std::tuple<VehicleController*, std::string, bool>, std::deque<ParamsWait>> m_paramsWaiting;
    QElapsedTimer m_clock;
};

}  // namespace svc
