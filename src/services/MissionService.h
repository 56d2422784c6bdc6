#pragma once
// Routes to and from any vehicle, and mission start, with the rules of when they may run.
//
// Transfers are addressed: upload(vehicle, route) and download(vehicle, ...) leave the operator's
// active vehicle and active route as they are. The station runs one route transfer at a time
// (the missions controller holds one request chain, and on a shared radio a second chain would
// halve both); a request for another vehicle while one runs is accepted at once with its place
// in the queue (queuePosition 1 is next) and starts when its turn comes, after its checks run
// again. A vehicle takes one operation at a time (OperationGate): a transfer for a vehicle that
// is busy, or already has a transfer queued or running, is refused, naming what it is busy with.
//
// The station keeps, per vehicle id, what it last put on that vehicle (UploadRecord): the route,
// a hash of the records sent, the result, whether the read-back matched, when. mission start
// refuses, saying why, when that upload failed, was never made from this station, is still
// running, or its route changed or was deleted since; and when the uploaded route no longer
// passes the route check against the zones and limits of that moment. `force` sends it anyway.
// Records live as long as the station runs; after a restart nothing is known, so a start needs
// a new upload or `force`.
//
// Every transfer has a request id and a TransferRecord that outlives its vehicle object
// (transfer()); transferFinished reports each one once, queued ones included.

#include "services/CommandService.h"
#include "services/RouteService.h"
#include "services/ServiceResult.h"

#include "mission/MavMissionsController.h"
#include "mission/MavRouteChecker.h"

#include <QElapsedTimer>
#include <QObject>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class NfzZoneManager;
class VehicleController;

namespace svc {

class OperationGate;
class VehicleDirectory;

enum class TransferKind { Upload, Download, DownloadNewRoute, DownloadScratch };
const char* kindName(TransferKind kind);

// The check's findings (violations, and what could not be checked) and what it looked at.
struct RouteCheck {
    std::string routeId;
    MavRouteCheckReport report;
    bool passed() const { return report.passed(); }
};

struct UploadOptions {
    bool force = false;  // upload despite check findings
    bool verify = false;  // read the route back and compare
};

struct TransferTicket {
    int64_t requestId = 0;
    TransferKind kind = TransferKind::Upload;
    int vehicleId = 0;
    std::string routeId;  // empty for a download into a new or scratch route
    int wayPointCount = 0;
    int queuePosition = 0;  // 0: started now; n: n-th in line
    std::vector<MavRouteFinding> findings;  // of the check before an upload (forced, or unchecked only)
    MavRouteCheckReport checked;  // what that check looked at
};

struct TransferRecord {
    enum class State { Queued, Running, Done };
    int64_t requestId = 0;
    TransferKind kind = TransferKind::Upload;
    int vehicleId = 0;
    std::string routeId;
    State state = State::Queued;
    int result = 0;  // with Done: 0, the vehicle's result, 5000, -2006, -2102, or kResultRefused
    std::string message;  // with Done: the outcome in words
    MavMissionsController::VerifyOutcome verify;
    int wayPointCount = 0;  // downloads: what the vehicle reported
    std::string newRouteId;  // a download into a new route
    RoutePtr scratch;  // a scratch download's route (not stored)
    bool verifyRequested = false;
    bool force = false;
};

// Why a queued transfer never started: its checks failed when its turn came.
constexpr int kResultRefused = -2200;

struct UploadRecord {
    int64_t requestId = 0;
    std::string routeId;
    std::string contentHash;  // of the basic record and every waypoint record sent
    int wayPointCount = 0;
    std::optional<int> result;  // nothing while the upload runs
    MavMissionsController::VerifyOutcome::State verify = MavMissionsController::VerifyOutcome::None;
    int64_t timeMs = 0;  // since the epoch
};

struct TransferCounts {
    int64_t started = 0;
    int64_t finished = 0;
    std::optional<int> lastResult;
    std::string lastRouteId;
};

class MissionService : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxQueued = 32;
    static constexpr size_t kMaxRecords = 256;

    MissionService(VehicleDirectory& directory, OperationGate& gate, CommandService& commands, RouteService& routes,
                   std::shared_ptr<MavMissionsController> missions, QObject* parent = nullptr);

    // What stands against flying `route` with `vehicle` (null: no vehicle limits).
    RouteCheck check(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route) const;

    Result<TransferTicket> upload(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route,
                                  UploadOptions options = {});
    // `into` Upload is not a download; `route` is the target of TransferKind::Download only.
    Result<TransferTicket> download(const std::shared_ptr<VehicleController>& vehicle, TransferKind into,
                                    const RoutePtr& route = nullptr);
    Result<CommandTicket> start(const std::shared_ptr<VehicleController>& vehicle, bool force = false);

    std::optional<TransferRecord> transfer(int64_t requestId) const;
    // The vehicle's transfers, newest first (at most `limit`).
    std::vector<TransferRecord> transfersOf(int vehicleId, size_t limit = 10) const;
    std::optional<UploadRecord> lastUpload(int vehicleId) const;
    // The last finished upload (or download) of any vehicle: the details of uploads()/downloads().
    std::optional<TransferRecord> lastFinished(bool upload) const;
    bool hasTransferFor(int vehicleId) const;
    const TransferCounts& uploads() const { return m_uploads; }
    const TransferCounts& downloads() const { return m_downloads; }
    bool isUploading() const { return m_missions && m_missions->isUploading(); }
    bool isDownloading() const { return m_missions && m_missions->isDownloading(); }
    size_t queued() const { return m_queue.size(); }

    static std::string contentHash(const MavFlightRouteDataItem& route);

signals:
    void transferFinished(const svc::TransferRecord& record);

private:
    Status transferChecks(const VehicleController& vehicle, TransferKind kind) const;
    Status uploadChecks(const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route,
                        const UploadOptions& options, MavRouteCheckReport& checked) const;
    Result<TransferTicket> enqueue(TransferRecord record, const std::shared_ptr<VehicleController>& vehicle,
                                   const RoutePtr& route);
    // Starts `record` now; false with its record finished when the controller refused.
    bool begin(TransferRecord& record, const std::shared_ptr<VehicleController>& vehicle, const RoutePtr& route);
    void startNext();
    void finish(int64_t requestId, int result, std::string message);
    void onUploadFinished(const RoutePtr& route, int ret);
    void onDownloadFinished(const RoutePtr& route, int ret);
    TransferRecord* recordOf(int64_t requestId);
    Status startChecks(const VehicleController& vehicle) const;

    struct Pending {
        int64_t requestId = 0;
        std::weak_ptr<VehicleController> vehicle;
        RoutePtr route;
        UploadOptions options;
    };

    VehicleDirectory& m_directory;
    OperationGate& m_gate;
    CommandService& m_commands;
    RouteService& m_routes;
    std::shared_ptr<MavMissionsController> m_missions;
    std::deque<Pending> m_queue;
    std::optional<int64_t> m_running;
    std::map<int64_t, TransferRecord> m_records;
    std::map<int, UploadRecord> m_lastUpload;  // vehicle id -> what this station last put on it
    TransferCounts m_uploads;
    TransferCounts m_downloads;
};

}  // namespace svc
