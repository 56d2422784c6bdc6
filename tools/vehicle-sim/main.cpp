// velmora-vehicle-sim: simulated vehicles answering the ground station over UDP or a serial
// device, and publishing to an MQTT broker with --mqtt (also without a link). In UDP mode the
// first output line is the bound port; the counters follow at exit, then the MQTT counts.
// Exit codes: 0 after SIGINT/SIGTERM, 1 when the link cannot be opened or fails, 2 for bad
// arguments or a malformed --params-file.

#include "VehicleSimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

// Only async-signal-safe work here; the event loop reads the signal's number and acts on it.
void handleSignal(int sig)
{
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[0], &byte, 1);
}

// SIGUSR1 prints the counters so far (a soak reads them while the simulator runs); SIGINT and
// SIGTERM stop it.
bool installSignalHandlers(QCoreApplication& app, const VehicleSimulator& simulator)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0)
        return false;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier, &simulator] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalFds[1], &byte, 1);
        if (byte == SIGUSR1) {
            std::printf("counters\n%s", qPrintable(simulator.counters().toText()));
            std::fflush(stdout);
            return;
        }
        notifier->setEnabled(false);
        spdlog::info("<VehicleSim> signal received, shutting down");
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGUSR1, &action, nullptr) == 0;
}

// The MQTT password stays out of what ps and /proc show of the command line once it is read.
void hidePassword(int argc, char** argv)
{
    const char* name = "--mqtt-password";
    const size_t nameLen = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0 && i + 1 < argc)
            std::memset(argv[i + 1], '*', std::strlen(argv[i + 1]));
        else if (std::strncmp(argv[i], name, nameLen) == 0 && argv[i][nameLen] == '=')
            std::memset(argv[i] + nameLen + 1, '*', std::strlen(argv[i] + nameLen + 1));
    }
}

int usageError(const QString& text)
{
    std::fprintf(stderr, "velmora-vehicle-sim: %s\nTry 'velmora-vehicle-sim --help'.\n", qPrintable(text));
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("velmora-vehicle-sim");
    spdlog::set_default_logger(spdlog::stderr_color_mt("vehicle-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulated vehicles for the ground station: heartbeats, acknowledgements of the control commands, "
        "telemetry answers from a simple flight model, injected vehicle states, and faults on the link.\n"
        "  velmora-vehicle-sim --udp HOST:PORT [--listen PORT] [--recv-port PORT] [options]\n"
        "  velmora-vehicle-sim --serial PATH [--baud RATE] [options]\n"
        "  velmora-vehicle-sim --mqtt tcp://HOST:PORT --vehicle-code CODE [--mqtt-user U --mqtt-password P] [options]\n"
        "In UDP mode the first line on standard output is the bound --listen port. SIGINT or SIGTERM stops "
        "the simulator and prints its counters; SIGUSR1 prints them (after a line \"counters\") and goes on. "
        "Exit codes: 0 stopped by a signal, 1 the link failed, 2 bad "
        "arguments or a malformed --params-file.\n"
        "Each vehicle answers a telemetry request (0x20) with its record frames in one datagram or write; "
        "--loss and --corrupt strike each frame of it on its own. A vehicle stays on the ground until a "
        "take-off, climbs to the commanded altitude at the commanded speed and hovers; suspend holds, resume "
        "continues, land descends and disarms, return flies to the return point (its home for 0,0) and lands "
        "there. The position fixes --fix-after-s seconds after start. Seconds count flight model steps "
        "(--step-ms each) from the start.\n"
        "Each vehicle keeps one route, uploaded (0x42 basic record, then one 0x43 per waypoint; complete once "
        "every number from 1 to the count has arrived; a number sent again with other contents is refused with "
        "8) and downloaded (0x40, 0x41) by the station. Run mission is refused with 6 without a route; with one "
        "the vehicle takes off if needed, flies straight to the first waypoint at its speed (5 m/s when 0), "
        "climbing or descending on the way, hovers there for its hover time, then on to the waypoint its nextWp "
        "names; it hovers in place when nextWp is 0 or names no waypoint, or when a nextWp loop has run "
        "count x (repeat + 2) waypoints. --wp-no-ack, --wp-result, --dl-wrong-route and "
        "--dl-wrong-number spoil the transfer of one waypoint number each; --store-altered stores one "
        "waypoint (or, 0, the basic record) otherwise than it acknowledged it.\n"
        "Each vehicle keeps the no-fly zones uploaded to it (0x10 totals, one 0x11 per zone by index from 0, "
        "stored on 0x12 once every zone and vertex has arrived, else refused with 4) and one manually bound "
        "four-corner zone (0x4A). --nfz-reject-zone and --nfz-status-word spoil the answer to one zone index "
        "each; --nfz-dump writes what each vehicle stored.\n"
        "Each vehicle takes a firmware image (0xA1 reset, 0xA2 size, 0xA3 data frames stored by index, "
        "repeats answered again): \"VLFW\", 6 version characters, the body, then the CRC-32 of all bytes before "
        "it, little-endian. --fw-final-delay-ms after the image completes it sends the final ack (0xA4: 0 "
        "verified, else 4), twice more 1 s apart, then stays silent for --reboot-ms and reports the new version "
        "in its basic parameters. --fw-reject-frame, --fw-no-final-ack and --fw-corrupt spoil an update.\n"
        "Each vehicle also keeps six parameter groups (answering reads, checking writes against its own limits, "
        "resetting them), runs accelerometer (steps 1 to 8) and compass (steps 1 to 4) calibrations, one at a "
        "time, and keeps a vehicle code. A basic parameter write that changes the vehicle id is answered under "
        "the old id; the vehicle then sends and answers under the new one. With --params-file each vehicle's "
        "entry is keyed by its command-line id and it comes back under the id stored there.\n"
        "With --mqtt each vehicle publishes gcs/notify/vehicle/CODE/position (latitude, longitude, altitude) and "
        "gcs/notify/vehicle/CODE/status (roll, pitch, yaw, speed) at --mqtt-rate-hz, QoS 1: from its flight "
        "model with a link, and without one flying a 100 m circle around its home, 50 m up, a lap a minute. "
        "--mqtt-corrupt replaces messages by malformed ones; the valid and malformed counts per code are the "
        "last output line at exit.");
    parser.addHelpOption();
    SimOptions::declareOptions(parser);
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet("help"))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return usageError("unexpected argument " + parser.positionalArguments().first());

    SimOptions options;
    const QString error = SimOptions::readOptions(parser, options);
    hidePassword(argc, argv);
    if (!error.isEmpty())
        return usageError(error);
    spdlog::set_level(options.verbose ? spdlog::level::debug : spdlog::level::info);

    VehicleSimulator simulator(options);
    QString startError;
    if (!simulator.start(&startError)) {
        std::fprintf(stderr, "velmora-vehicle-sim: %s\n", qPrintable(startError));
        return simulator.lastFailure() == VehicleSimulator::Failure::Transport ? 1 : 2;
    }
    if (options.transport == SimOptions::Transport::Udp) {
        // Scripts and tests read this line through a pipe.
        std::printf("%u\n", unsigned(simulator.listenPort()));
        std::fflush(stdout);
    }
    if (!installSignalHandlers(app, simulator))
        spdlog::warn("<VehicleSim> cannot watch SIGINT/SIGTERM; stop with SIGKILL");
    QObject::connect(&simulator, &VehicleSimulator::transportFailed, &app, [] { QCoreApplication::exit(1); });

    const int rc = app.exec();
    simulator.stop();
    std::printf("%s", qPrintable(simulator.counters().toText()));
    if (simulator.mqttPublisher())
        std::printf("%s\n", qPrintable(simulator.mqttPublisher()->countsText()));
    std::fflush(stdout);
    return rc;
}
