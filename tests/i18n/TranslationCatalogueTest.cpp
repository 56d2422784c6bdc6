#include "TestSupport.h"

#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliServiceContext.h"
#include "common/GcsConsoleHandler.h"
#include "telemetry/MavFlightStatusDataItem.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTranslator>

#include <gtest/gtest.h>

// lupdate merges the sources into a copy of the catalogue: a text without a finished English
// translation comes out unfinished, a translation no source uses any more vanished.
TEST(TranslationCatalogue, EveryLibraryTextHasAFinishedEnglishTranslation)
{
    const QString copy = testsupport::makeTempDir("i18n") + "/en.ts";
    ASSERT_TRUE(QFile::copy(VELMORA_SRC_DIR "/i18n/VelmoraCore_en.ts", copy));
    QProcess lupdate;
    lupdate.setProcessChannelMode(QProcess::MergedChannels);
    lupdate.start(VELMORA_LUPDATE_BIN, {"-locations", "none", "-extensions", "cpp,h", VELMORA_SRC_DIR, "-ts", copy});
    ASSERT_TRUE(lupdate.waitForFinished(60000) && lupdate.exitCode() == 0) << lupdate.readAll().toStdString();
    QFile merged(copy);
    ASSERT_TRUE(merged.open(QIODevice::ReadOnly));
    static const QRegularExpression stale(
        R"re(<source>([^<]*)</source>\s*(<comment>[^<]*</comment>\s*)?<translation type="(unfinished|vanished)")re");
    for (const auto& m : stale.globalMatch(QString::fromUtf8(merged.readAll())))
        ADD_FAILURE() << "'" << m.captured(1).toStdString() << "' is " << m.captured(3).toStdString()
                      << " in VelmoraCore_en.ts: build velmora_lupdate and translate";
}

TEST(TranslationCatalogue, InstalledEnglishTranslatorReachesTheLibraryTexts)
{
    QTranslator english;
    ASSERT_TRUE(english.load(QStringLiteral(":/i18n/VelmoraCore_en.qm")));
    QCoreApplication::installTranslator(&english);
    EXPECT_EQ(MavFlightStatusDataItem::flightModeText(8), "Take-off mode");
    EXPECT_EQ(MavFlightStatusDataItem().flightModeElement()->name(), "Flight mode");
    GcsConsoleHandler console;
    QString line;
    QObject::connect(&console, &GcsConsoleHandler::logOutput, [&](OstLogLevel, const QString& text) { line = text; });
    console.outputBySender(OstLogLevel::Info, "x");
    EXPECT_EQ(line, "[Sent] x");
    EXPECT_EQ(GcsCliCommandRouter::dispatch({}, {{"method", "system.info"}})["data"]["language"], "en");
}
