#pragma once
// What the CLI endpoint remembers between requests, so that the command router can stay
// stateless: the last console lines, the outcome of every control command it sent, the time of
// each vehicle's last telemetry frame and heartbeat, and per vehicle and parameter group whether
// a read succeeded since the vehicle last came alive (so that a write never sends values that
// were not read from that vehicle) and which parameter reads and writes it sent are unanswered,
// each vehicle's firmware update (GcsCliFirmwareOutcomes) and the account operations
// (GcsCliAccountOutcomes).
//
// It binds itself to the app controller's console and to the active link manager's protocol
// processor; attach() repeats the binding (the app controller may be set after the endpoint).
// All calls belong on the main thread.

#include "OstLogLevel.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

class GcsApplication;
class GcsCliAccountOutcomes;
class GcsCliNfzOutcomes;
class GcsCliFirmwareOutcomes;
class GcsConsoleHandler;
class LinkManager;
class MavProtocolProcesser;
class MavMissionsController;
class MultiVehicleManager;
class VehicleController;

class GcsCliOutcomeRecorder : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxConsoleLines = 1000;
    static constexpr size_t kMaxCommands = 1000;

    explicit GcsCliOutcomeRecorder(GcsApplication* app, QObject* parent = nullptr);
    ~GcsCliOutcomeRecorder() override;

    void attach();

    // The actions whose answers can be followed; the router offers exactly these.
    static bool isTrackedAction(const std::string& action);
    // Call before the command is sent: a refusal may be answered synchronously.
    void trackCommand(int64_t requestId, const std::string& action,
                      const std::vector<std::shared_ptr<VehicleController>>& vehicles);
    // {"requestId","vehicleIds","action","state","results"}, or nothing for an unknown id.
    std::optional<nlohmann::json> commandStatus(int64_t requestId) const;

    // Route transfers counted from the missions controller's signals:
    // {"upload": {"started","finished","lastResult","lastRouteId"}, "download": {...}}.
    nlohmann::json missionTransfers() const;

    // No-fly-zone syncs and transfers (nfz.status).
    GcsCliNfzOutcomes& nfz() const { return *m_nfz; }

    // Firmware updates of every vehicle (firmware.status).
    GcsCliFirmwareOutcomes& firmware() const { return *m_firmware; }

    // Login and account vehicle operations (account.status).
    GcsCliAccountOutcomes& account() const { return *m_account; }

    // Lines with seq >= since (oldest first, at most limit), or without since the last limit lines.
    nlohmann::json consoleTail(std::optional<int64_t> since, size_t limit) const;

    // Milliseconds since the vehicle's last telemetry frame / heartbeat; nothing if never.

    struct ParamsReadState {
        bool readSinceAlive = false;
        std::optional<int> lastCode;  // result of the group's last read; nothing if never answered
    };
    ParamsReadState paramsReadState(const VehicleController* vehicle, const std::string& group) const;
    // A group read or write sent through here is unanswered. One left without an answer for
    // kParamsStaleMs counts as timed out (a write whose packer refused its values sends nothing).
    bool paramsBusy(const VehicleController* vehicle);
    // Call before the read or write is sent; its outcome shows in commandStatus under `action`.
    void trackParams(int64_t requestId, const std::string& action, const std::shared_ptr<VehicleController>& vehicle,
                     const std::string& group, bool write);

    static constexpr int64_t kParamsStaleMs = 10000;

private:
    struct ConsoleLine {
        int64_t seq = 0;
        int64_t timeMs = 0;
        OstLogLevel level = OstLogLevel::Info;
        QString text;
    };
    struct Command {
        std::string action;
        std::vector<int> vehicleIds;
        std::map<int, int> results;  // vehicle id -> result code, once answered
    };
    // Unanswered requests of one action on one vehicle controller, oldest first.
    using WaitKey = std::pair<VehicleController*, std::string>;

    void appendConsoleLine(OstLogLevel level, const QString& text);
    void resolveOldest(const WaitKey& key, int vehicleId, int result);
    void forgetVehicle(VehicleController* vehicle);
    void bindVehicle(const std::shared_ptr<VehicleController>& vehicle);
    void bindMissions(MavMissionsController* missions);
    void resolveParams(VehicleController* vehicle, int vehicleId, const std::string& group, bool write, int result);

    GcsApplication* m_app = nullptr;
    QPointer<GcsConsoleHandler> m_console;
    QMetaObject::Connection m_consoleConnection;
    QPointer<MavProtocolProcesser> m_processer;
    std::vector<QMetaObject::Connection> m_linkConnections;

    std::deque<ConsoleLine> m_lines;
    int64_t m_nextSeq = 1;

    std::map<int64_t, Command> m_commands;
    std::map<WaitKey, std::deque<int64_t>> m_waiting;
    std::map<WaitKey, QMetaObject::Connection> m_respConnections;

    QPointer<MultiVehicleManager> m_vehicleMgr;
    GcsCliNfzOutcomes* m_nfz = nullptr;  // a child
    GcsCliFirmwareOutcomes* m_firmware = nullptr;  // a child
    GcsCliAccountOutcomes* m_account = nullptr;  // a child
    std::set<VehicleController*> m_boundVehicles;
    std::map<VehicleController*, std::map<std::string, ParamsReadState>> m_paramsRead;
    struct ParamsWait {
        int64_t requestId = 0;
        int64_t sentMs = 0;
    };
    // (vehicle, group, write) -> unanswered requests, oldest first.
    std::map<std::tuple<VehicleController*, std::string, bool>, std::deque<ParamsWait>> m_paramsWaiting;

    struct TransferCounts {
        int64_t started = 0;
        int64_t finished = 0;
        std::optional<int> lastResult;
        std::string lastRouteId;
        nlohmann::json detail = nlohmann::json::object();  // the last finished transfer's own keys
    };
    TransferCounts m_uploads;
    TransferCounts m_downloads;
    QPointer<QObject> m_missions;

    QElapsedTimer m_clock;
};
