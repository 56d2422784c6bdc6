#pragma once
// Keeps the local no-fly-zone cache ("nfz_cache.json") and the shared zone set up to date: a
// full sync downloads every zone from the cloud, writes the cache and reloads the zone manager
// from it; a local import replaces the cache with a file of the user's (prepare, then commit).
//
// - The cache is replaced whole: the writer fills "<cache>.tmp" and renames it over the cache
//   in one step, so a crash leaves the old file or the new one, never neither. A cache path that
//   is not a regular file cannot be replaced (CannotReplaceCache).
// - The writer validates the document with a private zone manager before writing: a reply the
//   zone parser rejects keeps the old cache and the old zone set (ReloadFromCacheFailed).
// - The writer runs on a detached thread and reports back through a weak reference locked on
//   the main thread, so a controller destroyed meanwhile is simply not called. The controller
//   must therefore be owned by a std::shared_ptr.
// - The cloud's update time of the last successful sync is kept (cloudUpdateTime()).
// Main thread only, but for the writer.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

class GcsHttp;
class NfzZoneManager;

class NfzSyncController : public QObject, public std::enable_shared_from_this<NfzSyncController> {
    Q_OBJECT
public:
    enum class Error {
        None = 0,
        HttpUnavailable = 1,
        ServerReturnedError = 2,
        EmptyResponse = 3,
        DumpResponseFailed = 4,
        CannotWriteCacheFile = 5,
        WriteFailed = 6,
        CannotReplaceCache = 7,
        CannotFinalizeCache = 8,
        ReloadFromCacheFailed = 9,
    };
    Q_ENUM(Error)
    enum class ProgressPhase { Downloading = 0, Saving = 1, Completed = 2, Failed = 3 };
    Q_ENUM(ProgressPhase)
    enum class LocalImportError {
        None = 0,
        Busy = 1,
        CannotReadSource = 2,
        EmptySource = 3,
        InvalidFormat = 4,
        EmptyZoneList = 5,
        CannotWriteCacheFile = 6,
        CannotFinalizeCache = 7,
        ReloadFromCacheFailed = 8,
    };
    Q_ENUM(LocalImportError)

    struct LocalImportCandidate {
        QByteArray utf8;  // without a byte-order mark
        size_t zoneCount = 0;
    };

    NfzSyncController(std::shared_ptr<GcsHttp> http, QString cachePath, std::shared_ptr<NfzZoneManager> zoneManager,
                      QObject* parent = nullptr);
    ~NfzSyncController() override;

    void startFullSync();
    bool isSyncInProgress() const { return m_syncInProgress.load(); }
    QString cachePath() const { return m_cachePath; }
    QString cloudUpdateTime() const { return m_cloudUpdateTime; }
    static QString errorName(int error);

    LocalImportError prepareLocalImport(const QString& sourcePath, LocalImportCandidate& out, QString& errorText) const;
    LocalImportError commitLocalImport(const LocalImportCandidate& candidate, QString& errorText);

signals:
    void syncFinished(bool ok, int errorCode, int detail);
    void syncProgress(int percent, int phase);

private:
    void handleResponse(int httpCode, const std::shared_ptr<nlohmann::json>& doc);
    void reloadFromCache();
    void completeSync(bool ok, Error error, int detail);
    // Runs on the writer thread; touches nothing of the controller.
    static void writeCache(std::weak_ptr<NfzSyncController> self, std::string text, QString cachePath);
    static LocalImportError validate(QByteArray& utf8, size_t& zoneCount, QString& errorText);

    std::weak_ptr<GcsHttp> m_http;
    QString m_cachePath;
    std::weak_ptr<NfzZoneManager> m_zoneManager;
    std::atomic<bool> m_syncInProgress{false};
    QString m_cloudUpdateTime;
    QString m_pendingCloudUpdateTime;
};
