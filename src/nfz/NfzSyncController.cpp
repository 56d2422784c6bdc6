#include "NfzSyncController.h"

#include "GcsHttp.h"
#include "NfzZoneManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QPointer>
#include <QSaveFile>

#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

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
    QMetaObject::invokeMethod(home, [self, fn = std::move(fn)] {
        if (auto c = self.lock())
            fn(*c);
    }, Qt::QueuedConnection);
}

}  // namespace

NfzSyncController::NfzSyncController(std::shared_ptr<GcsHttp> http, QString cachePath,
                                     std::shared_ptr<NfzZoneManager> zoneManager, QObject* parent)
    : QObject(parent), m_http(http), m_cachePath(std::move(cachePath)), m_zoneManager(zoneManager)
{
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

void NfzSyncController::startFullSync()
{
    bool expected = false;
    if (!m_syncInProgress.compare_exchange_strong(expected, true)) {
        spdlog::debug("NfzSyncController: startFullSync ignored, sync already in progress");
        return;
    }
    auto http = m_http.lock();
    if (!http) {
        spdlog::warn("NfzSyncController: no HTTP client, sync not started");
        completeSync(false, Error::HttpUnavailable, 0);
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

void NfzSyncController::handleResponse(int httpCode, const std::shared_ptr<nlohmann::json>& doc)
{
    if (httpCode != 200) {
        spdlog::warn("NfzSyncController: HTTP business code {}", httpCode);
        emit syncProgress(100, int(ProgressPhase::Failed));
        completeSync(false, Error::ServerReturnedError, httpCode);
        return;
    }
    if (!doc || doc->is_null()) {
        spdlog::warn("NfzSyncController: empty zone reply");
        completeSync(false, Error::EmptyResponse, 0);
        return;
    }
    std::string text;
    try {
        text = doc->dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const std::exception& e) {
        spdlog::error("NfzSyncController: dump json failed: {}", e.what());
        completeSync(false, Error::DumpResponseFailed, 0);
        return;
    }
    emit syncProgress(40, int(ProgressPhase::Saving));
    std::thread(&NfzSyncController::writeCache, weak_from_this(), std::move(text), m_cachePath).detach();
}

void NfzSyncController::writeCache(std::weak_ptr<NfzSyncController> self, std::string text, QString cachePath)
{
    auto fail = [&self](Error error, const char* line) {
        spdlog::error("NfzSyncController: {}", line);
        postToController(self, [error](NfzSyncController& c) {
            if (error == Error::ReloadFromCacheFailed)
                emit c.syncProgress(100, int(ProgressPhase::Failed));
            c.completeSync(false, error, 0);
        });
    };
    if (cachePath.isEmpty())
        return fail(Error::CannotWriteCacheFile, "no cache path");
    {
        // A reply the zone parser rejects must not replace a good cache.
        NfzZoneManager validator;
        if (!validator.reloadFromJsonUtf8(QByteArray::fromStdString(text))) {
            spdlog::warn("NfzSyncController: cloud zones rejected: {}", validator.lastError().toStdString());
            return fail(Error::ReloadFromCacheFailed, "zone reply not written");
        }
    }
    const fs::path target = fs::path(cachePath.toStdString());
    const fs::path tmp = fs::path(cachePath.toStdString() + ".tmp");
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
        return fail(Error::CannotWriteCacheFile, "cannot write temp file");
    out.write(text.data(), std::streamsize(text.size()));
    out.flush();
    if (!out)
        return fail(Error::WriteFailed, "short write");
    out.close();
    if (fs::exists(target, ec) && !fs::is_regular_file(target, ec))
        return fail(Error::CannotReplaceCache, "cannot remove old cache");
    // One rename over the old file: a crash leaves either the old cache or the new one.
    fs::rename(tmp, target, ec);
    if (ec)
        return fail(Error::CannotFinalizeCache, "rename failed");
    postToController(self, [](NfzSyncController& c) { c.reloadFromCache(); });
}

void NfzSyncController::reloadFromCache()
{
    auto zones = m_zoneManager.lock();
    if (!zones) {
        spdlog::warn("NfzSyncController: NfzZoneManager expired, cache written but not reloaded");
    } else if (!zones->reloadFromFile(m_cachePath)) {
        spdlog::warn("NfzSyncController: reloadFromFile failed: {}", zones->lastError().toStdString());
        emit syncProgress(100, int(ProgressPhase::Failed));
        completeSync(false, Error::ReloadFromCacheFailed, 0);
        return;
    }
    m_cloudUpdateTime = m_pendingCloudUpdateTime;
    spdlog::info("NfzSyncController: sync completed, {} zones, cloud update time {}", zones ? zones->zoneCount() : 0,
                 m_cloudUpdateTime.toStdString());
    emit syncProgress(100, int(ProgressPhase::Completed));
    completeSync(true, Error::None, 0);
}

void NfzSyncController::completeSync(bool ok, Error error, int detail)
{
    m_syncInProgress = false;
    emit syncFinished(ok, int(error), detail);
}

NfzSyncController::LocalImportError NfzSyncController::validate(QByteArray& utf8, size_t& zoneCount,
                                                                QString& errorText)
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

NfzSyncController::LocalImportError NfzSyncController::prepareLocalImport(const QString& sourcePath,
                                                                          LocalImportCandidate& out,
                                                                          QString& errorText) const
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
        spdlog::warn("NfzSyncController: import file {} refused: {}", sourcePath.toStdString(), errorText.toStdString());
        return result;
    }
    out.utf8 = std::move(bytes);
    out.zoneCount = count;
    return LocalImportError::None;
}

NfzSyncController::LocalImportError NfzSyncController::commitLocalImport(const LocalImportCandidate& candidate,
                                                                         QString& errorText)
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
    QDir().mkpath(QFileInfo(m_cachePath).absolutePath());
    QSaveFile file(m_cachePath);
    if (!file.open(QIODevice::WriteOnly)) {
        errorText = file.errorString();
        spdlog::warn("NfzSyncController: cannot write cache {}: {}", m_cachePath.toStdString(), errorText.toStdString());
        return LocalImportError::CannotWriteCacheFile;
    }
    if (file.write(bytes) != bytes.size()) {
        errorText = file.errorString();
        file.cancelWriting();
        spdlog::warn("NfzSyncController: short write to {}: {}", m_cachePath.toStdString(), errorText.toStdString());
        return LocalImportError::CannotWriteCacheFile;
    }
    if (!file.commit()) {
        errorText = file.errorString();
        spdlog::warn("NfzSyncController: cannot replace {}: {}", m_cachePath.toStdString(), errorText.toStdString());
        return LocalImportError::CannotFinalizeCache;
    }
    if (!zones->reloadFromJsonUtf8(bytes)) {
        errorText = zones->lastError();
        return LocalImportError::ReloadFromCacheFailed;
    }
    spdlog::info("NfzSyncController: imported {} zones into {}", count, m_cachePath.toStdString());
    return LocalImportError::None;
}
