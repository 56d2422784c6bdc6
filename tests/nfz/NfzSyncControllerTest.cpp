// Full syncs against velmora-cloud-sim: each outcome's code, and the cache and zone set kept
// whole when a sync fails.
#include "nfz/NfzSyncController.h"

#include "CloudSimProcess.h"
#include "GcsHttp.h"
#include "LogCapture.h"
#include "NfzZoneManager.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

const QByteArray kOld = R"([{"id":1,"type":"circle","center":[30,120],"radius":50}])";
// kOld's zone kept, two more.
const QByteArray kNew = R"([{"id":1,"type":"circle","center":[30,120],"radius":50},)"
                        R"({"id":7,"type":"polygon","points":[[1,2],[1,3],[2,3]]},)"
                        R"({"id":8,"type":"circle","center":[3,4],"radius":9}])";
// kOld's zone removed; kOld's zone smaller.
const QByteArray kRemoves = R"([{"id":7,"type":"polygon","points":[[1,2],[1,3],[2,3]]}])";
const QByteArray kShrinks = R"([{"id":1,"type":"circle","center":[30,120],"radius":40}])";

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

}  // namespace

// Each outcome's code; a failure keeps cache and set, a success keeps the old cache as .bak for
// a later load to fall back on; leftover temporaries go either way.
TEST(NfzSync, EachOutcomeKeepsOrReplacesTheCacheWhole)
{
    enum Cache { OldFile, FileForDir, DirAtPath };
    enum Twist { None, Offline, AllowShrink, ZonesGone };
    struct Row {
        const char* name;
        QByteArray served;
        QStringList simArgs;
        Cache cache;
        Twist twist;
        bool ok;
        int error;
        int detail;
        const char* message;
    };
    using E = NfzSyncController::Error;
    const Row rows[] = {
        {"success", kNew, {}, OldFile, None, true, int(E::None), 0, ""},
        {"401",
         kNew,
         {"--fail", "/nfz/zones=401"},
         OldFile,
         None,
         false,
         int(E::ServerReturnedError),
         401,
         "the cloud answered HTTP 401"},
        {"408",
         kNew,
         {"--fail", "/nfz/zones=408"},
         OldFile,
         None,
         false,
         int(E::ServerReturnedError),
         408,
         "the cloud answered HTTP 408"},
        {"network error",
         kNew,
         {},
         OldFile,
         Offline,
         false,
         int(E::ServerReturnedError),
         0,
         "cannot reach the cloud at http://127.0.0.1:9: connection refused"},
        {"JSON null", "null", {}, OldFile, None, false, int(E::EmptyResponse), 0, "empty zone reply"},
        {"malformed zone",
         R"([{"id":3,"type":"circle","center":[3,4],"radius":-1}])",
         {},
         OldFile,
         None,
         false,
         int(E::ReloadFromCacheFailed),
         0,
         nullptr},
        {"file in place of the cache directory",
         kNew,
         {},
         FileForDir,
         None,
         false,
         int(E::CannotWriteCacheFile),
         0,
         nullptr},
        {"directory at the cache path", kNew, {}, DirAtPath, None, false, int(E::CannotReplaceCache), 0, nullptr},
        {"no zones",
         "[]",
         {},
         OldFile,
         None,
         false,
         int(E::ZoneSetShrank),
         0,
         "the new zone set takes zones away: zone 1 removed (allowShrink accepts it)"},
        {"a zone removed, though more zones come",
         kRemoves,
         {},
         OldFile,
         None,
         false,
         int(E::ZoneSetShrank),
         1,
         "the new zone set takes zones away: zone 1 removed (allowShrink accepts it)"},
        {"a zone smaller",
         kShrinks,
         {},
         OldFile,
         None,
         false,
         int(E::ZoneSetShrank),
         1,
         "the new zone set takes zones away: zone 1 smaller (7854 m² to 5027 m²) (allowShrink accepts it)"},
        {"a zone smaller, shrinking allowed", kShrinks, {}, OldFile, AllowShrink, true, int(E::None), 0, ""},
        {"no zones, shrinking allowed", "[]", {}, OldFile, AllowShrink, true, int(E::None), 0, ""},
        {"zone manager gone mid-sync", kNew, {}, OldFile, ZonesGone, true, int(E::None), 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString dir = testsupport::makeTempDir("nfzsync");
        const QString served = dir + "/served.json";
        writeFile(served, row.served);
        QString cachePath = dir + "/cache/nfz_cache.json";
        const QStringList leftovers = {cachePath + ".tmp", cachePath + ".Ab3dE9", cachePath + ".bak.x1Y2z3"};
        if (row.cache == FileForDir) {
            writeFile(dir + "/cache", "not a directory");
        } else {
            ASSERT_TRUE(QDir().mkpath(dir + "/cache"));
            for (const QString& f : leftovers)
                writeFile(f, "partial");
            if (row.cache == DirAtPath)
                ASSERT_TRUE(QDir().mkpath(cachePath));
            else
                writeFile(cachePath, kOld);
        }
        testsupport::CloudSimProcess sim{VELMORA_CLOUD_SIM_BIN};
        ASSERT_TRUE(sim.start(QStringList{"--zones", served} + row.simArgs)) << sim.errorOutput().toStdString();
        auto http =
            std::make_shared<GcsHttp>(row.twist == Offline ? QStringLiteral("http://127.0.0.1:9") : sim.baseUrl());
        http->start();
        auto zones = std::make_shared<NfzZoneManager>();
        ASSERT_TRUE(zones->reloadFromJsonUtf8(kOld));
        auto sync = std::make_shared<NfzSyncController>(http, cachePath, zones);
        QSignalSpy finished(sync.get(), &NfzSyncController::syncFinished);
        QSignalSpy progress(sync.get(), &NfzSyncController::syncProgress);

        sync->startFullSync(row.twist == AllowShrink);
        sync->startFullSync();  // ignored while the first runs
        if (row.twist == ZonesGone)
            zones.reset();
        ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 10000));
        testsupport::pumpEvents(50);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.at(0).at(0).toBool(), row.ok);
        EXPECT_EQ(finished.at(0).at(1).toInt(), row.error);
        EXPECT_EQ(finished.at(0).at(2).toInt(), row.detail);
        if (row.message) {
            EXPECT_EQ(sync->lastErrorText(), row.message);
        }
        EXPECT_FALSE(sync->isSyncInProgress());
        EXPECT_EQ(progress.last().at(1).toInt(),
                  int(row.ok ? NfzSyncController::ProgressPhase::Completed : NfzSyncController::ProgressPhase::Failed));
        const size_t servedZones = NfzZoneManager::checkDocument(row.served).value_or(0);
        if (zones) {
            EXPECT_EQ(zones->zoneCount(), !row.ok ? 1u : servedZones);
        }
        EXPECT_EQ(sync->lastShrink().has_value(),
                  row.served == "[]" || row.served == kRemoves || row.served == kShrinks);
        if (row.cache == OldFile) {
            if (row.ok)
                EXPECT_EQ(NfzZoneManager::checkDocument(readAll(cachePath)), servedZones);
            else
                EXPECT_EQ(readAll(cachePath), kOld);
            EXPECT_EQ(readAll(cachePath + ".bak"), row.ok ? kOld : QByteArray());
            // A cache found broken (a disk fault): the next load takes the backup, with one warning.
            writeFile(cachePath, "[{\"id\":");
            NfzZoneManager restarted;
            testsupport::LogCapture::instance().clear();
            EXPECT_EQ(restarted.reloadFromFile(cachePath), row.ok);
            EXPECT_EQ(restarted.zoneCount(), row.ok ? 1u : 0u);
            EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn, ""), 1);
        }
        for (const QString& f : leftovers)
            EXPECT_FALSE(QFile::exists(f)) << f.toStdString();
        EXPECT_EQ(sync->cloudUpdateTime().isEmpty(), !row.ok);
    }
}

// A local import: prepared files are judged before anything changes; a commit replaces the cache
// and the zone set, and is refused while a sync runs.
TEST(NfzSync, LocalImportValidatesThenReplaces)
{
    using E = NfzSyncController::LocalImportError;
    const QString dir = testsupport::makeTempDir("nfzimport");
    const struct {
        QByteArray bytes;
        E result;
        QString error;
    } rows[] = {
        {"\xEF\xBB\xBF  []", E::EmptyZoneList, {}},
        {"  {\"id\": 1}", E::InvalidFormat, "Expected a top-level JSON array"},
        {" \n", E::EmptySource, {}},
        {R"([{"id":1,"type":"circle","center":[3,4]}])", E::InvalidFormat, {}},
        {"\xEF\xBB\xBF" + kNew, E::None, {}},
    };
    auto zones = std::make_shared<NfzZoneManager>();
    auto http = std::make_shared<GcsHttp>(QString());
    auto sync = std::make_shared<NfzSyncController>(http, dir + "/cache/nfz_cache.json", zones);
    NfzSyncController::LocalImportCandidate candidate;
    QString error;
    EXPECT_EQ(sync->prepareLocalImport(dir + "/missing.json", candidate, error), E::CannotReadSource);
    for (const auto& row : rows) {
        writeFile(dir + "/in.json", row.bytes);
        EXPECT_EQ(sync->prepareLocalImport(dir + "/in.json", candidate, error), row.result) << row.bytes.toStdString();
        if (!row.error.isEmpty()) {
            EXPECT_EQ(error, row.error);
        }
    }
    EXPECT_EQ(candidate.zoneCount, 3u);
    EXPECT_EQ(zones->zoneCount(), 0u) << "prepare changes nothing";
    http->start();
    sync->startFullSync();  // no cloud: answered on a later turn
    EXPECT_EQ(sync->commitLocalImport(candidate, error), E::Busy);
    ASSERT_TRUE(waitUntil([&] { return !sync->isSyncInProgress(); }));
    EXPECT_EQ(sync->commitLocalImport(candidate, error), E::None) << error.toStdString();
    EXPECT_EQ(zones->zoneCount(), 3u);
    EXPECT_EQ(readAll(dir + "/cache/nfz_cache.json"), kNew);
    EXPECT_EQ(zones->origin().source, NfzZoneManager::Source::Cache);
    // A file that drops zones 1 and 8 is refused unless allowed.
    writeFile(dir + "/in.json", kRemoves);
    ASSERT_EQ(sync->prepareLocalImport(dir + "/in.json", candidate, error), E::None);
    EXPECT_EQ(sync->commitLocalImport(candidate, error), E::ZoneSetShrank);
    EXPECT_EQ(error, "the new zone set takes zones away: zones 1, 8 removed (allowShrink accepts it)");
    EXPECT_EQ(zones->zoneCount(), 3u);
    EXPECT_EQ(sync->commitLocalImport(candidate, error, true), E::None);
    EXPECT_EQ(zones->zoneCount(), 1u);
    EXPECT_TRUE(sync->lastShrink() && sync->lastShrink()->applied);
}

// Runs only as the child of SoakKilledSyncLeavesOldOrNewCache: syncs again and again until killed.
TEST(NfzSync, ChildKeepsSyncing)
{
    const QByteArray url = qgetenv("NFZ_SYNC_CHILD_URL");
    if (url.isEmpty())
        GTEST_SKIP() << "child of SoakKilledSyncLeavesOldOrNewCache";
    auto http = std::make_shared<GcsHttp>(QString::fromUtf8(url));
    http->start();
    auto sync = std::make_shared<NfzSyncController>(http, QString::fromUtf8(qgetenv("NFZ_SYNC_CHILD_CACHE")),
                                                    std::make_shared<NfzZoneManager>());
    QObject::connect(sync.get(), &NfzSyncController::syncFinished,
                     [&] { QTimer::singleShot(0, [&] { sync->startFullSync(); }); });
    sync->startFullSync();
    testsupport::pumpEvents(60000);
}

// A process killed (SIGKILL) at any moment of a 10 MB sync leaves the old cache or the new one.
// Half a minute of kills: a soak case.
TEST(NfzSync, SoakKilledSyncLeavesOldOrNewCache)
{
    nlohmann::json doc = nlohmann::json::array();
    for (int id = 0; id < 4200; ++id) {
        nlohmann::json points = nlohmann::json::array();
        for (int i = 0; i < 100; ++i)
            points.push_back({10 + id * 1e-3 + i * 1e-6, 100 + i * 1e-5});
        doc.push_back({{"id", id}, {"points", points}, {"type", "polygon"}});
    }
    const QByteArray fresh = QByteArray::fromStdString(doc.dump());
    ASSERT_GT(fresh.size(), 10 * 1000 * 1000);
    const QString dir = testsupport::makeTempDir("nfzkill");
    writeFile(dir + "/served.json", fresh);
    const QString cachePath = dir + "/nfz_cache.json";
    writeFile(cachePath, kOld);
    testsupport::CloudSimProcess sim{VELMORA_CLOUD_SIM_BIN};
    ASSERT_TRUE(sim.start({"--zones", dir + "/served.json"})) << sim.errorOutput().toStdString();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NFZ_SYNC_CHILD_URL", sim.baseUrl());
    env.insert("NFZ_SYNC_CHILD_CACHE", cachePath);
    int sawNew = 0;
    for (int run = 0; run < 50; ++run) {
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=NfzSync.ChildKeepsSyncing"});
        ASSERT_TRUE(child.waitForStarted());
        // The first child completes a sync before it is killed, however slow the build (a
        // sanitized one is several times slower), so the kills land on a cache that was replaced.
        if (run == 0) {
            ASSERT_TRUE(testsupport::waitUntil([&] { return readAll(cachePath) == fresh; }, 120000));
        }
        testsupport::pumpEvents(100 + QRandomGenerator::global()->bounded(900));
        child.kill();
        child.waitForFinished();
        const QByteArray cache = readAll(cachePath);
        ASSERT_TRUE(cache == kOld || cache == fresh) << "run " << run << ": " << cache.size() << " bytes";
        sawNew += cache == fresh;
    }
    EXPECT_GT(sawNew, 0) << "some sync got through";
}
