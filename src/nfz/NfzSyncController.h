#pragma once
// Keeps the local no-fly-zone cache ("nfz_cache.json") and the shared zone set up to date: a
// full sync downloads every zone from the cloud, writes the cache and reloads the zone manager
// from it; a local import replaces the cache with a file of the user's (prepare, then commit).
//
// - The cache is replaced whole and durably: the new text goes through QSaveFile (a uniquely
//   named temporary, synced to disk, renamed over the cache), then the directory is synced, so
//   a crash or power cut leaves the old file or the new one, never neither. The cache being
//   replaced, when it still loads, is kept first as "<cache>.bak"; the zone manager falls back
//   to that copy when it finds the cache broken. A cache path that is not a regular file cannot
//   be replaced (CannotReplaceCache). Temporaries left by a killed writer ("<cache>.tmp",
//   "<cache>.XXXXXX", "<cache>.bak.XXXXXX") are removed when the controller is built and
//   before each replacement.
// - The writer validates the document with a private zone manager before writing: a reply the
//   zone parser rejects keeps the old cache and the old zone set (ReloadFromCacheFailed).
// - A cloud reply or an import that takes zones away from those known (the zone set held and
//   the cache file's, by id: a zone removed, or kept smaller; see NfzZoneShrink) is not written:
//   the sync ends with ZoneSetShrank (detail the reply's count; lastErrorText() lists the zones),
//   an import with LocalImportError::ZoneSetShrank; old cache and set kept. allowShrink lets it
//   through. Either way the list is logged as a warning and kept as lastShrink(). With nothing
//   known (first start) any reply is taken.
// - The writer runs on a detached thread and reports back through a weak reference locked on
//   the main thread, so a controller destroyed meanwhile is simply not called. The controller
//   must therefore be owned by a std::shared_ptr. A zone manager gone by the end leaves the
//   cache written and the sync successful.
// - The cloud's update time of the last successful sync is kept (cloudUpdateTime()).
// Main thread only, but for the writer.

#include "nfz/NfzZoneShrink.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

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
        ZoneSetShrank = 10,
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
        ZoneSetShrank = 9,
    };
    Q_ENUM(LocalImportError)

    // The last sync or import that would take zones away, refused or let through.
    struct ShrinkRecord {
        QString operation;  // "sync" or "import"
        bool applied = false;  // allowShrink let it through
        QDateTime time;  // UTC
        NfzZoneShrink shrink;
    };

    struct LocalImportCandidate {
        QByteArray utf8;  // without a byte-order mark
        size_t zoneCount = 0;
    };

    NfzSyncController(std::shared_ptr<GcsHttp> http, QString cachePath, std::shared_ptr<NfzZoneManager> zoneManager,
                      QObject* parent = nullptr);
    ~NfzSyncController() override;

    // allowShrink: write a reply even when it removes or shrinks known zones.
    void startFullSync(bool allowShrink = false);
    bool isSyncInProgress() const { return m_syncInProgress.load(); }
    QString cachePath() const { return m_cachePath; }
    QString cloudUpdateTime() const { return m_cloudUpdateTime; }
    // Why the last sync failed, for people; empty after a successful one.
    QString lastErrorText() const { return m_lastErrorText; }
    static QString errorName(int error);
    const std::optional<ShrinkRecord>& lastShrink() const { return m_lastShrink; }

    LocalImportError prepareLocalImport(const QString& sourcePath, LocalImportCandidate& out, QString& errorText) const;
    LocalImportError commitLocalImport(const LocalImportCandidate& candidate, QString& errorText,
                                       bool allowShrink = false);

signals:
    void syncFinished(bool ok, int errorCode, int detail);
    void syncProgress(int percent, int phase);

private:
    QString unansweredText(int httpCode) const;
    void handleResponse(int httpCode, const std::shared_ptr<nlohmann::json>& doc);
    void reloadFromCache();
    void completeSync(bool ok, Error error, int detail, QString text = {});
    // Runs on the writer thread; touches nothing of the controller.
    static void writeCache(std::weak_ptr<NfzSyncController> self, std::string text, QString cachePath,
                           std::vector<NfzRecord> held, bool allowShrink);
    void noteShrink(const char* operation, bool applied, const NfzZoneShrink& shrink);
    static LocalImportError validate(QByteArray& utf8, size_t& zoneCount, QString& errorText);

    std::weak_ptr<GcsHttp> m_http;
    QString m_cachePath;
    std::weak_ptr<NfzZoneManager> m_zoneManager;
    std::atomic<bool> m_syncInProgress{false};
    QString m_cloudUpdateTime;
    QString m_pendingCloudUpdateTime;
    QString m_lastErrorText;
    bool m_allowShrink = false;
    std::optional<ShrinkRecord> m_lastShrink;
};
