// The flight data recorder on its own: a temporary directory and two elements, no vehicle.

#include "telemetry/MavFlightDataRecorder.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

struct RecorderDir {
    QString dir = testsupport::makeTempDir("flightData");
    QStringList logs() const { return QDir(dir).entryList({"Flight_6_*.xlsx"}, QDir::Files, QDir::Name); }
    QStringList lines(const QString& name) const
    {
        QFile f(dir + "/" + name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                           : QStringList{"<unreadable>"};
    }
};

QList<std::shared_ptr<MavTeleDataElement>> twoElements()
{
    auto mode = std::make_shared<MavTeleDataElement>(MavTeleDataElement::TeleElementId(0), "模式", "", "", 0);
    mode->setDisplayValue("返航模式");
    auto alt = std::make_shared<MavTeleDataElement>(MavTeleDataElement::TeleElementId(1), "高度", "", "m", 0);
    alt->setNumber(12.345, 1);
    return {mode, alt};
}

}  // namespace

// A station killed outright loses what sits in its own memory: every row taken is in the file
// while the recorder still runs, with nothing held back for a batch.
TEST(FlightDataRecorder, WritesTheTitleAndEachRowAsItComes)
{
    RecorderDir d;
    MavFlightDataRecorder recorder(d.dir, 6, twoElements());
    ASSERT_TRUE(waitUntil([&] { return d.logs().size() == 1 && d.lines(d.logs().first()).size() == 1; }));
    EXPECT_EQ(d.lines(d.logs().first()).first(), "时间\t模式\t高度");
    for (int rows = 1; rows <= 3; ++rows) {
        recorder.appendRow();
        ASSERT_TRUE(waitUntil([&] { return d.lines(d.logs().first()).size() == 1 + rows; })) << rows;
    }
    for (const auto& row : d.lines(d.logs().first()).mid(1))
        EXPECT_EQ(row.section('\t', 1), "返航模式\t12.3");
}

TEST(FlightDataRecorder, NeverOverwritesALogAndWritesItsLastRowsAtFinish)
{
    RecorderDir d;
    // Whatever second the recorder starts in, a file of that name already exists.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList placeholders;
    for (int s = 0; s < 3; ++s) {
        const QString name = QStringLiteral("Flight_6_%1.xlsx").arg(now.addSecs(s).toString("yyyyMMdd_hhmmss"));
        QFile f(d.dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep\n");
        placeholders << name;
    }
    {
        MavFlightDataRecorder recorder(d.dir, 6, twoElements());
        for (int i = 0; i < 3; ++i)
            recorder.appendRow();
    }
    const auto all = d.logs();
    ASSERT_EQ(all.size(), 4);
    for (const auto& name : placeholders)
        EXPECT_EQ(d.lines(name), QStringList{"keep"}) << name.toStdString() << " was overwritten";
    const auto log = std::find_if(all.begin(), all.end(), [](const QString& n) { return n.endsWith("_2.xlsx"); });
    ASSERT_NE(log, all.end());
    EXPECT_EQ(d.lines(*log).size(), 1 + 3) << "the rows still pending are written at teardown";
}

// No directory, or a file where the folder belongs (CI runs as root: a file, not a permission,
// blocks it): nothing is written, rows are accepted and dropped, and the log says why.
TEST(FlightDataRecorder, WithoutADirectoryRecordsNothing)
{
    RecorderDir d;
    const QString blocked = d.dir + "/blocked";
    QFile blocker(blocked);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    for (const QString& dir : {QString(), blocked}) {
        LogCapture::instance().clear();
        MavFlightDataRecorder recorder(dir, 6, twoElements());
        for (int i = 0; i < 6; ++i)
            recorder.appendRow();
        EXPECT_TRUE(waitUntil([&] {
            return dir.isEmpty() ? LogCapture::instance().countContaining(
                                       spdlog::level::err, "flight data of vehicle 6 is not recorded") == 1
                                 : LogCapture::instance().countContaining(spdlog::level::warn,
                                                                          "flightData filePath dir is not exist") == 1;
        })) << dir.toStdString();
    }
    EXPECT_FALSE(QDir("/flightData").exists());
}

// Recorders share one writer: rows of many vehicles taken in one burst each land in their own
// file in order, and one vehicle's teardown writes its rows without holding the others back.
TEST(FlightDataRecorder, ManyRecordersKeepTheirOwnRowsInOrder)
{
    const QString dir = testsupport::makeTempDir("flightData");
    auto elements = twoElements();
    std::vector<std::unique_ptr<MavFlightDataRecorder>> recorders;
    for (int id = 1; id <= 5; ++id)
        recorders.push_back(std::make_unique<MavFlightDataRecorder>(dir, id, elements));
    auto lines = [&](int id) {
        const auto names = QDir(dir).entryList({QStringLiteral("Flight_%1_*.xlsx").arg(id)}, QDir::Files);
        QFile f(dir + "/" + names.value(0));
        return names.size() == 1 && f.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList{};
    };
    const struct {
        int rounds;
        int finished;  // recorder torn down after this burst, 0 for none
    } bursts[] = {{50, 0}, {1, 3}, {200, 0}, {7, 1}};
    int total = 0;
    for (const auto& burst : bursts) {
        for (int r = 0; r < burst.rounds; ++r) {
            elements[1]->setNumber(++total, 0);
            for (auto& recorder : recorders)
                if (recorder)
                    recorder->appendRow();
        }
        if (burst.finished) {
            recorders[size_t(burst.finished - 1)].reset();
            EXPECT_EQ(lines(burst.finished).size(), 1 + total) << "vehicle " << burst.finished << " at teardown";
        }
    }
    for (int id : {2, 4, 5}) {
        ASSERT_TRUE(waitUntil([&] { return lines(id).size() == 1 + total; })) << id << ": " << lines(id).size();
        const auto rows = lines(id).mid(1);
        for (int i = 0; i < total; ++i)
            ASSERT_EQ(rows[i].section('\t', 2), QString::number(i + 1)) << "vehicle " << id << " row " << i;
    }
    EXPECT_EQ(lines(1).size(), 1 + 258);
    EXPECT_EQ(lines(3).size(), 1 + 51);
}
