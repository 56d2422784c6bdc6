#include "OstCsvFile.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

using testsupport::LogCapture;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

}  // namespace

TEST(OstCsvFileTest, RowsAreWrittenAsTheyStandAndVisibleBeforeClose)
{
    const QString path = testsupport::makeTempDir("csv") + "/Flight_3_20240101_120000.xlsx";
    OstCsvFile csv;
    csv.setFilePath(path);
    ASSERT_TRUE(csv.open());
    ASSERT_TRUE(csv.writeRow(QStringLiteral("时间\troll\tpitch"), ","));
    // Flushed per row: another reader sees it while the file is still open.
    EXPECT_EQ(readAll(path), QStringLiteral("时间\troll\tpitch\n").toUtf8());
    ASSERT_TRUE(csv.writeRow(QStringLiteral("2024-01-01_12:00:00.000\t1.5\t-0.25"), ","));
    ASSERT_TRUE(csv.writeRow(QStringLiteral("a,b;c"), ";"));
    ASSERT_TRUE(csv.writeRow(QString(), ","));
    csv.close();
    EXPECT_FALSE(csv.isOpen());
    EXPECT_FALSE(csv.writeRow("late", ","));
    EXPECT_EQ(readAll(path),
              QStringLiteral("时间\troll\tpitch\n2024-01-01_12:00:00.000\t1.5\t-0.25\na,b;c\n\n").toUtf8());

    // Opening again starts an empty file.
    ASSERT_TRUE(csv.open());
    ASSERT_TRUE(csv.writeRow("fresh", ","));
    csv.close();
    EXPECT_EQ(readAll(path), QByteArray("fresh\n"));
}

TEST(OstCsvFileTest, UnopenablePathsFailCleanly)
{
    const QString dir = testsupport::makeTempDir("csv-bad");
    // A regular file where the directory should be (permissions do not stop root).
    QFile blocker(dir + "/flightData");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a directory");
    blocker.close();

    struct Case {
        QString path;
        spdlog::level::level_enum level;
        const char* logFragment;
    };
    const Case cases[] = {
        {dir + "/flightData/Flight_1.xlsx", spdlog::level::err, "<CsvFile> open "},
        {QString(), spdlog::level::warn, "<CsvFile> open refused: no file path set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        LogCapture::instance().clear();
        OstCsvFile csv(c.path);
        EXPECT_FALSE(csv.open());
        EXPECT_FALSE(csv.isOpen());
        EXPECT_EQ(LogCapture::instance().countContaining(c.level, c.logFragment), 1);
        // Every refused row returns false; the log says so once.
        EXPECT_FALSE(csv.writeRow("row", ","));
        EXPECT_FALSE(csv.writeRow("row", ","));
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<CsvFile> write refused"), 1);
        csv.close();
    }
    EXPECT_EQ(readAll(dir + "/flightData"), QByteArray("not a directory"));
}
