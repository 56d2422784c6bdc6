// velmora-station as a process: it answers on its endpoint, refuses to take a live one, rejects
// bad arguments and configuration files, reloads on SIGHUP, serves its metrics and health, and
// stops in order on SIGTERM. Every run passes --data-dir; the test process's private TMPDIR and
// XDG_RUNTIME_DIR (where the station puts its endpoint) are inherited.

#include "TestSupport.h"

#include "automation/GcsCliIpcServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, args);
    cli.waitForFinished(15000);
    if (out)
        *out = cli.readAllStandardOutput();
    if (err)
        *err = cli.readAllStandardError();
    return cli.exitCode();
}

QString writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
    return path;
}

// One GET on the page server: the status code and the body.
std::pair<int, QByteArray> httpGet(quint16 port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {0, {}};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(3000) || socket.bytesAvailable())
        reply += socket.readAll();
    const qsizetype body = reply.indexOf("\r\n\r\n");
    return {reply.mid(9, 3).toInt(), body < 0 ? QByteArray() : reply.mid(body + 4)};
}

// The value of one sample line ("name{labels} value") of a metrics text, -1 when missing.
double sample(const QByteArray& metrics, const QByteArray& series)
{
    for (const QByteArray& line : metrics.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return -1;
}

}  // namespace

TEST(StationProgram, ServesRefusesASecondStationAndStopsInOrder)
{
    const QString dataDir = testsupport::makeTempDir("station");
    QProcess station;
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--log-level", "info"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000));

    QProcess second;
    second.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("second")});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1) << "a live endpoint is never taken over";
    EXPECT_EQ(runCli({"system.ping"}), 0) << "the first station still answers";

    ::kill(station.processId(), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(10000));
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 0);
    QFile log(dataDir + "/data/logs/station.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    const int quit = text.indexOf("<app> about to quit app");
    const int stopped = text.indexOf("<app> CLI IPC server stopped");
    const int released = text.indexOf("<app> end release all");
    EXPECT_GE(quit, 0);
    EXPECT_GT(stopped, quit);
    EXPECT_GT(released, stopped);
    EXPECT_EQ(runCli({"system.ping"}), 2) << "nothing answers after the stop";
}

TEST(StationProgram, BadArgumentsExitWithStatus2)
{
    // A signing key others may read, and one of the wrong size.
    const QString keys = testsupport::makeTempDir("keys");
    QFile open(keys + "/open.key"), shortKey(keys + "/short.key");
    open.open(QIODevice::WriteOnly);
    open.write(QByteArray(32, 'k'));
    open.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    shortKey.open(QIODevice::WriteOnly);
    shortKey.write(QByteArray(31, 'k'));
    shortKey.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    open.close();
    shortKey.close();
    for (const QStringList& args :
         {QStringList{"--udp", "14550:99999"},
          QStringList{"--serial", "/dev/ttyS0"},
          QStringList{"--log-level", "loud"},
          QStringList{"--udp", "14550", "--serial", "/dev/ttyS0:9600"},
          QStringList{"--frobnicate"},
          QStringList{"--data-dir"},
          QStringList{"--log-files", "0"},
          QStringList{"--log-max-mb", "abc"},
          QStringList{"--endpoint-dir", "/no/such/dir"},
          QStringList{"--no-cloud", "--cloud-url", "http://127.0.0.1:9"},
          QStringList{"--mqtt", "tcp://127.0.0.1:9", "--no-cloud"},
          QStringList{"--fleet-broker", "mqtt://127.0.0.1:9"},
          QStringList{"--station-id", "north"},
          QStringList{"--fleet-broker", "tcp://127.0.0.1:9", "--station-id", "north"},
          QStringList{"--fleet-broker", "mqtt://127.0.0.1:9", "--station-id", "north/+"},
          QStringList{"--endpoint-dir", testsupport::makeTempDir(QString(80, 'd'))},
          QStringList{"--mavlink", "udp:127.0.0.1"},
          QStringList{"--mavlink", "tcpin:0"},
          QStringList{"--mavlink", "serial:/dev/ttyS0"},
          QStringList{"--mavlink-control"},
          QStringList{"--mavlink", "tcpin:15999", "--mavlink-signing-key", open.fileName()},
          QStringList{"--mavlink", "tcpin:15999", "--mavlink-signing-key", shortKey.fileName()}}) {
        QProcess station;
        station.start(VELMORA_STATION_BIN, args);
        ASSERT_TRUE(station.waitForFinished(10000)) << args.join(' ').toStdString();
        EXPECT_EQ(station.exitCode(), 2) << args.join(' ').toStdString();
    }
}

// A station without cloud options calls no cloud; a second station on the same data directory
// refuses to start, naming the first one's pid.
TEST(StationProgram, EndpointInAChosenDirectoryAndOneStationPerDataDirectory)
{
    QTemporaryDir shortDir("/tmp/vmep-XXXXXX");  // the test's own temporary root is too deep for a socket
    const QString endpointDir = shortDir.path();
    const QString dataDir = testsupport::makeTempDir("station");
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--endpoint-dir", endpointDir});
    ASSERT_TRUE(station.waitForStarted(5000));
    const QStringList ping = {"--endpoint", endpointDir + "/Tarnwick_CliIpc_v1", "system.ping"};
    EXPECT_TRUE(waitUntil([&] { return runCli(ping) == 0; }, 10000));
    EXPECT_EQ(runCli({"system.ping"}), 2) << "nothing listens at the default place";

    QTemporaryDir otherEndpoint("/tmp/vmep-XXXXXX");
    QProcess second;
    second.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--endpoint-dir", otherEndpoint.path()});
    ASSERT_TRUE(second.waitForFinished(10000)) << "a second station on the same data directory kept running";
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_NE(second.readAllStandardError().indexOf("is in use by another station (pid " +
                                                    QByteArray::number(station.processId()) + ")"),
              -1);
    ::kill(station.processId(), SIGTERM);
    EXPECT_TRUE(station.waitForFinished(10000));
    const QByteArray log = station.readAllStandardError();
    EXPECT_NE(log.indexOf("the cloud is off"), -1) << log.toStdString();
    EXPECT_EQ(log.indexOf("8080"), -1) << "a station told of no cloud called one";
}

TEST(StationProgram, StopsCleanlyWhileTwentyVehiclesArePolledSoak)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN,
              {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count", "20", "--heartbeat-ms", "200"});
    ASSERT_TRUE(sim.waitForReadyRead(10000)) << "the simulator prints its port";
    const QString dataDir = testsupport::makeTempDir("station");
    for (int run = 0; run < 20; ++run) {
        QProcess station;
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--udp", QString::number(stationPort)});
        ASSERT_TRUE(station.waitForStarted(5000));
        ASSERT_TRUE(waitUntil(
            [] {
                QByteArray out;
                return runCli({"--json", "vehicle.list"}, &out) == 0 &&
                       nlohmann::json::parse(out.toStdString(), nullptr, false)
                               .value("data", nlohmann::json::object())
                               .value("count", 0) == 20;
            },
            15000))
            << "run " << run;
        ::kill(station.processId(), SIGTERM);
        ASSERT_TRUE(station.waitForFinished(10000)) << "run " << run;
        EXPECT_EQ(station.exitStatus(), QProcess::NormalExit) << "run " << run;
        ASSERT_EQ(station.exitCode(), 0) << "run " << run;
    }
    sim.terminate();
    sim.waitForFinished(5000);
}

TEST(StationProgram, PasswordFileMustBePrivateAndTheLogIs)
{
    const QString secret = testsupport::makeTempDir("secret") + "/mqtt-password";
    // file mode, exit code, what stderr says
    for (const auto& [mode, exitCode, message] :
         {std::tuple{0644, 2, "has mode 0644, it must be 0600 or stricter"}, std::tuple{0600, 0, ""}}) {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("hunter2\n") == 8);
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), mode_t(mode)), 0);
        const QString dataDir = testsupport::makeTempDir("station");
        QProcess station;
        station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--no-cloud", "--mqtt-password-file", secret});
        if (exitCode == 0 && waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000))
            ::kill(station.processId(), SIGTERM);
        ASSERT_TRUE(station.waitForFinished(10000));
        EXPECT_EQ(station.exitCode(), exitCode);
        EXPECT_TRUE(QString::fromLocal8Bit(station.readAllStandardError()).contains(message)) << message;
        struct stat st { };
        const QByteArray log = QFile::encodeName(dataDir + "/data/logs/station.log");
        if (exitCode == 0) {
            EXPECT_EQ(::stat(log.constData(), &st) == 0 ? st.st_mode & 0777 : 0u, 0600u) << "a missing log fails too";
        }
    }
}

// The configuration file: each error names the file, the line and the key and stops the start;
// the command line wins over the file, the file over the defaults, and --print-config says which
// gave each value.
TEST(StationProgram, ConfigurationFileErrorsAndPrecedence)
{
    const QString dir = testsupport::makeTempDir("conf");
    // file text, what standard error must say after the file's name
    for (const auto& [text, expected] :
         {std::pair<QByteArray, QString>{"log-level = \"info\"\nfrobnicate = 1\n", ":2: unknown key 'frobnicate'"},
          {"http = \"8470\"\n", ":1: key 'http' takes a whole number, got a string"},
          {"\nlog-level = \"loud\"\n", ":2: key 'log-level': unknown log level 'loud'"},
          {"# comment\n\nhttp-rate-hz = 500\n",
           ":3: key 'http-rate-hz': --http-rate-hz takes a whole number from 1 to 50"},
          {"no-cloud = \"yes\"\n", ":1: key 'no-cloud' takes true or false, got a string"},
          {"mavlink = [\"tcpin:5760\",\n  5]\n", ":2: key 'mavlink' takes a list of strings, got a whole number in it"},
          {"config = \"other.conf\"\n", ":1: key 'config' is a command-line option only"},
          {"udp = \"14550\"\nlog-level = \n", ":2:"},
          {"udp = \"14550\"\nserial = \"/dev/ttyS0:9600\"\n", "--udp and --serial exclude each other (udp from "}}) {
        const QString file = writeFile(dir + "/station.conf", text);
        QProcess station;
        station.start(VELMORA_STATION_BIN, {"--config", file, "--data-dir", testsupport::makeTempDir("station")});
        ASSERT_TRUE(station.waitForFinished(10000)) << text.toStdString();
        EXPECT_EQ(station.exitCode(), 2) << text.toStdString();
        const QString err = QString::fromUtf8(station.readAllStandardError());
        EXPECT_TRUE(err.contains(expected.startsWith(':') ? file + expected : expected)) << err.toStdString();
    }
    QProcess missing;
    missing.start(VELMORA_STATION_BIN, {"--config", dir + "/none.conf"});
    ASSERT_TRUE(missing.waitForFinished(10000));
    EXPECT_EQ(missing.exitCode(), 2) << "a named file that does not exist";

    const QString file = writeFile(dir + "/station.conf", "log-level = \"debug\"\nhttp-rate-hz = 7\n"
                                                          "mavlink = [\"tcpin:5760\"]\nno-cloud = true\n");
    QProcess station;
    station.start(VELMORA_STATION_BIN,
                  {"--config", file, "--log-level", "warn", "--mavlink", "tcpin:5761", "--print-config"});
    ASSERT_TRUE(station.waitForFinished(10000));
    EXPECT_EQ(station.exitCode(), 0);
    const QString out = QString::fromUtf8(station.readAllStandardOutput());
    // key = value, then its source after '#'
    for (const auto& [line, source] : {std::pair<QString, QString>{"log-level = \"warn\"", "command line"},
                                       {"http-rate-hz = 7", file + ":2"},
                                       {"mavlink = [\"tcpin:5761\"]", "command line"},
                                       {"no-cloud = true", file + ":4"},
                                       {"log-files = 5", "default"},
                                       {"# serial = \"\"", "unset"}})
        EXPECT_TRUE(out.contains(QRegularExpression("\n" + QRegularExpression::escape(line) + " +# " +
                                                    QRegularExpression::escape(source) + "\n")))
            << line.toStdString() << "\n"
            << out.toStdString();
}

// Without --endpoint-dir the endpoint is in $XDG_RUNTIME_DIR/velmora, the directory 0700 and the
// socket 0660, and velmora-cli finds it there untold; an endpoint another user holds is refused,
// naming that user, by the station and by velmora-cli alike.
TEST(StationProgram, EndpointInThePrivateRuntimeDirectory)
{
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/velmora";
    const QString socket = dir + "/Tarnwick_CliIpc_v1";
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station")});
    ASSERT_TRUE(waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000));
    struct stat st { };
    ASSERT_EQ(::stat(QFile::encodeName(dir).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(socket).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ::kill(station.processId(), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(10000));

    // A name in the station's directory that another user made.
    writeFile(socket, "");
    ASSERT_EQ(::chown(QFile::encodeName(socket).constData(), 65534, 65534), 0)
        << "making another user's file needs root";
    const QString owner = GcsCliIpcServer::describeOwner(65534);
    QProcess second;
    second.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station")});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(second.readAllStandardError()).contains("belongs to " + owner));
    QByteArray err;
    EXPECT_EQ(runCli({"system.ping"}, nullptr, &err), 2);
    EXPECT_TRUE(QString::fromUtf8(err).contains("belongs to " + owner)) << err.toStdString();
    QFile::remove(socket);
}

// SIGHUP reads the file again: the log level and the page's limits change at once and the log
// names what waits for a restart; a file that no longer parses changes nothing.
TEST(StationProgram, ReloadsItsConfigurationOnSighup)
{
    const QString dir = testsupport::makeTempDir("reload");
    const QString dataDir = testsupport::makeTempDir("station");
    const QString file = writeFile(dir + "/station.conf", "log-level = \"info\"\nhttp = 0\nhttp-rate-hz = 5\n");
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--config", file, "--data-dir", dataDir});
    ASSERT_TRUE(waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000));
    QFile log(dataDir + "/data/logs/station.log");
    auto logged = [&](const QString& text) {
        return waitUntil(
            [&] {
                log.close();
                return log.open(QIODevice::ReadOnly) && QString::fromUtf8(log.readAll()).contains(text);
            },
            10000);
    };
    writeFile(file, "log-level = \"debug\"\nhttp = 0\nhttp-rate-hz = 9\nlang = \"zh_CN\"\n");
    ::kill(station.processId(), SIGHUP);
    EXPECT_TRUE(logged("applied: http-rate-hz 5 -> 9, log-level \"info\" -> \"debug\"; needs a restart: lang"));
    writeFile(file, "log-level = \n");
    ::kill(station.processId(), SIGHUP);
    EXPECT_TRUE(logged("the configuration was not reloaded, nothing changed: " + file + ":1:"));
    EXPECT_EQ(runCli({"system.ping"}), 0) << "the station serves on";
    ::kill(station.processId(), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(10000));
    EXPECT_EQ(station.exitCode(), 0);
    // The objects released at the stop say so at debug level: the reloaded level was in force.
    EXPECT_TRUE(logged("] [debug] "));
}

// /metrics, /healthz and /readyz on the page server agree with what the station has: the
// simulator's vehicles, the CLI requests it answered, its link.
TEST(StationProgram, MetricsAndHealthOnThePageServer)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count", "2"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--udp",
                                        QString::number(stationPort), "--http", "0"});
    ASSERT_TRUE(station.waitForReadyRead(10000));
    const quint16 port = quint16(QString::fromUtf8(station.readLine()).section(':', -1).remove('/').trimmed().toUInt());
    ASSERT_GT(port, 0);
    QByteArray metrics;
    ASSERT_TRUE(waitUntil(
        [&] {
            metrics = httpGet(port, "/metrics").second;
            return sample(metrics, "velmora_vehicles_alive") == 2;
        },
        15000))
        << metrics.toStdString();
    const auto [readyStatus, ready] = httpGet(port, "/readyz");
    EXPECT_EQ(readyStatus, 200) << ready.toStdString();
    EXPECT_EQ(nlohmann::json::parse(ready.toStdString())["checks"]["link"]["detail"], "open");
    EXPECT_EQ(httpGet(port, "/healthz").first, 200);
    const double before = sample(metrics, "velmora_cli_requests_total{outcome=\"ok\"}");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(runCli({"system.ping"}), 0);
    EXPECT_EQ(runCli({"no.such.method"}), 1);
    metrics = httpGet(port, "/metrics").second;
    EXPECT_EQ(sample(metrics, "velmora_cli_requests_total{outcome=\"ok\"}"), before + 3);
    EXPECT_EQ(sample(metrics, "velmora_cli_requests_total{outcome=\"error\"}"), 1);
    EXPECT_EQ(sample(metrics, "velmora_cli_request_duration_seconds_count"), before + 4);
    EXPECT_EQ(sample(metrics, "velmora_vehicles"), 2);
    EXPECT_GT(sample(metrics, "velmora_link_frames_received_total"), 0);
    EXPECT_GT(sample(metrics, "velmora_link_datagrams_sent_total"), 0);
    EXPECT_GT(sample(metrics, "process_resident_memory_bytes"), 0);
    EXPECT_GT(sample(metrics, "process_open_fds"), 0);
    ::kill(station.processId(), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(10000));
    sim.terminate();
    sim.waitForFinished(5000);
}

// Under a Type=notify unit: READY once it serves, WATCHDOG at half the interval systemd asks for,
// STOPPING at SIGTERM, all as datagrams on NOTIFY_SOCKET.
TEST(StationProgram, TellsTheServiceManagerReadyWatchdogAndStopping)
{
    QTemporaryDir dir("/tmp/vmnotify-XXXXXX");
    const QByteArray path = QFile::encodeName(dir.path() + "/notify");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // What is received, one message a line, until enough(got) or ms have passed.
    auto receive = [fd](int ms, const std::function<bool(const QByteArray&)>& enough) {
        QByteArray got;
        pollfd p{fd, POLLIN, 0};
        for (QDeadlineTimer deadline(ms); !enough(got) && ::poll(&p, 1, int(deadline.remainingTime())) > 0;) {
            char buf[512];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            got += QByteArray(buf, int(std::max<ssize_t>(n, 0))) + '\n';
        }
        return got;
    };
    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(path));
    env.insert("WATCHDOG_USEC", "400000");
    station.setProcessEnvironment(env);
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station")});
    const QByteArray started =
        receive(3000, [](const QByteArray& got) { return got.contains("READY=1") && got.count("WATCHDOG=1") >= 3; });
    EXPECT_TRUE(started.contains("READY=1\nSTATUS=serving; CLI endpoint ")) << started.toStdString();
    EXPECT_GE(started.count("WATCHDOG=1"), 3) << "every 200 ms, three within 3 s: " << started.toStdString();
    ::kill(station.processId(), SIGTERM);
    EXPECT_TRUE(receive(3000, [](const QByteArray& got) { return got.contains("STOPPING=1"); }).contains("STOPPING=1"));
    ASSERT_TRUE(station.waitForFinished(10000));
    EXPECT_EQ(station.exitCode(), 0);
    ::close(fd);
}
