// Each test case runs in a process of its own (ctest), so every case starts from a fresh
// singleton and an empty store under the test's temporary root.

#include "settings/GcsSettings.h"

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

    // Per setting: the values tried in order, each accepted or refused.
    struct Case {
        const char* key;
        std::function<void(int)> set;
        std::function<int()> get;
        QSignalSpy* spy;
        std::vector<std::pair<int, bool>> values;
    };
    const std::vector<Case> cases = {
        {"tele/teleReqInterval",
         [&](int v) { s->setTeleReqInterval(v); },
         [&] { return s->getTeleReqInterval(); },
         &intervalSpy,
         {{49, false}, {1001, false}, {50, true}, {1000, true}}},
        {"track/refreshInterval",
         [&](int v) { s->setTrackRefreshInterval(v); },
         [&] { return s->getTrackRefreshInterval(); },
         &trackSpy,
         {{199, false}, {100000, true}}},
        {"cluster/maxClusterCount",
         [&](int v) { s->setMaxClusterCount(v); },
         [&] { return s->maxClusterCount(); },
         &clusterSpy,
         {{0, false}, {256, false}, {255, true}}},
        {"telemetryTcpForward/port",
         [&](int v) { s->setTelemetryTcpForwardPort(v); },
         [&] { return s->telemetryTcpForwardPort(); },
         nullptr,
         {{1023, false}, {1024, true}, {65535, true}, {65536, false}}},
        {"telemetryTcpForward/maxClients",
         [&](int v) { s->setTelemetryTcpForwardMaxClients(v); },
         [&] { return s->telemetryTcpForwardMaxClients(); },
         nullptr,
         {{101, false}, {0, false}, {100, true}}},
        {"protocol/maxFrameDataLen",
         [&](int v) { s->setMaxFrameDataLen(v); },
         [&] { return s->maxFrameDataLen(); },
         nullptr,
         {{0, false}, {65536, false}, {1, true}, {65535, true}}},
    };
    for (const auto& c : cases) {
        for (const auto& [value, accepted] : c.values) {
            const int before = c.get();
            const int signalsBefore = c.spy ? int(c.spy->count()) : 0;
            const QVariant storedBefore = rawStore().value(c.key);
            c.set(value);
            c.set(value);  // the same value again changes nothing and signals nothing
            const std::string label = std::string(c.key) + " = " + std::to_string(value);
            EXPECT_EQ(c.get(), accepted ? value : before) << label;
            EXPECT_TRUE(accepted ? s->getValue(c.key).toInt() == value : s->getValue(c.key) == storedBefore) << label;
            if (c.spy) {
                ASSERT_EQ(c.spy->count(), signalsBefore + (accepted ? 1 : 0)) << label;
                EXPECT_TRUE(!accepted || c.spy->last().at(0).toInt() == value) << label;
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
    for (const auto& c :
         std::vector<Case>{{QVariant(), 10000}, {999, 10000}, {"abc", 10000}, {1000, 1000}, {45000, 45000}}) {
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
    EXPECT_TRUE(
        QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(fresh).hasMatch())
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
