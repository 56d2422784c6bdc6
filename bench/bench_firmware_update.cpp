// Firmware update throughput: a station in process (GcsApplication, the vehicle's firmware
// controller) and a velmora-vehicle-sim process over loopback UDP. Sends a 1 MiB image (size
// settable) and prints KiB/s of the data phase (first data frame sent to last acknowledged) and
// of the whole update (start to the final ack), in KiB of image per second. Station log at warn.
//
//   cmake --build build --target bench_firmware_update velmora-vehicle-sim && build/bench/bench_firmware_update
//   build/bench/bench_firmware_update --kib 4096 --runs 3
//   build/bench/bench_firmware_update --serial            (64 KiB over a socat pseudo-terminal pair,
//                                                          the simulator pacing it as a 57600 bit/s line)
//
// The serial run also prints the ratio of image bytes per second in the data phase to the line's
// byte rate (rate / 10).

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "firmware/FirmwareUpdateController.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "SimVehicleFirmware.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <cstdio>
#include <functional>
#include <optional>

namespace {

bool pumpUntil(const std::function<bool()>& done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

QByteArray makeImage(qsizetype size)
{
    QByteArray body(size - 14, Qt::Uninitialized);  // 14: magic, version and check
    for (auto& c : body)
        c = char(QRandomGenerator::global()->bounded(256));
    return SimVehicleFirmware::makeImage("V9.9.9", body);
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");  // the application class needs a platform, not a screen
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    spdlog::set_level(spdlog::level::warn);  // the queue and the controller log every frame at info
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");

    GcsApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"kib", "Image size in KiB (default 1024; 64 with --serial).", "N"},
                       {"runs", "Updates to run (default 1).", "N", "1"},
                       {"serial", "Over a socat pseudo-terminal pair instead of UDP."},
                       {"line-rate", "With --serial: the line's bit rate (default 57600).", "RATE", "57600"}});
    parser.addHelpOption();
    parser.process(app);
    const bool serial = parser.isSet("serial");
    const int lineRate = std::max(1, parser.value("line-rate").toInt());
    const int kibArg = parser.isSet("kib") ? parser.value("kib").toInt() : (serial ? 64 : 1024);
    const qsizetype size = qsizetype(std::max(1, kibArg)) * 1024;
    const int runs = std::max(1, parser.value("runs").toInt());

    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);

    QProcess socat;
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    const QStringList simArgs = {"--fix-after-s", "0", "--fw-final-delay-ms", "0", "--reboot-ms", "0"};
    if (serial) {
        const QString a = dir.path() + "/ttyA", b = dir.path() + "/ttyB";
        socat.start("socat", {"pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        if (!socat.waitForStarted(5000) || !pumpUntil([&] { return QFile::exists(a) && QFile::exists(b); }, 5000)) {
            std::fprintf(stderr, "socat did not start\n");
            return 1;
        }
        sim.start(VELMORA_VEHICLE_SIM_BIN, QStringList{"--serial", b, "--baud", QString::number(lineRate),
                                                       "--line-rate", QString::number(lineRate)} +
                                               simArgs);
        if (!sim.waitForStarted(5000)) {
            std::fprintf(stderr, "the simulator did not start\n");
            return 1;
        }
        ctrl->connectToLinkFromCliParams({{"type", "serial"}, {"port", a.toStdString()}, {"baudrate", lineRate}});
    } else {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        const quint16 stationPort = probe.localPort();
        probe.close();
        sim.start(VELMORA_VEHICLE_SIM_BIN,
                  QStringList{"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort)} + simArgs);
        if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
            std::fprintf(stderr, "the simulator did not start\n");
            return 1;
        }
        const int simPort = sim.readLine().trimmed().toInt();
        ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});
    }
    auto* mvm = ctrl->multiVehicleMgr();
    if (!pumpUntil([&] { return mvm->activeVehicle() && mvm->activeVehicle()->alive(); }, 15000)) {
        std::fprintf(stderr, "no vehicle came alive\n");
        return 1;
    }
    const QString path = dir.path() + "/image.bin";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(makeImage(size)) != size) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();

    auto fw = mvm->activeVehicle()->firmwareUpdateCtrler();
    QElapsedTimer clock;
    qint64 dataStartNs = -1, dataEndNs = -1;
    std::optional<FirmwareEnums::UpdateResult> result;
    QObject::connect(fw.get(), &FirmwareUpdateController::updateStepAndProgressChanged,
                     [&](FirmwareEnums::UpdateStep step, int done, int) {
                         if (step == FirmwareEnums::UpdateStep::UploadingData && done == 0)
                             dataStartNs = clock.nsecsElapsed();
                         if (step == FirmwareEnums::UpdateStep::WaitingFinalAck)
                             dataEndNs = clock.nsecsElapsed();
                     });
    QObject::connect(fw.get(), &FirmwareUpdateController::updateFinished,
                     [&](FirmwareEnums::UpdateResult ret) { result = ret; });
    const double kib = double(size) / 1024;
    if (serial)
        std::printf("%.0f KiB image over a pseudo-terminal pair paced at %d bit/s (%d B/s), reset delay %d ms included "
                    "in the whole\n",
                    kib, lineRate, lineRate / 10, FirmwareUpdateController::kResetDelayMs);
    else
        std::printf(
            "%.0f KiB image over loopback UDP, reset delay %d ms and final ack delay 0 ms included in the whole\n", kib,
            FirmwareUpdateController::kResetDelayMs);
    for (int run = 0; run < runs; ++run) {
        pumpUntil([&] { return mvm->activeVehicle() && mvm->activeVehicle()->alive(); }, 15000);
        result.reset();
        clock.start();
        if (fw->updateFirmware(path, 10000, 2000) != FirmwareEnums::UpdateStartupResult::Ok ||
            !pumpUntil([&] { return result.has_value(); }, 600000) || *result != FirmwareEnums::UpdateResult::Success) {
            std::fprintf(stderr, "update %d failed: %s\n", run,
                         result ? qPrintable(FirmwareEnums::name(*result)) : "no result");
            return 1;
        }
        const double wholeS = double(clock.nsecsElapsed()) / 1e9;
        const double dataS = double(dataEndNs - dataStartNs) / 1e9;
        std::printf("run %d  data phase %8.1f KiB/s (%.3f s)  whole update %8.1f KiB/s (%.3f s)", run, kib / dataS,
                    dataS, kib / wholeS, wholeS);
        if (serial)
            std::printf("  data phase / line rate %.2f", double(size) / dataS / (lineRate / 10.0));
        std::printf("\n");
    }
    sim.terminate();
    sim.waitForFinished(3000);
    socat.terminate();
    socat.waitForFinished(3000);
    app.release();
    return 0;
}
