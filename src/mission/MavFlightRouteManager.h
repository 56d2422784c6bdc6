#pragma once
// The user's flight routes on disk and in memory. Files live in the flight route cache directory
// taken at construction: "index.fridx" (JSON array of route ids, in first-save order), one
// "<id>.frd" per route (the route JSON) and "default_waypoint.json" (the template waypoint).
//
// All file work except the default waypoint runs on one worker thread, one operation at a time;
// an operation asked for while one runs is refused (saves and removals log and return false,
// export and import are ignored). Results reach the main thread through queued signals and the
// routes are built there. Progress signals of export and import come from the worker thread.
//
// Choices where the design was open:
// - Without a cache directory (no application cache path) nothing touches the disk: each
//   operation logs; routes still live in memory.
// - Files are replaced through QSaveFile, unbuffered: a crash leaves the old or the new file.
//   A refresh deletes temporaries such a crash left in the cache directory.
// - Ids name files, so only UUID texts are accepted as ids: index entries that are not, and
//   routes whose id is not, are skipped with a warning (nothing is written outside the folders).
// - A route file that does not parse, holds members of the wrong kind or another id, is skipped
//   with a warning. An index that is missing or not a JSON array is rebuilt from the valid route
//   files of its folder, oldest file first, with one warning (and written back in the cache):
//   the files are the truth, and reading a broken index as empty would let the next save write
//   an index of one route and lose the others at the next start. Nothing is deleted.
// - Export and import copy only between the cache and the named folder, each file atomically.
//   Import copies a route only once its file parses, is a route of a known type under its own
//   UUID and builds every waypoint; a broken or mismatched file never replaces the local one.
//   lastFileReport() tells what the last export or import did (written or imported ids, the
//   skipped ones with their reasons, -1 when anything was skipped or nothing could be done).
// - Saves are never silent: a save refused while the worker runs, or one the disk refuses
//   (full, read-only), emits routeSaveFailed(id, reason) and lastSaveError(id) keeps the reason
//   until a later save of that route succeeds.
// - A route can be locked (lockRoute) by whoever writes into it outside the store: the mission
//   transfer locks its target, and a locked route is neither removed nor saved by others.
// - The first operation that rewrites the index reads it first when no refresh has yet, so a
//   save before the first refresh cannot drop the other routes from the index.
// Main thread for every public function.

#include "mission/MavFlightRouteDataItem.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct MavRouteFileReport {
    int ret = 0;  // 0: everything done; -1: something skipped or nothing possible
    std::vector<QString> done;
    std::vector<std::pair<QString, QString>> skipped;  // (route id or "index", reason)
};

struct MavFlightRouteDataExportInfo_t {
    QString routeId;
    std::shared_ptr<nlohmann::json> routeData;  // null: remove the route's file
    uint64_t saveTicket = 0;  // which save of the route this is
};

class MavFlightRouteManager : public QObject {
    Q_OBJECT
public:
    // Takes the cache directory from GcsSettings (initialised before).
    explicit MavFlightRouteManager(QObject* parent = nullptr);
    // An explicit cache directory; empty disables the disk.
    explicit MavFlightRouteManager(const QString& cachePath, QObject* parent = nullptr);
    ~MavFlightRouteManager() override;

    QString cachePath() const { return m_cachePath; }
    const std::vector<std::shared_ptr<MavFlightRouteDataItem>>& flightRoutes() const { return m_flightRoutes; }

    void refreshFromLocal();
    // Returns the route even when the save is refused; only a saved route joins the list.
    std::shared_ptr<MavFlightRouteDataItem> addFlightRoute(const std::shared_ptr<MavFlightRouteAbstractConfig>& config,
                                                           const std::shared_ptr<MavWayPointDataItem>& defaultWp);
    // Adds a route built elsewhere (a download, an imported file): saved, listed, announced.
    bool addFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);
    bool updateFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);
    bool removeFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);
    void exportAllToLocal(const QString& dir);
    void importAllFromLocal(const QString& dir);

    MavRouteFileReport lastFileReport() const;

    // Empty while the route's last save succeeded (or none was asked); else why it failed.
    QString lastSaveError(const QString& id) const;

    void lockRoute(const QString& id, const QString& reason);
    void unlockRoute(const QString& id);
    QString routeLockReason(const QString& id) const;

    std::shared_ptr<MavWayPointDataItem> defaultWayPointData() const { return m_defaultWpData; }
    void setDefaultWayPointData(const std::shared_ptr<MavWayPointDataItem>& wp);

    bool isLoadRunning() const { return m_loadRunning; }
    bool isRefreshing() const { return m_isRefreshing; }
    bool isImporting() const { return m_isImporting; }

signals:
    void flightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void flightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void flightRouteRemoved(std::shared_ptr<MavFlightRouteDataItem> flightRoute);
    void flightRoutesWillBeReset();
    void flightRoutesReset();
    void flightRoutesAboutToBeRefreshed(int count);
    void flightRouteCreatedByRefresh(std::shared_ptr<MavFlightRouteDataItem> flightRoute, int idx, int total);
    void flightRoutesRefreshed(int count);
    void allFlightRoutesAboutToBeExported(int total);
    void flightRouteExported(int idx, int total);
    void allFlightRoutesExported(int ret, int total);
    void flightRoutesAboutToBeImported(int total);
    void flightRouteImported(int idx, int tatal);
    void flightRoutesImported(int total);
    void defaultWayPointDataChanged(std::shared_ptr<MavWayPointDataItem> defaultWpData);
    // From the worker thread (queued to the main thread's receivers) or the main thread.
    void routeSaveFailed(const QString& id, const QString& reason);

    // Worker to main thread.
    void flightRouteExportResultPrivate(int ret, QPrivateSignal);
    void flightRoutesAboutToBeRefreshedFromLocalPrivate(int count, QPrivateSignal);
    void flightRouteCreatedFromLocalPrivate(std::shared_ptr<nlohmann::json> routeData, int idx, int total,
                                            QPrivateSignal);
    void flightRouteRefreshedFromLocalPrivate(int count, QPrivateSignal);

private slots:
    void handleFlightRoutesAboutToBeRefreshedFromLocal(int count);
    void handleFlightRouteCreatedFromLocal(std::shared_ptr<nlohmann::json> routeData, int idx, int total);
    void handleFlightRouteRefreshedFromLocal(int count);
    void handleFlightRoutesAboutToBeImported(int total);
    void handleFlightRouteImported(int idx, int total);
    void handleFlightRoutesImported(int total);

private:
    // False when an operation runs; otherwise marks one running and joins the last worker.
    bool beginLoad();
    void startLoad(void (MavFlightRouteManager::*work)());
    void releaseLoadThread();
    bool saveFlightRouteLocal(const std::shared_ptr<MavFlightRouteDataItem>& route);
    bool removeFlightRouteLocal(const QString& routeId);

    // Worker side.
    void refreshWork();
    void pendingWork();
    void exportWork();
    void importWork();
    void ensureIdListLoaded();
    std::vector<QString> readIndex(const QString& dir, bool& opened, bool* rebuilt = nullptr) const;
    std::vector<QString> routeIdsOnDisk(const QString& dir) const;
    QString writeIndex(const QString& failLog);
    uint64_t nextSaveTicket(const QString& id);
    // A result counts only for the route's latest save: an older save that ends after a newer
    // one was refused must not clear that refusal.
    void noteSaveResult(const QString& id, const QString& reason, uint64_t ticket);

    QString routeFilePath(const QString& dir, const QString& id) const;
    QString indexFilePath(const QString& dir) const;
    void loadDefaultWayPointData();
    void saveDefaultWayPointDataToLocal();

    std::vector<std::shared_ptr<MavFlightRouteDataItem>> m_flightRoutes;
    std::atomic<bool> m_loadRunning{false};
    std::thread m_loadThread;
    mutable std::mutex m_mutex;
    std::vector<MavFlightRouteDataExportInfo_t> m_pending;
    const QString m_cachePath;
    std::vector<QString> m_idList;
    bool m_idListLoaded = false;
    QString m_transferDir;  // export target or import source of the running operation
    bool m_isRefreshing = false;
    bool m_isImporting = false;
    std::shared_ptr<MavWayPointDataItem> m_defaultWpData;
    std::map<QString, QString> m_saveErrors;  // under m_mutex
    std::map<QString, uint64_t> m_saveTickets;  // latest save asked per route, under m_mutex
    MavRouteFileReport m_fileReport;  // under m_mutex
    QHash<QString, QString> m_locks;  // main thread
};

using MavFlightRouteManagerPtr = std::shared_ptr<MavFlightRouteManager>;
