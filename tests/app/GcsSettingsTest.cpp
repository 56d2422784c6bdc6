// Each test case runs in a process of its own (ctest), so every case starts from a fresh
// singleton and an empty store under the test's temporary root.

#include "app/GcsSettings.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <functional>

namespace {

QSettings rawStore()
{
    return QSettings(QStringLiteral("Brel"), QStringLiteral("Velmora"));
}

GcsSettings* initedSettings()
{
    auto* s = GcsSettings::getInstance();
    s->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
    return s;
}

}  // namespace

TEST(GcsSettings, FreshStoreYieldsDefaults)
{
    auto* s = initedSettings();
    EXPECT_EQ(s->getStyle(), "dark");
    EXPECT_EQ(s->getTeleReqInterval(), 200);
    EXPECT_EQ(s->mapSceneRangeType(), 1);
    EXPECT_EQ(s->mapProviderType(), 0);
    EXPECT_EQ(s->getTrackRefreshInterval(), 500);
    EXPECT_EQ(s->maxClusterCount(), 6);
    EXPECT_EQ(s->controlDisplayMode(), GcsSettingsEnums::ActiveVehicleOnly);
    EXPECT_EQ(s->telemetryTcpForwardPort(), 45678);
    EXPECT_EQ(s->telemetryTcpForwardMaxClients(), 5);
    EXPECT_EQ(s->telemetryTcpForwardFormat(), GcsSettingsEnums::RawFrames);
    EXPECT_EQ(s->maxFrameDataLen(), 4096);
    EXPECT_FALSE(s->displayWayPointRelationDataInMapEnabled());
    EXPECT_FALSE(s->paramsManagerPlotsPanelExpanded());
    EXPECT_FALSE(s->telemetryTcpForwardEnabled());
    EXPECT_EQ(GcsSettings::getSystemType(), 1);
}

TEST(GcsSettings, InitTakesStoredValuesWithoutRangeChecksButRejectsUnknownStyle)
{
    {
        auto raw = rawStore();
        raw.setValue("ui/style", "light");
        raw.setValue("tele/teleReqInterval", 20);
        raw.setValue("cluster/maxClusterCount", 999);
        raw.setValue("mainctrl/controlDisplayMode", 1);
    }
    auto* s = GcsSettings::getInstance();
    EXPECT_EQ(s->getTeleReqInterval(), 0) << "nothing is loaded before init";
    s->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
    EXPECT_EQ(s->getStyle(), "");
    EXPECT_EQ(s->getTeleReqInterval(), 20);
    EXPECT_EQ(s->maxClusterCount(), 999);
    EXPECT_EQ(s->controlDisplayMode(), GcsSettingsEnums::AllLocalVehicles);

    // A second init keeps the first paths and values.
    const QString cache = s->appCachePath();
    s->init("/elsewhere", "/elsewhere");
    EXPECT_EQ(s->appCachePath(), cache);
}

TEST(GcsSettings, SettersCheckRangesWriteChangesAndSignalOnce)
{
    auto* s = initedSettings();
    QSignalSpy intervalSpy(s, &GcsSettings::teleReqIntervalChanged);
    QSignalSpy trackSpy(s, &GcsSettings::trackRefreshIntervalChanged);
    QSignalSpy clusterSpy(s, &GcsSettings::maxClusterCountChanged);

    struct Case {
        const char* key;
        std::function<void(int)> set;
        std::function<int()> get;
        QSignalSpy* spy;
        int value;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"tele/teleReqInterval", [&](int v) { s->setTeleReqInterval(v); }, [&] { return s->getTeleReqInterval(); }, &intervalSpy, 49, false},
        {"tele/teleReqInterval", [&](int v) { s->setTeleReqInterval(v); }, [&] { return s->getTeleReqInterval(); }, &intervalSpy, 1001, false},
        {"tele/teleReqInterval", [&](int v) { s->setTeleReqInterval(v); }, [&] { return s->getTeleReqInterval(); }, &intervalSpy, 50, true},
        {"tele/teleReqInterval", [&](int v) { s->setTeleReqInterval(v); }, [&] { return s->getTeleReqInterval(); }, &intervalSpy, 1000, true},
        {"track/refreshInterval", [&](int v) { s->setTrackRefreshInterval(v); }, [&] { return s->getTrackRefreshInterval(); }, &trackSpy, 199, false},
        {"track/refreshInterval", [&](int v) { s->setTrackRefreshInterval(v); }, [&] { return s->getTrackRefreshInterval(); }, &trackSpy, 100000, true},
        {"cluster/maxClusterCount", [&](int v) { s->setMaxClusterCount(v); }, [&] { return s->maxClusterCount(); }, &clusterSpy, 0, false},
        {"cluster/maxClusterCount", [&](int v) { s->setMaxClusterCount(v); }, [&] { return s->maxClusterCount(); }, &clusterSpy, 256, false},
        {"cluster/maxClusterCount", [&](int v) { s->setMaxClusterCount(v); }, [&] { return s->maxClusterCount(); }, &clusterSpy, 255, true},
        {"telemetryTcpForward/port", [&](int v) { s->setTelemetryTcpForwardPort(v); }, [&] { return s->telemetryTcpForwardPort(); }, nullptr, 1023, false},
        {"telemetryTcpForward/port", [&](int v) { s->setTelemetryTcpForwardPort(v); }, [&] { return s->telemetryTcpForwardPort(); }, nullptr, 1024, true},
        {"telemetryTcpForward/port", [&](int v) { s->setTelemetryTcpForwardPort(v); }, [&] { return s->telemetryTcpForwardPort(); }, nullptr, 65535, true},
        {"telemetryTcpForward/port", [&](int v) { s->setTelemetryTcpForwardPort(v); }, [&] { return s->telemetryTcpForwardPort(); }, nullptr, 65536, false},
        {"telemetryTcpForward/maxClients", [&](int v) { s->setTelemetryTcpForwardMaxClients(v); }, [&] { return s->telemetryTcpForwardMaxClients(); }, nullptr, 101, false},
        {"telemetryTcpForward/maxClients", [&](int v) { s->setTelemetryTcpForwardMaxClients(v); }, [&] { return s->telemetryTcpForwardMaxClients(); }, nullptr, 0, false},
        {"telemetryTcpForward/maxClients", [&](int v) { s->setTelemetryTcpForwardMaxClients(v); }, [&] { return s->telemetryTcpForwardMaxClients(); }, nullptr, 100, true},
        {"protocol/maxFrameDataLen", [&](int v) { s->setMaxFrameDataLen(v); }, [&] { return s->maxFrameDataLen(); }, nullptr, 0, false},
        {"protocol/maxFrameDataLen", [&](int v) { s->setMaxFrameDataLen(v); }, [&] { return s->maxFrameDataLen(); }, nullptr, 65536, false},
        {"protocol/maxFrameDataLen", [&](int v) { s->setMaxFrameDataLen(v); }, [&] { return s->maxFrameDataLen(); }, nullptr, 1, true},
        {"protocol/maxFrameDataLen", [&](int v) { s->setMaxFrameDataLen(v); }, [&] { return s->maxFrameDataLen(); }, nullptr, 65535, true},
    };
    for (const auto& c : cases) {
        const int before = c.get();
        const int signalsBefore = c.spy ? int(c.spy->count()) : 0;
        const QVariant storedBefore = rawStore().value(c.key);
        c.set(c.value);
        const std::string label = std::string(c.key) + " = " + std::to_string(c.value);
        if (c.accepted) {
            EXPECT_EQ(c.get(), c.value) << label;
            EXPECT_EQ(s->getValue(c.key).toInt(), c.value) << label;
            if (c.spy) {
                ASSERT_EQ(c.spy->count(), signalsBefore + 1) << label;
                EXPECT_EQ(c.spy->last().at(0).toInt(), c.value) << label;
            }
            // The same value again changes nothing and signals nothing.
            c.set(c.value);
            if (c.spy) {
                EXPECT_EQ(c.spy->count(), signalsBefore + 1) << label;
            }
        } else {
            EXPECT_EQ(c.get(), before) << label;
            EXPECT_EQ(s->getValue(c.key), storedBefore) << label;
            if (c.spy) {
                EXPECT_EQ(c.spy->count(), signalsBefore) << label;
            }
        }
    }

    // Styles: only the two accepted names, no signal.
    s->setStyle("neon");
    EXPECT_EQ(s->getStyle(), "dark");
    s->setStyle("");
    EXPECT_EQ(s->getStyle(), "");
    EXPECT_EQ(rawStore().value("ui/style").toString(), "");
    s->setControlDisplayMode(GcsSettingsEnums::AllLocalVehicles);
    EXPECT_EQ(rawStore().value("mainctrl/controlDisplayMode").toInt(), 1);
}

TEST(GcsSettings, UncachedFirmwareSettingsFallBackOnBadValues)
{
    auto* s = initedSettings();
    struct Case {
        QVariant stored;
        int expected;
    };
    for (const auto& c : std::vector<Case>{{QVariant(), 10000}, {999, 10000}, {"abc", 10000}, {1000, 1000}, {45000, 45000}}) {
        if (c.stored.isValid())
            s->setValue("firmware/firmInfoTimeoutMs", c.stored);
        EXPECT_EQ(s->firmwareUpdateFirmInfoTimeoutMs(), c.expected) << c.stored.toString().toStdString();
    }
    s->setFirmwareUpdateResetCommandTimeoutMs(999);
    EXPECT_EQ(s->firmwareUpdateResetCommandTimeoutMs(), 2000);
    s->setFirmwareUpdateResetCommandTimeoutMs(3000);
    EXPECT_EQ(s->firmwareUpdateResetCommandTimeoutMs(), 3000);

    const QString dir = testsupport::makeTempDir("firmware");
    s->setFirmwareUpdateLastSelectDir(dir);
    EXPECT_EQ(s->firmwareUpdateLastSelectDir(), dir);
    s->setFirmwareUpdateLastSelectDir("");
    EXPECT_EQ(s->firmwareUpdateLastSelectDir(), dir);
    QDir(dir).removeRecursively();
    EXPECT_EQ(s->firmwareUpdateLastSelectDir(), QDir::homePath());
}

TEST(GcsSettings, DeviceUniqueIdIsUnbracedAndStable)
{
    QCoreApplication::setOrganizationName("Halvorn");
    QCoreApplication::setApplicationName("Gcs");
    QSettings appStore("Halvorn", "Gcs");

    appStore.setValue("devUniqueId", "{0f8fad5b-d9cb-469f-a165-70867728950e}");
    EXPECT_EQ(GcsSettings::getDeviceUniqueId(), "0f8fad5b-d9cb-469f-a165-70867728950e");
    appStore.sync();
    EXPECT_EQ(appStore.value("devUniqueId").toString(), "0f8fad5b-d9cb-469f-a165-70867728950e");

    appStore.remove("devUniqueId");
    appStore.sync();
    const QString fresh = GcsSettings::getDeviceUniqueId();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(fresh).hasMatch())
        << fresh.toStdString();
    EXPECT_EQ(GcsSettings::getDeviceUniqueId(), fresh);

    appStore.setValue("devUniqueId", "{");  // too short to be braced: kept as it is
    EXPECT_EQ(GcsSettings::getDeviceUniqueId(), "{");
}

TEST(GcsSettings, SubPathsBelowAppCacheAreCreatedOnRequest)
{
    auto* s = initedSettings();
    const QString expected = s->appCachePath() + "/missions/routes";
    EXPECT_FALSE(QDir(expected).exists());
    EXPECT_EQ(s->getFlightRouteCachePath(false), expected);
    EXPECT_FALSE(QDir(expected).exists());
    EXPECT_EQ(s->getSubPathInAppCache("missions/routes", true), expected);
    EXPECT_TRUE(QDir(expected).exists());
    EXPECT_TRUE(s->sync());
}

TEST(GcsSettings, UseBeforeInitLogsAndBuildsNoPathBelowTheRoot)
{
    testsupport::LogCapture::instance().clear();
    EXPECT_EQ(GcsSettings::getInstance()->getSubPathInAppCache("velmora-x", true), QString());
    EXPECT_FALSE(QDir("/velmora-x").exists());
    EXPECT_EQ(testsupport::LogCapture::instance().count(spdlog::level::debug, "GcsSettings not init!!!"), 1);
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::err, "velmora-x is disabled"), 1);
}
