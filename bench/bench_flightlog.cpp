// velmora-flightlog on a one-hour log of one vehicle (18,000 rows at 5 Hz, the recorder's real
// columns and cell texts): median wall time of 5 runs of --summary (goal < 0.5 s) and --csv
// (goal < 1 s), each run a whole process as a person would start it. --keep FILE keeps the log.

#include "BenchSupport.h"

#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleResDataItem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>

// A build that leaves tools/flightlog out still compiles this program; it then only says so.
#ifndef VELMORA_FLIGHTLOG_BIN
#define VELMORA_FLIGHTLOG_BIN ""
#endif

namespace {

constexpr int kRows = 18000;
constexpr int kRowMs = 200;

// The rows are what the station's items would display for a vehicle flying circles at 30 m.
bool writeLog(const QString& path)
{
    MavAhrsDataItem ahrs;
    MavPosDataItem pos;
    MavTargetStabilizeDataItem target;
    MavRcDataItem rc;
    MavFlightStatusDataItem status;
    MavTeleResDataItem res;
    QList<std::shared_ptr<MavTeleDataElement>> elements;
    for (MavTeleBaseDataItem* item :
         std::initializer_list<MavTeleBaseDataItem*>{&ahrs, &pos, &target, &rc, &status, &res})
        elements += item->dataElementList();
    QStringList title{QStringLiteral("时间")};
    for (const auto& e : elements)
        title << e->name();
    QByteArray out = title.join('\t').toUtf8() + '\n';
    QDateTime t = QDateTime::currentDateTime().addSecs(-3600);
    for (int r = 0; r < kRows; ++r, t = t.addMSecs(kRowMs)) {
        const double s = r * kRowMs / 1000.0;
        MavProtoAhrsData_t a{};
        a.roll = float(std::sin(s / 3));
        a.yaw = float(std::fmod(s * 3, 360));
        a.presAlt = 30;
        ahrs.updateProtoData(a);
        MavProtoPosData_t p{};
        p.homeLat = 22.5431;
        p.homeLon = 114.0579;
        p.lat = p.homeLat + 0.001 * std::sin(s / 60);
        p.lon = p.homeLon + 0.001 * std::cos(s / 60);
        p.alt = std::min(30.0, s);
        p.northSpd = float(2 * std::cos(s / 60));
        p.eastSpd = float(-2 * std::sin(s / 60));
        p.posSatNum = uint8_t(12 + r % 5);
        pos.updateProtoData(p);
        target.updateProtoData(MavProtoTargetStabilizeData_t{});
        rc.updateProtoData(MavProtoRCData_t{});
        _MavProtoFlightStatusData_t f{};
        f.flightMode = 3;
        f.flightState = uint8_t(s < 1 ? 0 : 3);
        f.armedState = 1;
        f.positionState = 3;
        f.batteryState = uint8_t(s > 3000 ? 1 : 0);
        f.fcuVol = float(25.2 - s / 1000);
        f.currentFlightTime = uint32_t(s);
        f.takeoffCheck = 0x7E;
        status.updateProtoData(f);
        MavProtoResData_t rs{};
        rs.res[0] = float(s);
        res.updateProtoData(rs);
        QString line = t.toString("yyyy-MM-dd_hh:mm:ss.zzz");
        for (const auto& e : elements)
            line += '\t' + MavTeleDataElement::format(e->displayCell());
        out += line.toUtf8() + '\n';
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}

double medianRunS(const QStringList& args)
{
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        p.start(VELMORA_FLIGHTLOG_BIN, args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            std::fprintf(stderr, "velmora-flightlog %s failed: %s\n", qPrintable(args.join(' ')),
                         p.readAllStandardError().constData());
            return NAN;
        }
        runs.push_back(double(clock.nsecsElapsed()) / 1e9);
    }
    std::sort(runs.begin(), runs.end());
    return runs[2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (QString(VELMORA_FLIGHTLOG_BIN).isEmpty()) {
        std::fprintf(stderr, "this build has no velmora-flightlog\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString log = dir.filePath("Flight_1_20260101_100000.xlsx");
    if (!writeLog(log)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(log));
        return 1;
    }
    std::printf("log: %d rows, %.1f MB\n", kRows, double(QFile(log).size()) / 1e6);
    // --keep FILE: a copy of the generated log to look at.
    if (argc == 3 && qstrcmp(argv[1], "--keep") == 0)
        QFile::copy(log, QString::fromLocal8Bit(argv[2]));
    const double summary = medianRunS({log, "--summary"});
    const double csv = medianRunS({log, "--csv", dir.filePath("out.csv")});
    std::printf("--summary median of 5: %.3f s (goal < 0.5 s)\n", summary);
    std::printf("--csv     median of 5: %.3f s (goal < 1 s)\n", csv);
    return summary < 0.5 && csv < 1.0 ? 0 : 1;
}
