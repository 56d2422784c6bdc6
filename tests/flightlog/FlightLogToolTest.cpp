#define VELMORA_TEST_GCS_APPLICATION
// velmora-flightlog on a log the station recorded during a short simulated take-off.

#include "StationWithSim.h"

#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightDataRecorder.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleResDataItem.h"
#include "telemetry/MavTelemetryController.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTranslator>

#include <nlohmann/json.hpp>

using testsupport::waitUntil;

namespace {

struct ToolRun {
    int code = -1;
    QByteArray out, err;
};

ToolRun runTool(const QStringList& args)
{
    QProcess p;
    p.start(VELMORA_FLIGHTLOG_BIN, args);
    p.waitForFinished(15000);
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

QList<QByteArray> csvLines(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{};
}

}  // namespace

TEST_F(StationWithSim, ARecordedTakeOffBecomesCsvSummaryPlotAndReplay)
{
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    testsupport::pumpEvents(1500);  // on the ground, disarmed: one row a second
    vehicle->takeoff(8, 4);
    ASSERT_TRUE(waitUntil([&] { return vehicle->teleCtrler()->posDataItem()->protoData().alt >= 7.9; }, 8000));
    testsupport::pumpEvents(600);
    vehicle->teleCtrler()->finishFlightData();
    const QString dir = GcsSettings::getInstance()->userDataPath() + "/flightData/";
    const auto logs = QDir(dir).entryList({"Flight_1_*.xlsx"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    const QString log = dir + logs.first(), out = testsupport::makeTempDir("out");

    ASSERT_EQ(runTool({log, "--csv", out + "/log.csv"}).code, 0);
    const auto lines = csvLines(out + "/log.csv");
    const auto keys = lines.first().trimmed().split(',');
    for (const char* key : {"time", "elapsed_s", "alt", "up_spd", "flight_mode", "flight_mode_text", "fcu_vol"})
        EXPECT_TRUE(keys.contains(key)) << key;
    const auto at = [&](int row, const char* key) { return lines[row].trimmed().split(',')[keys.indexOf(key)]; };
    EXPECT_EQ(at(1, "armed_state_text"), "disarmed");
    const int last = int(lines.size()) - 2;  // the file ends with CRLF
    EXPECT_EQ(at(last, "armed_state_text"), "armed");
    EXPECT_NEAR(at(last, "alt").toDouble(), 8.0, 0.5);
    EXPECT_NEAR(at(last, "lat").toDouble(), options.homeLat, 1e-4);
    EXPECT_TRUE(QDateTime::fromString(QString(at(1, "time")), Qt::ISODateWithMs).isValid()) << at(1, "time").data();
    // Thinned on the ground, every sample in the air.
    EXPECT_GE(at(2, "elapsed_s").toDouble() - at(1, "elapsed_s").toDouble(), 0.9);
    EXPECT_LT(at(last, "elapsed_s").toDouble() - at(last - 1, "elapsed_s").toDouble(), 0.5);

    const ToolRun summary = runTool({log, "--summary", "--json"});
    ASSERT_EQ(summary.code, 0) << summary.err.data();
    const auto s = nlohmann::json::parse(summary.out.toStdString());
    EXPECT_NEAR(s["max_alt_m"].get<double>(), 8.0, 0.5);
    EXPECT_NEAR(s["max_vertical_speed_mps"].get<double>(), 4.0, 0.5);
    EXPECT_TRUE(s["takeoff"].is_string());
    EXPECT_TRUE(s["landing"].is_null());

    ASSERT_EQ(runTool({log, "--plot", "alt,up_spd,rtk_up", "-o", out + "/p.png", "--size", "640x480"}).code, 0);
    const QImage png(out + "/p.png");
    EXPECT_EQ(png.size(), QSize(640, 480));
    int drawn = 0;  // a chart left at its default size draws a few specks in a white page
    for (int y = 0; y < png.height(); y += 2)
        for (int x = 0; x < png.width(); x += 2)
            drawn += png.pixel(x, y) != qRgb(255, 255, 255);
    EXPECT_GT(drawn, 640 * 480 / 4 / 50);

    // The station shows the replayed flight: the simulator gives way to the replay on its port.
    const quint16 simPort = sim->listenPort();
    sim->stop();
    QProcess replay;
    replay.start(VELMORA_FLIGHTLOG_BIN, {log, "--replay", "--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort),
                                         "--listen", QString::number(simPort), "--id", "9"});
    ASSERT_TRUE(waitUntil([&] { return mvm()->hasVehicle(9) && mvm()->findVehicleControllerById(9)->alive(); }));
    const auto replayed = mvm()->findVehicleControllerById(9)->teleCtrler();
    ASSERT_TRUE(waitUntil([&] { return replayed->posDataItem()->protoData().lat != 0; }));
    EXPECT_NEAR(replayed->posDataItem()->protoData().lat, options.homeLat, 1e-4);
    replay.kill();
    replay.waitForFinished();
}

// A station running in English records English titles and states; the tool reads them alike.
TEST_F(StationWithSim, ALogRecordedInEnglishReadsAlike)
{
    QTranslator english;
    ASSERT_TRUE(english.load(QStringLiteral(":/i18n/VelmoraCore_en.qm")));
    QCoreApplication::installTranslator(&english);
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    testsupport::pumpEvents(1200);
    mvm()->activeVehicle()->teleCtrler()->finishFlightData();
    QCoreApplication::removeTranslator(&english);
    const QString dir = GcsSettings::getInstance()->userDataPath() + "/flightData/";
    const QString log = dir + QDir(dir).entryList({"Flight_1_*.xlsx"}, QDir::Files).value(0);
    ASSERT_TRUE(csvLines(log).value(0).startsWith("Time\t"));
    const QString out = testsupport::makeTempDir("out");
    const ToolRun run = runTool({log, "--csv", out + "/log.csv"});
    ASSERT_EQ(run.code, 0) << run.err.data();
    const auto lines = csvLines(out + "/log.csv");
    const auto keys = lines.first().trimmed().split(',');
    const auto cells = lines[1].trimmed().split(',');
    EXPECT_EQ(cells[keys.indexOf("armed_state_text")], "disarmed");
    EXPECT_NEAR(cells[keys.indexOf("lat")].toDouble(), options.homeLat, 1e-4);
}

// Every refusal names the line, exits 1 and leaves no output file.
TEST(FlightLogTool, BadLogsAreRefusedNamingTheLine)
{
    const QString dir = testsupport::makeTempDir("bad");
    std::vector<std::unique_ptr<MavTeleBaseDataItem>> items;
    items.push_back(std::make_unique<MavAhrsDataItem>());
    items.push_back(std::make_unique<MavPosDataItem>());
    items.push_back(std::make_unique<MavTargetStabilizeDataItem>());
    items.push_back(std::make_unique<MavRcDataItem>());
    items.push_back(std::make_unique<MavFlightStatusDataItem>());
    items.push_back(std::make_unique<MavTeleResDataItem>());
    QList<std::shared_ptr<MavTeleDataElement>> elements;
    for (const auto& item : items)
        elements += item->dataElementList();
    {
        MavFlightDataRecorder recorder(dir, 3, elements);
        for (int i = 0; i < 3; ++i)
            recorder.appendRow();
    }
    const QString good = dir + "/" + QDir(dir).entryList({"Flight_3_*"}).first();
    QFile f(good);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    const int titleEnd = int(text.indexOf('\n'));
    const struct {
        const char* name;
        QByteArray content;
        const char* error;
    } cases[] = {
        {"truncated last row", text.left(text.size() - 30), "line 4: truncated last row"},
        {"missing column", QByteArray(text).replace("\t高度\t", "\t"), "line 1: column 高度 (alt) is missing"},
        {"not a flight log", "<html>\n<body>\n", "line 1: not a flight log"},
        {"empty", "", "line 1: empty file"},
        {"short row", text.left(titleEnd + 1) + "2026-01-01_10:00:00.000\t1\n", "line 2: 2 fields"},
        {"bad time", text.left(titleEnd + 1) + text.mid(titleEnd + 1).replace("_", " "), "line 2: bad time"},
        {"text in a number column", text.left(titleEnd + 1) + text.mid(titleEnd + 1).replace("\t\t", "\tx\t"),
         "line 2: column"},
    };
    for (const auto& c : cases) {
        QFile bad(dir + "/bad.xlsx");
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
        bad.write(c.content);
        bad.close();
        for (const QStringList& mode :
             {QStringList{"--csv", dir + "/o.csv"}, QStringList{"--summary", "-o", dir + "/o.csv"}}) {
            const ToolRun r = runTool(QStringList{bad.fileName()} << mode);
            EXPECT_EQ(r.code, 1) << c.name;
            EXPECT_TRUE(r.err.contains(c.error)) << c.name << ": " << r.err.data();
            EXPECT_FALSE(QFile::exists(dir + "/o.csv")) << c.name;
        }
    }
    EXPECT_EQ(runTool({good, "--csv", dir + "/o.csv"}).code, 0);
}

TEST(FlightLogTool, RemoteVehiclesAreNamedBySafeCodes)
{
    const struct {
        int id;
        bool remote;
        QString code, tag;
    } cases[] = {{7, false, "X", "7"},
                 {-1, true, "AB-12_x", "AB-12_x"},
                 {-1, true, "../a b/é", "___a_b__"},
                 {-1, true, "", "remote"}};
    for (const auto& c : cases)
        EXPECT_EQ(MavFlightDataRecorder::fileTag(c.id, c.remote, c.code), c.tag) << c.code.toStdString();
}
