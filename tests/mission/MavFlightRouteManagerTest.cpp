// The route store against real folders: round trips, refusals, broken files, export/import, an
// unwritable or missing cache, and a writer killed at random moments.

#include "mission/MavFlightRouteManager.h"
#include "mission/MavMultiPointRouteConfig.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include <random>

namespace {

using Mgr = MavFlightRouteManager;
using testsupport::waitUntil;

bool idle(Mgr& m)
{
    return waitUntil([&] { return !m.isLoadRunning(); });
}

MavFlightRouteDataItemPtr savedRoute(Mgr& m, const QString& name, int wayPoints)
{
    auto config = std::make_shared<MavMultiPointRouteConfig>();
    config->setName(name);
    auto route = m.addFlightRoute(config, nullptr);
    EXPECT_TRUE(idle(m));
    for (int i = 0; i < wayPoints; ++i)
        route->addWayPoint(MAVPROTO_WP_PASS, 113 + i, 22, 50, 5, 2, MAVPROTO_HEADING_KEEP, MAVPROTO_TRACE_STOP_AND_TURN,
                           MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    EXPECT_TRUE(m.updateFlightRoute(route));
    EXPECT_TRUE(idle(m));
    return route;
}

// Refreshes and returns the JSON of every route in memory.
std::vector<std::string> refreshed(Mgr& m)
{
    QSignalSpy done(&m, &Mgr::flightRoutesRefreshed);
    m.refreshFromLocal();
    EXPECT_TRUE(waitUntil([&] { return done.count() == 1; }));
    std::vector<std::string> out;
    for (const auto& r : m.flightRoutes())
        out.push_back(r->toJson()->dump());
    return out;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()) << path.toStdString();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(MavFlightRouteManager, SaveRefreshExportImportRemove)
{
    const QString dir = testsupport::makeTempDir("routes");
    Mgr store(dir);
    auto route = savedRoute(store, QStringLiteral("巡检"), 2);
    const auto routes = std::vector<std::string>{route->toJson()->dump(), savedRoute(store, "b", 0)->toJson()->dump()};
    auto wp = route->getWayPointByIndex(0);
    store.setDefaultWayPointData(wp);
    EXPECT_TRUE(store.updateFlightRoute(route));
    EXPECT_FALSE(store.updateFlightRoute(route)) << "the first save is still running";
    EXPECT_TRUE(testsupport::LogCapture::instance().contains(
        spdlog::level::warn, "<FlightRouteMgr> load thread already running, save flight route failed, routeId:" +
                                 route->id().toStdString()));
    ASSERT_TRUE(idle(store));

    Mgr other(dir);
    EXPECT_EQ(refreshed(other), routes);
    ASSERT_NE(other.defaultWayPointData(), nullptr);
    EXPECT_EQ(*other.defaultWayPointData()->toJson(), *wp->toJson());

    const QString exportDir = testsupport::makeTempDir("export") + "/sub";
    int result = 1;
    QObject::connect(&store, &Mgr::allFlightRoutesExported, &store, [&](int ret, int) { result = ret; });
    store.exportAllToLocal(exportDir);
    ASSERT_TRUE(waitUntil([&] { return result != 1; }));
    EXPECT_EQ(result, 0);
    Mgr fresh(testsupport::makeTempDir("routes"));
    QSignalSpy freshRefreshed(&fresh, &Mgr::flightRoutesRefreshed);
    fresh.importAllFromLocal(exportDir);
    ASSERT_TRUE(waitUntil([&] { return freshRefreshed.count() == 1 && !fresh.isImporting(); }));
    EXPECT_EQ(refreshed(fresh), routes) << "imported";

    EXPECT_TRUE(store.removeFlightRoute(route));
    ASSERT_TRUE(idle(store));
    EXPECT_EQ(store.flightRoutes().size(), 1u);
    EXPECT_FALSE(QFile::exists(dir + "/" + route->id() + ".frd"));
    EXPECT_EQ(refreshed(other), std::vector<std::string>{routes[1]});
}

TEST(MavFlightRouteManager, BrokenIndexEntriesAndRouteFilesAreSkipped)
{
    const QString dir = testsupport::makeTempDir("routes");
    Mgr store(dir);
    const auto good1 = savedRoute(store, "one", 1)->toJson()->dump();
    const auto good2 = savedRoute(store, "two", 0)->toJson()->dump();
    auto index = nlohmann::json::parse(readFile(dir + "/index.fridx").toStdString());
    // Route files: none, broken text, a member of the wrong kind, another route's content.
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"3f2504e0-4f89-11d3-9a0c-0305e82c3301", ""},
        {"3f2504e0-4f89-11d3-9a0c-0305e82c3302", "{\"id\": "},
        {"3f2504e0-4f89-11d3-9a0c-0305e82c3303", R"({"id": "3f2504e0-4f89-11d3-9a0c-0305e82c3303", "name": 5})"},
        {"3f2504e0-4f89-11d3-9a0c-0305e82c3304", good2},
    };
    for (const auto& [id, text] : bad) {
        if (!text.empty())
            writeFile(dir + "/" + QString::fromStdString(id) + ".frd", QByteArray::fromStdString(text));
        index.insert(index.begin() + 1, id);
    }
    writeFile(dir + "/../x.frd", QByteArray::fromStdString(good2));
    index.insert(index.begin() + 1, {"../x", 5});
    writeFile(dir + "/index.fridx", QByteArray::fromStdString(index.dump()));

    Mgr other(dir);
    EXPECT_EQ(refreshed(other), (std::vector<std::string>{good1, good2}));
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn, "can not load " + bad[0].first),
              1);
    // A broken or missing index is rebuilt from the valid route files; a save before any refresh
    // then keeps every route instead of writing an index of one.
    for (const char* text : {"{\"a\": 1}", "not json"}) {
        writeFile(dir + "/index.fridx", text);
        EXPECT_EQ(refreshed(other), (std::vector<std::string>{good1, good2})) << text;
    }
    QFile::remove(dir + "/index.fridx");
    Mgr third(dir);
    savedRoute(third, "three", 0);
    EXPECT_EQ(refreshed(other).size(), 3u);
    EXPECT_EQ(readFile(dir + "/" + QString::fromStdString(bad[2].first) + ".frd").size() > 0, true)
        << "nothing deleted";
}

TEST(MavFlightRouteManager, ImportCopiesOnlyValidFilesAndNoSaveIsSilent)
{
    const QString dir = testsupport::makeTempDir("routes");
    Mgr store(dir);
    const auto a = savedRoute(store, "a", 1);
    const auto b = savedRoute(store, "b", 2);
    const QString out = testsupport::makeTempDir("export");
    store.exportAllToLocal(out);
    ASSERT_TRUE(idle(store));
    EXPECT_EQ(store.lastFileReport().done, (std::vector<QString>{a->id(), b->id()}));

    // The exported a is broken, b holds a's route, and c is a good route new to the store.
    const QString c = "3f2504e0-4f89-11d3-9a0c-0305e82c3310";
    auto cJson = *a->toJson();
    cJson["id"] = c.toStdString();
    writeFile(out + "/" + a->id() + ".frd", "{\"id\": ");
    writeFile(out + "/" + b->id() + ".frd", readFile(dir + "/" + a->id() + ".frd"));
    writeFile(out + "/" + c + ".frd", QByteArray::fromStdString(cJson.dump()));
    writeFile(out + "/index.fridx",
              QByteArray::fromStdString(
                  nlohmann::json({a->id().toStdString(), b->id().toStdString(), c.toStdString()}).dump()));
    const QByteArray localA = readFile(dir + "/" + a->id() + ".frd"), localB = readFile(dir + "/" + b->id() + ".frd");
    store.importAllFromLocal(out);
    ASSERT_TRUE(waitUntil([&] { return !store.isImporting() && !store.isLoadRunning() && !store.isRefreshing(); }));
    const auto report = store.lastFileReport();
    EXPECT_EQ(report.done, std::vector<QString>{c});
    ASSERT_EQ(report.skipped.size(), 2u);
    EXPECT_EQ(report.skipped[0].second, "not valid JSON");
    EXPECT_EQ(report.skipped[1].second, "holds another route id");
    EXPECT_EQ(readFile(dir + "/" + a->id() + ".frd"), localA);
    EXPECT_EQ(readFile(dir + "/" + b->id() + ".frd"), localB);
    EXPECT_EQ(store.flightRoutes().size(), 3u);

    // A route a transfer holds is neither removed nor saved by others; a refused save says why.
    const auto held = store.flightRoutes().front();
    QSignalSpy failed(&store, &Mgr::routeSaveFailed);
    store.lockRoute(held->id(), "A mission transfer is in progress");
    EXPECT_FALSE(store.removeFlightRoute(held));
    EXPECT_FALSE(store.updateFlightRoute(held));
    store.unlockRoute(held->id());
    EXPECT_TRUE(store.updateFlightRoute(held));
    EXPECT_FALSE(store.updateFlightRoute(held));
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed.at(0).at(1).toString(), "Route store is busy");
    EXPECT_EQ(store.lastSaveError(held->id()), "Route store is busy");
    ASSERT_TRUE(idle(store));
    EXPECT_TRUE(store.updateFlightRoute(held));
    ASSERT_TRUE(idle(store));
    EXPECT_TRUE(store.lastSaveError(held->id()).isEmpty()) << "a later save clears the mark";
}

TEST(MavFlightRouteManager, UnwritableOrMissingCacheKeepsRoutesInMemory)
{
    // Root ignores permissions, so a regular file stands where the folder should be.
    const QString blocked = testsupport::makeTempDir("blocked") + "/routes";
    writeFile(blocked, "file");
    Mgr store(blocked);
    auto route = savedRoute(store, "kept", 2);
    store.setDefaultWayPointData(route->getWayPointByIndex(0));
    EXPECT_TRUE(idle(store));
    EXPECT_EQ(store.flightRoutes().size(), 1u);
    auto& log = testsupport::LogCapture::instance();
    EXPECT_GE(log.countContaining(spdlog::level::warn, "can not save index file"), 1);
    EXPECT_FALSE(store.lastSaveError(route->id()).isEmpty()) << "the disk's refusal is kept";
    EXPECT_EQ(log.countContaining(spdlog::level::warn, "can not save default waypoint data"), 1);
    EXPECT_EQ(refreshed(store).size(), 1u) << "an unreadable index leaves the list as it is";

    // No application cache path (settings not initialised): nothing lands anywhere.
    const QString cwd = testsupport::makeTempDir("cwd");
    ASSERT_TRUE(QDir::setCurrent(cwd));
    Mgr noCache;
    EXPECT_TRUE(noCache.cachePath().isEmpty());
    auto memoryOnly = savedRoute(noCache, "memory", 1);
    noCache.setDefaultWayPointData(memoryOnly->getWayPointByIndex(0));
    noCache.exportAllToLocal(cwd);
    EXPECT_EQ(refreshed(noCache).size(), 1u);
    EXPECT_TRUE(QDir(cwd).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    EXPECT_FALSE(QFileInfo::exists("/missions/routes"));
}

// Started by the kill test: saves one 255-waypoint route over and over, one version per save.
TEST(MavFlightRouteManager, DISABLED_KillChild)
{
    Mgr store(qEnvironmentVariable("VELMORA_ROUTE_KILL_DIR"));
    refreshed(store);
    auto route = store.flightRoutes().empty() ? savedRoute(store, "0", 255) : store.flightRoutes().front();
    for (int version = route->name().toInt() + 1; version < 100000; ++version) {
        route->setName(QString::number(version));
        for (const auto& wp : route->wayPointList())
            wp->setAlt(version);
        ASSERT_TRUE(store.updateFlightRoute(route));
        while (store.isLoadRunning())  // no event-loop pause: keep the disk busy for the kill
            QThread::yieldCurrentThread();
    }
}

TEST(MavFlightRouteManager, KilledWriterLeavesWholeFiles)
{
    const QString dir = testsupport::makeTempDir("routes");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELMORA_ROUTE_KILL_DIR", dir);
    env.insert("VELMORA_TEST_ROOT", testsupport::makeTempDir("child"));
    // The version on disk, checked whole: -1 while there is none.
    const auto version = [&]() -> int {
        if (!QFile::exists(dir + "/index.fridx"))
            return -1;
        const auto index = nlohmann::json::parse(readFile(dir + "/index.fridx").toStdString(), nullptr, false);
        const auto route =
            index.is_array() && index.size() == 1 && index[0].is_string()
                ? nlohmann::json::parse(readFile(dir + "/" + QString::fromStdString(index[0]) + ".frd").toStdString(),
                                        nullptr, false)
                : nlohmann::json();
        if (!route.is_object() || !route.contains("points")) {
            ADD_FAILURE() << "torn index or route file";
            return -2;
        }
        const int v = std::stoi(route.value("name", "-2"));
        if (v == 0)
            return v;  // the child's first saves
        EXPECT_EQ(route["points"].size(), 255u);
        for (const auto& p : route["points"])
            EXPECT_EQ(p.value("alt", 0.0), v) << "one version throughout";
        return v;
    };
    std::mt19937 rng(11);
    int last = 0;
    for (int round = 0; round < 20 && !testing::Test::HasFailure(); ++round) {
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=MavFlightRouteManager.DISABLED_KillChild", "--gtest_also_run_disabled_tests"});
        ASSERT_TRUE(waitUntil([&] { return version() > last || HasFailure(); }, 20000) && !HasFailure())
            << "round " << round;
        testsupport::pumpEvents(int(rng() % 40));
        child.kill();
        ASSERT_TRUE(child.waitForFinished(5000));
        const int now = version();
        EXPECT_GE(now, last) << "round " << round;
        last = now;
    }
    Mgr store(dir);
    EXPECT_EQ(refreshed(store).size(), 1u);
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporaries left after a refresh";
}
