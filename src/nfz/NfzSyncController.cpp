#include "NfzSyncController.h"

#include "GcsHttp.h"
#include "NfzZoneManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>

#include <spdlog/spdlog.h>

#include <set>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using Error = NfzSyncController::Error;

void stripBom(QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
}

// Runs `fn` on the main thread with the controller, if it still exists by then.
void postToController(const std::weak_ptr<NfzSyncController>& self, std::function<void(NfzSyncController&)> fn)
{
    QObject* home = QCoreApplication::instance();
    if (!home)
        return;
    QMetaObject::invokeMethod(
        home,
        [self, fn = std::move(fn)] {
            if (auto c = self.lock())
                fn(*c);
        },
        Qt::QueuedConnection);
}

// Temporaries of a writer killed mid-way: the old writer's "<cache>.tmp" and QSaveFile's
// "<file>.XXXXXX" of the cache and of its backup.
void removeLeftovers(const QString& cachePath)
{
    if (cachePath.isEmpty())
        return;
    const QFileInfo cache(cachePath);
    QDir dir = cache.absoluteDir();
    const QRegularExpression leftover("^" + QRegularExpression::escape(cache.fileName()) +
                                      R"((\.tmp|(\.bak)?\.[A-Za-z0-9]{6})$)");
    for (const QString& name : dir.entryList({cache.fileName() + ".*"}, QDir::Files | QDir::Hidden)) {
        if (!leftover.match(name).hasMatch())
            continue;
        if (dir.remove(name))
            spdlog::info("NfzSyncController: removed leftover temporary {}", dir.filePath(name).toStdString());
        else
            spdlog::warn("NfzSyncController: cannot remove leftover temporary {}", dir.filePath(name).toStdString());
    }
}

// The file's rename is only durable once its directory entry is on disk.
bool syncDirectory(const QString& dirPath)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#else
    Q_UNUSED(dirPath);
    return true;
#endif
}

Error saveDurably(const QString& path, const QByteArray& bytes, QString& why)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return Error::CannotWriteCacheFile;
    }
    if (file.write(bytes) != bytes.size()) {
        why = QStringLiteral("short write to %1: %2").arg(path, file.errorString());
        file.cancelWriting();
        return Error::WriteFailed;
    }
    if (!file.commit()) {  // syncs the file, then renames it over `path`
        why = QStringLiteral("cannot replace %1: %2").arg(path, file.errorString());
        return Error::CannotFinalizeCache;
    }
    if (!syncDirectory(QFileInfo(path).absolutePath()))
        spdlog::warn("NfzSyncController: cannot sync the directory of {}", path.toStdString());
    return Error::None;
}

struct CacheFile {
    QByteArray bytes;
    std::optional<std::vector<NfzRecord>> zones;  // nothing when missing or broken
};

CacheFile readCache(const QString& cachePath)
{
    CacheFile cache;
    QFile file(cachePath);
    if (QFileInfo(cachePath).isFile() && file.open(QIODevice::ReadOnly)) {
        cache.bytes = file.readAll();
        cache.zones = NfzZoneManager::readDocument(cache.bytes);
    }
    return cache;
}

// What a new set is compared with: the zones held, and the cache file's that the set lacks (a
// set loaded from the backup, or none loaded at all, must not hide the cache's zones).
std::vector<NfzRecord> knownZones(std::vector<NfzRecord> held, const CacheFile& cache)
{
    if (!cache.zones)
        return held;
    std::set<int64_t> ids;
    for (const auto& z : held)
        ids.insert(z.id);
    for (const auto& z : *cache.zones)
        if (!ids.count(z.id))
            held.push_back(z);
    return held;
}

QString shrinkRefusal(const NfzZoneShrink& shrink)
{
    return QStringLiteral("the new zone set takes zones away: %1 (allowShrink accepts it)").arg(shrink.text());
}

// Leftovers removed, the current cache kept as "<cache>.bak" when it loads, then the new bytes.
Error replaceCache(const QString& cachePath, const QByteArray& bytes, const CacheFile& old, QString& why)
{
    if (cachePath.isEmpty()) {
        why = QStringLiteral("no cache path");
        return Error::CannotWriteCacheFile;
    }
    const QFileInfo target(cachePath);
    if (!QDir().mkpath(target.absolutePath())) {
        why = QStringLiteral("cannot create the directory %1").arg(target.absolutePath());
        return Error::CannotWriteCacheFile;
    }
    removeLeftovers(cachePath);
    if (target.exists() && !target.isFile()) {
        why = QStringLiteral("%1 is not a regular file").arg(cachePath);
        return Error::CannotReplaceCache;
    }
    // A broken cache is not worth a backup: the one there may still be good.
    if (old.zones) {
        QString backupWhy;
        if (saveDurably(cachePath + QStringLiteral(".bak"), old.bytes, backupWhy) != Error::None)
            spdlog::warn("NfzSyncController: previous cache not kept: {}", backupWhy.toStdString());
    }
    return saveDurably(cachePath, bytes, why);
}

}  // namespace

NfzSyncController::NfzSyncController(std::shared_ptr<GcsHttp> http, QString cachePath,
                                     std::shared_ptr<NfzZoneManager> zoneManager, QObject* parent)
    : QObject(parent)
    , m_http(http)
    , m_cachePath(std::move(cachePath))
    , m_zoneManager(zoneManager)
{
    removeLeftovers(m_cachePath);
}

NfzSyncController::~NfzSyncController()
{
    spdlog::debug("NfzSyncController destroyed ------------");
}

QString NfzSyncController::errorName(int error)
{
    const char* name = QMetaEnum::fromType<Error>().valueToKey(error);
    return name ? QString::fromLatin1(name) : QStringLiteral("Unknown");
}

void NfzSyncController::startFullSync(bool allowShrink)
{
    bool expected = false;
    if (!m_syncInProgress.compare_exchange_strong(expected, true)) {
        spdlog::debug("NfzSyncController: startFullSync ignored, sync already in progress");
        return;
    }
    m_allowShrink = allowShrink;
    auto http = m_http.lock();
    if (!http) {
        spdlog::warn("NfzSyncController: no HTTP client, sync not started");
        completeSync(false, Error::HttpUnavailable, 0, QStringLiteral("no HTTP client"));
        return;
    }
    emit syncProgress(0, int(ProgressPhase::Downloading));
    // The answer comes on this thread; the controller may be gone by then.
    QPointer<NfzSyncController> guard(this);
    http->fetchAllNoFlyZones([guard, weakHttp = m_http](int code, GcsHttp::JsonPtr doc) {
        if (!guard)
            return;
        if (auto h = weakHttp.lock(); h && code == 200)
            guard->m_pendingCloudUpdateTime = h->noFlyZonesUpdateTime();
        guard->handleResponse(code, doc);
    });
}

// Says which cloud could not be reached and why, in words an operator can act on.
QString NfzSyncController::unansweredText(int httpCode) const
{
    const auto http = m_http.lock();
    const QString url = http ? http->baseUrl() : QString();
    if (httpCode == GcsHttp::kNetworkError) {
        if (url.isEmpty())
            return QStringLiteral("the cloud is off: start the station with --cloud-url");
        const QString why = http->lastNetworkError();
        return QStringLiteral("cannot reach the cloud at %1: %2").arg(url, why.isEmpty() ? QStringLiteral("no answer") : why.toLower());
    }
    return QStringLiteral("the cloud answered HTTP %1").arg(httpCode);
}

void NfzSyncController::handleResponse(int httpCode, const std::shared_ptr<nlohmann::json>& doc)
{
    if (httpCode != 200) {
        spdlog::warn("NfzSyncController: HTTP business code {}", httpCode);
        completeSync(false, Error::ServerReturnedError, httpCode, unansweredText(httpCode));
        return;
    }
    if (!doc || doc->is_null()) {
        spdlog::warn("NfzSyncController: empty zone reply");
        completeSync(false, Error::EmptyResponse, 0, QStringLiteral("empty zone reply"));
        return;
    }
    std::string text;
    try {
        text = doc->dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const std::exception& e) {
        spdlog::error("NfzSyncController: dump json failed: {}", e.what());
        completeSync(false, Error::DumpResponseFailed, 0, QString::fromUtf8(e.what()));
        return;
    }
    emit syncProgress(40, int(ProgressPhase::Saving));
    const auto zones = m_zoneManager.lock();
    std::thread(&NfzSyncController::writeCache, weak_from_this(), std::move(text), m_cachePath,
                zones ? zones->zones() : std::vector<NfzRecord>{}, m_allowShrink)
        .detach();
}

void NfzSyncController::writeCache(std::weak_ptr<NfzSyncController> self, std::string text, QString cachePath,
                                   std::vector<NfzRecord> held, bool allowShrink)
{
    auto fail = [&self](Error error, int detail, const QString& why) {
        spdlog::warn("NfzSyncController: sync failed ({}): {}", errorName(int(error)).toStdString(), why.toStdString());
        postToController(self,
                         [error, detail, why](NfzSyncController& c) { c.completeSync(false, error, detail, why); });
    };
    const QByteArray bytes = QByteArray::fromStdString(text);
    QString why;
    // A reply the zone parser rejects must not replace a good cache.
    const auto reply = NfzZoneManager::readDocument(bytes, &why);
    if (!reply)
        return fail(Error::ReloadFromCacheFailed, 0, QStringLiteral("cloud zones rejected: %1").arg(why));
    const CacheFile old = readCache(cachePath);
    const NfzZoneShrink shrink = NfzZoneShrink::compare(knownZones(std::move(held), old), *reply);
    if (!shrink.empty()) {
        postToController(self,
                         [allowShrink, shrink](NfzSyncController& c) { c.noteShrink("sync", allowShrink, shrink); });
        if (!allowShrink)
            return fail(Error::ZoneSetShrank, int(reply->size()), shrinkRefusal(shrink));
    }
    if (const Error e = replaceCache(cachePath, bytes, old, why); e != Error::None)
        return fail(e, 0, why);
    postToController(self, [](NfzSyncController& c) { c.reloadFromCache(); });
}

void NfzSyncController::reloadFromCache()
{
    auto zones = m_zoneManager.lock();
    if (!zones) {
        spdlog::warn("NfzSyncController: NfzZoneManager expired, cache written but not reloaded");
    } else if (!zones->reloadFromFile(m_cachePath)) {
        spdlog::warn("NfzSyncController: reloadFromFile failed: {}", zones->lastError().toStdString());
        completeSync(false, Error::ReloadFromCacheFailed, 0, zones->lastError());
        return;
    }
    m_cloudUpdateTime = m_pendingCloudUpdateTime;
    spdlog::info("NfzSyncController: sync completed, {} zones, cloud update time {}", zones ? zones->zoneCount() : 0,
                 m_cloudUpdateTime.toStdString());
    completeSync(true, Error::None, 0);
}

void NfzSyncController::noteShrink(const char* operation, bool applied, const NfzZoneShrink& shrink)
{
    spdlog::warn("NfzSyncController: {} {} zones away: {}", operation,
                 applied ? "takes (allowed)" : "refused, it takes", shrink.text().toStdString());
    m_lastShrink = ShrinkRecord{QString::fromLatin1(operation), applied, QDateTime::currentDateTimeUtc(), shrink};
}

void NfzSyncController::completeSync(bool ok, Error error, int detail, QString text)
{
    m_syncInProgress = false;
    m_lastErrorText = ok ? QString() : text;
    emit syncProgress(100, int(ok ? ProgressPhase::Completed : ProgressPhase::Failed));
    emit syncFinished(ok, int(error), detail);
}

NfzSyncController::LocalImportError NfzSyncController::validate(QByteArray& utf8, size_t& zoneCount, QString& errorText)
{
    stripBom(utf8);
    if (utf8.trimmed().isEmpty()) {
        errorText = QStringLiteral("The file is empty");
        return LocalImportError::EmptySource;
    }
    for (const char ch : utf8) {
        if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
            continue;
        if (ch != '[') {
            errorText = QStringLiteral("Expected a top-level JSON array");
            return LocalImportError::InvalidFormat;
        }
        break;
    }
    NfzZoneManager validator;
    if (!validator.reloadFromJsonUtf8(utf8)) {
        errorText = validator.lastError();
        return LocalImportError::InvalidFormat;
    }
    zoneCount = validator.zoneCount();
    if (zoneCount == 0) {
        errorText = QStringLiteral("The file holds no zone");
        return LocalImportError::EmptyZoneList;
    }
    return LocalImportError::None;
}

NfzSyncController::LocalImportError
NfzSyncController::prepareLocalImport(const QString& sourcePath, LocalImportCandidate& out, QString& errorText) const
{
    out = {};
    errorText.clear();
    QFile file(sourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = file.errorString();
        spdlog::warn("NfzSyncController: cannot read import file {}: {}", sourcePath.toStdString(),
                     errorText.toStdString());
        return LocalImportError::CannotReadSource;
    }
    QByteArray bytes = file.readAll();
    size_t count = 0;
    const LocalImportError result = validate(bytes, count, errorText);
    if (result != LocalImportError::None) {
        spdlog::warn("NfzSyncController: import file {} refused: {}", sourcePath.toStdString(),
                     errorText.toStdString());
        return result;
    }
    out.utf8 = std::move(bytes);
    out.zoneCount = count;
    return LocalImportError::None;
}

NfzSyncController::LocalImportError NfzSyncController::commitLocalImport(const LocalImportCandidate& candidate,
                                                                         QString& errorText, bool allowShrink)
{
    bool expected = false;
    if (!m_syncInProgress.compare_exchange_strong(expected, true)) {
        errorText = QStringLiteral("A no-fly-zone sync is in progress");
        return LocalImportError::Busy;
    }
    struct Clear {
        std::atomic<bool>& flag;
        ~Clear() { flag = false; }
    } clear{m_syncInProgress};

    QByteArray bytes = candidate.utf8;
    size_t count = 0;
    if (const auto r = validate(bytes, count, errorText); r != LocalImportError::None)
        return r;
    auto zones = m_zoneManager.lock();
    if (!zones) {
        errorText = QStringLiteral("NfzZoneManager unavailable");
        return LocalImportError::ReloadFromCacheFailed;
    }
    const CacheFile old = readCache(m_cachePath);
    const auto incoming = NfzZoneManager::readDocument(bytes);
    const NfzZoneShrink shrink =
        NfzZoneShrink::compare(knownZones(zones->zones(), old), incoming.value_or(std::vector<NfzRecord>{}));
    if (!shrink.empty()) {
        noteShrink("import", allowShrink, shrink);
        if (!allowShrink) {
            errorText = shrinkRefusal(shrink);
            return LocalImportError::ZoneSetShrank;
        }
    }
    switch (replaceCache(m_cachePath, bytes, old, errorText)) {
    case Error::None: break;
    case Error::CannotWriteCacheFile:
    case Error::WriteFailed:
        spdlog::warn("NfzSyncController: {}", errorText.toStdString());
        return LocalImportError::CannotWriteCacheFile;
    default:
        spdlog::warn("NfzSyncController: {}", errorText.toStdString());
        return LocalImportError::CannotFinalizeCache;
    }
    // From the file just written, so the set's origin is the cache.
    if (!zones->reloadFromFile(m_cachePath) || zones->origin().source != NfzZoneManager::Source::Cache) {
        errorText = zones->lastError().isEmpty() ? zones->origin().warning : zones->lastError();
        return LocalImportError::ReloadFromCacheFailed;
    }
    spdlog::info("NfzSyncController: imported {} zones into {}", count, m_cachePath.toStdString());
    return LocalImportError::None;
}
