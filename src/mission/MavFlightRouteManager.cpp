#include "MavFlightRouteManager.h"

#include "settings/GcsSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUuid>

#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

const QString kIndexBaseName = QStringLiteral("index");
const QString kIndexSuffix = QStringLiteral("fridx");
const QString kRouteSuffix = QStringLiteral("frd");
const QString kDefaultWpFile = QStringLiteral("/default_waypoint.json");

std::string str(const QString& s)
{
    return s.toStdString();
}

// Ids become file names: only a plain UUID text is one.
bool isRouteId(const QString& id)
{
    return id.size() == 36 && !QUuid::fromString(id).isNull();
}

std::string dumpJson(const nlohmann::json& json, int indent)
{
    return json.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Replaces the file only once every byte is written. Unbuffered: a buffered QSaveFile can lose
// the tail of a short write and still commit. Returns the reason of a failure, empty on success.
QString writeWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason.isEmpty() ? QStringLiteral("short write") : reason;
        }
        done += n;
    }
    if (!file.commit())
        return file.errorString().isEmpty() ? QStringLiteral("commit failed") : file.errorString();
    return {};
}

QString writeWhole(const QString& path, const std::string& text)
{
    return writeWhole(path, QByteArray::fromStdString(text));
}

bool readWhole(const QString& path, QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// Empty when `bytes` hold a route the store can load under `id`, else why not. Import copies
// nothing it could not load back, so a broken file never replaces a good local route.
QString routeFileProblem(const QByteArray& bytes, const QString& id)
{
    const auto json = nlohmann::json::parse(bytes.toStdString(), nullptr, false);
    if (json.is_discarded())
        return QStringLiteral("not valid JSON");
    if (!json.is_object())
        return QStringLiteral("not a route object");
    const auto idMember = json.find("id");
    if (idMember == json.end() || !idMember->is_string() || *idMember != id.toStdString())
        return QStringLiteral("holds another route id");
    try {
        const auto route = MavFlightRouteDataItem::fromJson(json);
        if (!route)
            return QStringLiteral("unknown route type");
        if (route->wayPointCount() > 255)
            return QStringLiteral("more than 255 waypoints");
    } catch (const nlohmann::json::exception& e) {
        return QStringLiteral("members of the wrong kind (%1)").arg(QString::fromUtf8(e.what()));
    }
    return {};
}

}  // namespace

MavFlightRouteManager::MavFlightRouteManager(QObject* parent)
    : MavFlightRouteManager(GcsSettings::getInstance()->getFlightRouteCachePath(true), parent)
{
}

MavFlightRouteManager::MavFlightRouteManager(const QString& cachePath, QObject* parent)
    : QObject(parent)
    , m_cachePath(cachePath)
{
    qRegisterMetaType<std::shared_ptr<nlohmann::json>>("std::shared_ptr<nlohmann::json>");
    connect(this, &MavFlightRouteManager::flightRoutesAboutToBeRefreshedFromLocalPrivate, this,
            &MavFlightRouteManager::handleFlightRoutesAboutToBeRefreshedFromLocal, Qt::QueuedConnection);
    connect(this, &MavFlightRouteManager::flightRouteCreatedFromLocalPrivate, this,
            &MavFlightRouteManager::handleFlightRouteCreatedFromLocal, Qt::QueuedConnection);
    connect(this, &MavFlightRouteManager::flightRouteRefreshedFromLocalPrivate, this,
            &MavFlightRouteManager::handleFlightRouteRefreshedFromLocal, Qt::QueuedConnection);
    connect(this, &MavFlightRouteManager::flightRoutesAboutToBeImported, this,
            &MavFlightRouteManager::handleFlightRoutesAboutToBeImported, Qt::QueuedConnection);
    connect(this, &MavFlightRouteManager::flightRouteImported, this, &MavFlightRouteManager::handleFlightRouteImported,
            Qt::QueuedConnection);
    connect(this, &MavFlightRouteManager::flightRoutesImported, this,
            &MavFlightRouteManager::handleFlightRoutesImported, Qt::QueuedConnection);

    if (m_cachePath.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache directory, routes are kept in memory only");
        return;
    }
    QDir().mkpath(m_cachePath);
    loadDefaultWayPointData();
}

MavFlightRouteManager::~MavFlightRouteManager()
{
    releaseLoadThread();
}

void MavFlightRouteManager::releaseLoadThread()
{
    if (m_loadThread.joinable())
        m_loadThread.join();
}

bool MavFlightRouteManager::beginLoad()
{
    bool idle = false;
    if (!m_loadRunning.compare_exchange_strong(idle, true))
        return false;
    releaseLoadThread();
    return true;
}

void MavFlightRouteManager::startLoad(void (MavFlightRouteManager::*work)())
{
    m_loadThread = std::thread([this, work] { (this->*work)(); });
}

QString MavFlightRouteManager::routeFilePath(const QString& dir, const QString& id) const
{
    return dir + "/" + QStringLiteral("%1.%2").arg(id, kRouteSuffix);
}

QString MavFlightRouteManager::indexFilePath(const QString& dir) const
{
    return dir + "/" + QStringLiteral("%1.%2").arg(kIndexBaseName, kIndexSuffix);
}

// ---- refresh

void MavFlightRouteManager::refreshFromLocal()
{
    if (m_cachePath.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache directory, nothing to refresh");
        m_isRefreshing = true;
        emit flightRouteRefreshedFromLocalPrivate(0, QPrivateSignal());
        return;
    }
    if (!beginLoad()) {
        spdlog::warn("<FlightRouteMgr> load thread already running, refreshFromLocal failed");
        return;
    }
    m_isRefreshing = true;
    startLoad(&MavFlightRouteManager::refreshWork);
}

void MavFlightRouteManager::refreshWork()
{
    std::vector<QString> ids;
    {
        std::lock_guard lock(m_mutex);
        // Temporaries of replaced files that a crash left behind.
        static const QRegularExpression temporary(
            QStringLiteral("^(index\\.fridx|[0-9A-Fa-f-]{36}\\.frd)\\.[A-Za-z0-9]{6}$"));
        const QDir dir(m_cachePath);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden)) {
            if (temporary.match(name).hasMatch())
                QFile::remove(dir.filePath(name));
        }
        bool opened = false;
        bool rebuilt = false;
        ids = readIndex(m_cachePath, opened, &rebuilt);
        if (!opened) {
            m_loadRunning = false;
            emit flightRouteRefreshedFromLocalPrivate(0, QPrivateSignal());
            return;
        }
        m_idList = ids;
        m_idListLoaded = true;
        if (rebuilt)
            writeIndex(QStringLiteral("<FlightRouteMgr> open {} failed, can not save index file"));
    }
    const int count = int(ids.size());
    emit flightRoutesAboutToBeRefreshedFromLocalPrivate(count, QPrivateSignal());
    int idx = 0;
    for (const QString& id : ids) {
        const QString path = routeFilePath(m_cachePath, id);
        QByteArray bytes;
        if (!readWhole(path, bytes)) {
            spdlog::warn("<FlightRouteMgr> open {} failed, can not load {} from local", str(path), str(id));
            continue;
        }
        auto json = std::make_shared<nlohmann::json>(nlohmann::json::parse(bytes.toStdString(), nullptr, false));
        if (json->is_discarded()) {
            spdlog::warn("<FlightRouteMgr> parse {} failed, can not load {} from local", str(path), str(id));
            continue;
        }
        const auto idMember = json->is_object() ? json->find("id") : json->end();
        if (!json->is_object() || idMember == json->end() || *idMember != id.toStdString()) {
            spdlog::warn("<FlightRouteMgr> {} does not hold route {}, not loaded", str(path), str(id));
            continue;
        }
        emit flightRouteCreatedFromLocalPrivate(json, idx++, count, QPrivateSignal());
    }
    m_loadRunning = false;
    emit flightRouteRefreshedFromLocalPrivate(count, QPrivateSignal());
}

std::vector<QString> MavFlightRouteManager::readIndex(const QString& dir, bool& opened, bool* rebuilt) const
{
    const QString path = indexFilePath(dir);
    QByteArray bytes;
    opened = readWhole(path, bytes);
    std::vector<QString> ids;
    const auto json = opened ? nlohmann::json::parse(bytes.toStdString(), nullptr, false) : nlohmann::json();
    if (!opened || !json.is_array()) {
        // The route files are the truth: an index that is gone or broken is rebuilt from them,
        // so the next save cannot write back an index without the other routes.
        ids = routeIdsOnDisk(dir);
        if (!opened && ids.empty())
            return ids;
        spdlog::warn("<FlightRouteMgr> {} is {}; rebuilt from {} valid route files", str(path),
                     opened ? "not a JSON array of route ids" : "missing", ids.size());
        opened = true;
        if (rebuilt)
            *rebuilt = true;
        return ids;
    }
    for (const auto& entry : json) {
        const QString id = entry.is_string() ? QString::fromStdString(entry.get<std::string>()) : QString();
        if (!isRouteId(id)) {
            spdlog::warn("<FlightRouteMgr> {} lists {}, which is not a route id; skipped", str(path),
                         dumpJson(entry, -1));
            continue;
        }
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    }
    return ids;
}

std::vector<QString> MavFlightRouteManager::routeIdsOnDisk(const QString& dir) const
{
    std::vector<QString> ids;
    const QDir folder(dir);
    // Oldest first: the order routes were first saved, as far as the files still tell.
    for (const QFileInfo& info :
         folder.entryInfoList({QStringLiteral("*.") + kRouteSuffix}, QDir::Files, QDir::Time | QDir::Reversed)) {
        const QString id = info.completeBaseName();
        QByteArray bytes;
        if (isRouteId(id) && readWhole(info.filePath(), bytes) && routeFileProblem(bytes, id).isEmpty())
            ids.push_back(id);
    }
    return ids;
}

void MavFlightRouteManager::ensureIdListLoaded()
{
    if (m_idListLoaded)
        return;
    bool opened = false;
    m_idList = readIndex(m_cachePath, opened);
    m_idListLoaded = true;
}

QString MavFlightRouteManager::writeIndex(const QString& failLog)
{
    auto json = nlohmann::json::array();
    for (const QString& id : m_idList)
        json.push_back(id.toStdString());
    const QString path = indexFilePath(m_cachePath);
    const QString reason = writeWhole(path, dumpJson(json, 0));
    if (!reason.isEmpty())
        spdlog::warn("{}: {}", fmt::format(fmt::runtime(failLog.toStdString()), str(path)), str(reason));
    return reason;
}

void MavFlightRouteManager::handleFlightRoutesAboutToBeRefreshedFromLocal(int count)
{
    emit flightRoutesAboutToBeRefreshed(count);
    emit flightRoutesWillBeReset();
    m_flightRoutes.clear();
}

void MavFlightRouteManager::handleFlightRouteCreatedFromLocal(std::shared_ptr<nlohmann::json> routeData, int idx,
                                                              int total)
{
    std::shared_ptr<MavFlightRouteDataItem> route;
    try {
        route = MavFlightRouteDataItem::fromJson(*routeData);
    } catch (const nlohmann::json::exception& e) {
        spdlog::warn("<FlightRouteMgr> route {} has members of the wrong kind, not loaded: {}",
                     routeData->value("id", std::string()), e.what());
        return;
    }
    if (!route) {
        spdlog::warn("<FlightRouteMgr> route {} is of no known type, not loaded",
                     routeData->value("id", std::string()));
        return;
    }
    m_flightRoutes.push_back(route);
    emit flightRouteAdded(route);
    emit flightRouteCreatedByRefresh(route, idx, total);
}

void MavFlightRouteManager::handleFlightRouteRefreshedFromLocal(int count)
{
    m_isRefreshing = false;
    emit flightRoutesReset();
    emit flightRoutesRefreshed(count);
}

// ---- save and remove

std::shared_ptr<MavFlightRouteDataItem>
MavFlightRouteManager::addFlightRoute(const std::shared_ptr<MavFlightRouteAbstractConfig>& config,
                                      const std::shared_ptr<MavWayPointDataItem>& defaultWp)
{
    if (!config)
        return nullptr;
    auto route = std::make_shared<MavFlightRouteDataItem>(config);
    if (defaultWp)
        setDefaultWayPointData(defaultWp);
    if (!saveFlightRouteLocal(route))
        return route;
    m_flightRoutes.push_back(route);
    emit flightRouteAdded(route);
    return route;
}

bool MavFlightRouteManager::addFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (!route || std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route) != m_flightRoutes.end())
        return false;
    if (!saveFlightRouteLocal(route))
        return false;
    m_flightRoutes.push_back(route);
    emit flightRouteAdded(route);
    return true;
}

bool MavFlightRouteManager::updateFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (route && !routeLockReason(route->id()).isEmpty()) {
        spdlog::warn("<FlightRouteMgr> route {} not saved: {}", str(route->id()), str(routeLockReason(route->id())));
        return false;
    }
    return saveFlightRouteLocal(route);
}

void MavFlightRouteManager::lockRoute(const QString& id, const QString& reason)
{
    m_locks[id] = reason;
}

void MavFlightRouteManager::unlockRoute(const QString& id)
{
    m_locks.remove(id);
}

QString MavFlightRouteManager::routeLockReason(const QString& id) const
{
    return m_locks.value(id);
}

QString MavFlightRouteManager::lastSaveError(const QString& id) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_saveErrors.find(id);
    return it == m_saveErrors.end() ? QString() : it->second;
}

uint64_t MavFlightRouteManager::nextSaveTicket(const QString& id)
{
    std::lock_guard lock(m_mutex);
    return ++m_saveTickets[id];
}

void MavFlightRouteManager::noteSaveResult(const QString& id, const QString& reason, uint64_t ticket)
{
    {
        std::lock_guard lock(m_mutex);
        if (ticket != m_saveTickets[id])
            return;
        if (reason.isEmpty())
            m_saveErrors.erase(id);
        else
            m_saveErrors[id] = reason;
    }
    if (!reason.isEmpty())
        emit routeSaveFailed(id, reason);
}

bool MavFlightRouteManager::saveFlightRouteLocal(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (!route)
        return false;
    if (m_loadRunning) {
        spdlog::warn("<FlightRouteMgr> load thread already running, save flight route failed, routeId:{}",
                     str(route->id()));
        noteSaveResult(route->id(), QStringLiteral("Route store is busy"), nextSaveTicket(route->id()));
        return false;
    }
    if (!isRouteId(route->id())) {
        spdlog::warn("<FlightRouteMgr> route id {} is not a UUID, can not save it", str(route->id()));
        return false;
    }
    if (m_cachePath.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache directory, route {} is kept in memory only",
                     str(route->id()));
        return true;
    }
    if (!beginLoad()) {
        spdlog::warn("<FlightRouteMgr> load thread already running, save flight route failed, routeId:{}",
                     str(route->id()));
        noteSaveResult(route->id(), QStringLiteral("Route store is busy"), nextSaveTicket(route->id()));
        return false;
    }
    auto json = route->toJson();
    const uint64_t ticket = nextSaveTicket(route->id());
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back({route->id(), std::move(json), ticket});
    }
    startLoad(&MavFlightRouteManager::pendingWork);
    return true;
}

bool MavFlightRouteManager::removeFlightRoute(const std::shared_ptr<MavFlightRouteDataItem>& routeRef)
{
    const auto route = routeRef;  // the caller's reference may be the list's own element
    const auto it = std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route);
    if (!route || it == m_flightRoutes.end())
        return false;
    if (const QString reason = routeLockReason(route->id()); !reason.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> route {} not removed: {}", str(route->id()), str(reason));
        return false;
    }
    if (!removeFlightRouteLocal(route->id()))
        return false;
    emit flightRouteWillRemoved(route);
    m_flightRoutes.erase(std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route));
    emit flightRouteRemoved(route);
    return true;
}

bool MavFlightRouteManager::removeFlightRouteLocal(const QString& routeId)
{
    if (m_loadRunning) {
        spdlog::warn("<FlightRouteMgr> load thread already running, remove flight route failed, routeId:{}",
                     str(routeId));
        return false;
    }
    if (m_cachePath.isEmpty() || !isRouteId(routeId)) {
        spdlog::warn("<FlightRouteMgr> route {} has no file to remove", str(routeId));
        return true;
    }
    if (!beginLoad()) {
        spdlog::warn("<FlightRouteMgr> load thread already running, remove flight route failed, routeId:{}",
                     str(routeId));
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back({routeId, nullptr});
    }
    startLoad(&MavFlightRouteManager::pendingWork);
    return true;
}

void MavFlightRouteManager::pendingWork()
{
    struct Result {
        QString id;
        QString failure;  // empty: written
        uint64_t ticket;
    };
    std::vector<Result> results;
    {
        std::lock_guard lock(m_mutex);
        ensureIdListLoaded();
        for (const auto& item : m_pending) {
            const QString path = routeFilePath(m_cachePath, item.routeId);
            const auto listed = std::find(m_idList.begin(), m_idList.end(), item.routeId);
            if (!item.routeData) {
                if (listed != m_idList.end())
                    m_idList.erase(listed);
                QFile::remove(path);
                continue;
            }
            const QString reason = writeWhole(path, dumpJson(*item.routeData, 0));
            if (!reason.isEmpty()) {
                spdlog::warn("<FlightRouteMgr> open {} failed, can not save {}: {}", str(path), str(item.routeId),
                             str(reason));
                results.push_back({item.routeId, reason, item.saveTicket});
                continue;
            }
            if (listed == m_idList.end())
                m_idList.push_back(item.routeId);
            results.push_back({item.routeId, QString(), item.saveTicket});
        }
        m_pending.clear();
        // A route whose file is written but not listed is lost at the next start: that save failed too.
        if (const QString reason =
                writeIndex(QStringLiteral("<FlightRouteMgr> open {} failed, can not save index file"));
            !reason.isEmpty()) {
            for (auto& result : results)
                if (result.failure.isEmpty())
                    result.failure = QStringLiteral("index not written: ") + reason;
        }
    }
    for (const auto& result : results)
        noteSaveResult(result.id, result.failure, result.ticket);
    m_loadRunning = false;
}

// ---- export and import

void MavFlightRouteManager::exportAllToLocal(const QString& dir)
{
    if (m_loadRunning)
        return;
    if (m_cachePath.isEmpty() || dir.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache or export directory, nothing exported");
        {
            std::lock_guard lock(m_mutex);
            m_fileReport = {-1, {}, {{QStringLiteral("index"), QStringLiteral("no cache or export directory")}}};
        }
        emit allFlightRoutesExported(-1, 0);
        return;
    }
    if (!beginLoad())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_transferDir = dir;
    }
    startLoad(&MavFlightRouteManager::exportWork);
}

void MavFlightRouteManager::exportWork()
{
    std::vector<QString> ids;
    QString dir;
    {
        std::lock_guard lock(m_mutex);
        ensureIdListLoaded();
        ids = m_idList;
        dir = m_transferDir;
        m_fileReport = {};
    }
    MavRouteFileReport report;
    QDir().mkpath(dir);
    const int total = int(ids.size());
    emit allFlightRoutesAboutToBeExported(total);
    auto exported = nlohmann::json::array();
    for (int idx = 0; idx < total; ++idx) {
        const QString& id = ids[size_t(idx)];
        QByteArray bytes;
        const QString target = routeFilePath(dir, id);
        QString reason = readWhole(routeFilePath(m_cachePath, id), bytes) ? writeWhole(target, bytes)
                                                                          : QStringLiteral("cache file unreadable");
        if (!reason.isEmpty()) {
            spdlog::warn("<FlightRouteMgr> can not export {} to {}: {}", str(id), str(target), str(reason));
            report.skipped.emplace_back(id, reason);
        } else {
            exported.push_back(id.toStdString());
            report.done.push_back(id);
        }
        emit flightRouteExported(idx, total);
    }
    if (const QString reason = writeWhole(indexFilePath(dir), dumpJson(exported, 0)); !reason.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> can not export the index to {}: {}", str(indexFilePath(dir)), str(reason));
        report.skipped.emplace_back(QStringLiteral("index"), reason);
    }
    report.ret = report.skipped.empty() ? 0 : -1;
    {
        std::lock_guard lock(m_mutex);
        m_fileReport = report;
    }
    m_loadRunning = false;
    emit allFlightRoutesExported(report.ret, total);
}

void MavFlightRouteManager::importAllFromLocal(const QString& dir)
{
    if (m_loadRunning)
        return;
    if (m_cachePath.isEmpty() || dir.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache or import directory, nothing imported");
        {
            std::lock_guard lock(m_mutex);
            m_fileReport = {-1, {}, {{QStringLiteral("index"), QStringLiteral("no cache or import directory")}}};
        }
        emit flightRoutesImported(0);
        return;
    }
    if (!beginLoad())
        return;
    m_isImporting = true;
    {
        std::lock_guard lock(m_mutex);
        m_transferDir = dir;
    }
    startLoad(&MavFlightRouteManager::importWork);
}

void MavFlightRouteManager::importWork()
{
    QString dir;
    {
        std::lock_guard lock(m_mutex);
        dir = m_transferDir;
        m_fileReport = {};
    }
    MavRouteFileReport report;
    bool opened = false;
    const std::vector<QString> ids = readIndex(dir, opened);
    if (!opened) {
        report.ret = -1;
        report.skipped.emplace_back(QStringLiteral("index"), QStringLiteral("no index and no route files in ") + dir);
        {
            std::lock_guard lock(m_mutex);
            m_fileReport = report;
        }
        m_loadRunning = false;
        emit flightRoutesImported(0);
        return;
    }
    const int total = int(ids.size());
    emit flightRoutesAboutToBeImported(total);
    for (int idx = 0; idx < total; ++idx) {
        const QString& id = ids[size_t(idx)];
        QByteArray bytes;
        const QString source = routeFilePath(dir, id);
        QString reason = readWhole(source, bytes) ? routeFileProblem(bytes, id) : QStringLiteral("file unreadable");
        if (reason.isEmpty())
            reason = writeWhole(routeFilePath(m_cachePath, id), bytes);
        if (!reason.isEmpty()) {
            spdlog::warn("<FlightRouteMgr> route {} from {} not imported: {}", str(id), str(source), str(reason));
            report.skipped.emplace_back(id, reason);
        } else {
            report.done.push_back(id);
            std::lock_guard lock(m_mutex);
            ensureIdListLoaded();
            if (std::find(m_idList.begin(), m_idList.end(), id) == m_idList.end())
                m_idList.push_back(id);
        }
        emit flightRouteImported(idx, total);
    }
    {
        std::lock_guard lock(m_mutex);
        ensureIdListLoaded();
        if (!writeIndex(QStringLiteral("<FlightRouteMgr> open {} failed, can not save index file when import"))
                 .isEmpty())
            report.ret = -1;
        if (report.done.empty() && !report.skipped.empty())
            report.ret = -1;
        m_fileReport = report;
    }
    m_loadRunning = false;
    emit flightRoutesImported(int(report.done.size()));
}

MavRouteFileReport MavFlightRouteManager::lastFileReport() const
{
    std::lock_guard lock(m_mutex);
    return m_fileReport;
}

void MavFlightRouteManager::handleFlightRoutesAboutToBeImported(int total)
{
    spdlog::info("<FlightRouteMgr> importing {} flight routes", total);
}

void MavFlightRouteManager::handleFlightRouteImported(int idx, int total)
{
    spdlog::debug("<FlightRouteMgr> flight route {}/{} imported", idx + 1, total);
}

void MavFlightRouteManager::handleFlightRoutesImported(int total)
{
    m_isImporting = false;
    if (total > 0)
        refreshFromLocal();
}

// ---- default waypoint

void MavFlightRouteManager::setDefaultWayPointData(const std::shared_ptr<MavWayPointDataItem>& wp)
{
    if (!wp) {
        spdlog::warn("<FlightRouteMgr> setDefaultWayPointData failed, defaultWpData is null");
        return;
    }
    m_defaultWpData = wp;
    saveDefaultWayPointDataToLocal();
    emit defaultWayPointDataChanged(wp);
}

void MavFlightRouteManager::loadDefaultWayPointData()
{
    const QString path = m_cachePath + kDefaultWpFile;
    if (!QFile::exists(path)) {
        spdlog::info("<FlightRouteMgr> default waypoint data file not exist: {}", str(path));
        return;
    }
    QByteArray bytes;
    if (!readWhole(path, bytes)) {
        spdlog::warn("<FlightRouteMgr> open {} failed, can not load default waypoint data", str(path));
        return;
    }
    const auto json = nlohmann::json::parse(bytes.toStdString(), nullptr, false);
    if (json.is_discarded()) {
        spdlog::warn("<FlightRouteMgr> parse default waypoint data json failed: {}", str(path));
        return;
    }
    if (!json.is_object())
        return;
    try {
        m_defaultWpData = MavWayPointDataItem::fromJson(nullptr, json);
    } catch (const nlohmann::json::exception& e) {
        spdlog::warn("<FlightRouteMgr> parse default waypoint data json failed: {}", e.what());
        return;
    }
    spdlog::info("<FlightRouteMgr> default waypoint data loaded from {}", str(path));
}

void MavFlightRouteManager::saveDefaultWayPointDataToLocal()
{
    if (!m_defaultWpData) {
        spdlog::warn("<FlightRouteMgr> saveDefaultWayPointDataToLocal: no default waypoint data to save");
        return;
    }
    if (m_cachePath.isEmpty()) {
        spdlog::warn("<FlightRouteMgr> no flight route cache directory, default waypoint data is kept in memory only");
        return;
    }
    const QString path = m_cachePath + kDefaultWpFile;
    const auto json = m_defaultWpData->toJson();
    if (!json) {
        spdlog::warn("<FlightRouteMgr> failed to convert default waypoint data to json");
        return;
    }
    if (!writeWhole(path, dumpJson(*json, 4)).isEmpty()) {
        spdlog::warn("<FlightRouteMgr> open {} failed, can not save default waypoint data", str(path));
        return;
    }
    spdlog::info("<FlightRouteMgr> default waypoint data saved to {}", str(path));
}
