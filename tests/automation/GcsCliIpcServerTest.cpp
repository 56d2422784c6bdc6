#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "automation/GcsCliIpcServer.h"
#include "OstMainLoopGate.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;
using namespace spdlog::level;

namespace {

// The endpoint lives below $TMPDIR; a directory of this process's own keeps parallel test
// processes (and velmora-cli children, which inherit it) apart. Set before main() runs.
QTemporaryDir g_tmpDir(QDir::tempPath() + "/velmora-cli-XXXXXX");
const bool g_tmpDirSet = qputenv("TMPDIR", g_tmpDir.path().toLocal8Bit());

const QString kEndpoint = QString::fromLatin1(GcsCliIpcServer::kEndpointName);
const QByteArray kPing = R"({"method":"system.ping","apiVersion":"1"})";

QString endpointPath()
{
    return QDir::tempPath() + "/" + kEndpoint;
}

QByteArray lengthPrefix(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(length, bytes.data());
    return bytes;
}

QByteArray frame(const QByteArray& payload)
{
    return lengthPrefix(quint32(payload.size())) + payload;
}

// The response frames in a received byte stream; a partial frame shows up as null.
std::vector<json> frames(QByteArray bytes)
{
    std::vector<json> out;
    while (!bytes.isEmpty()) {
        const qsizetype length = bytes.size() >= 4 ? qFromLittleEndian<quint32>(bytes.constData()) : bytes.size();
        if (bytes.size() < length + 4) {
            out.push_back(nullptr);
            break;
        }
        out.push_back(json::parse(bytes.mid(4, length).toStdString()));
        bytes.remove(0, length + 4);
    }
    return out;
}

struct RawClient {
    QLocalSocket socket;
    QByteArray received;

    RawClient()
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToServer(kEndpoint);
        socket.waitForConnected(2000);
    }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // Everything the server sent until it closed the connection.
    std::vector<json> answers(int timeoutMs = 5000)
    {
        if (!waitUntil([this] { return socket.state() == QLocalSocket::UnconnectedState; }, timeoutMs))
            return {};
        received += socket.readAll();
        return frames(received);
    }
};

std::vector<json> exchange(const QByteArray& bytes)
{
    RawClient client;
    client.send(bytes);
    return client.answers();
}

// Another process holding the endpoint: socat listening on the socket file, echoing with cat.
struct SocatListener {
    QProcess process;
    bool start()
    {
        process.start("socat", {"UNIX-LISTEN:" + endpointPath() + ",fork", "EXEC:cat"});
        // Listening, not just bound: socat creates the file a moment before it listens, and a
        // probe in between would find a stale endpoint.
        return process.waitForStarted(5000) && waitUntil([] {
                   QLocalSocket probe;
                   probe.connectToServer(endpointPath());
                   return probe.waitForConnected(100);
               });
    }
    ~SocatListener()
    {
        process.kill();  // SIGKILL: the socket file stays behind
        process.waitForFinished(5000);
    }
};

class CliIpcServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_tmpDirSet && g_tmpDir.isValid());
        LogCapture::instance().clear();
    }
    void TearDown() override
    {
        server.stop();
        QLocalServer::removeServer(kEndpoint);
    }

    // A long deadline, so that no answer can come from it where it is not the subject.
    GcsCliIpcServer server{GcsCliServiceContext{}, nullptr, 60000};
};

}  // namespace

TEST_F(CliIpcServerTest, EveryFrameGetsExactlyOneAnswerThenTheConnectionCloses)
{
    ASSERT_TRUE(server.start());
    struct Case {
        const char* name;
        QByteArray bytes;
        const char* code;  // null: answered "ok"
        const char* messagePrefix;
    };
    const std::vector<Case> cases = {
        {"ping", frame(kPing), nullptr, "OK"},
        {"byte-order mark", frame("\xEF\xBB\xBF" + kPing), nullptr, "OK"},
        {"length 4194305, no payload", lengthPrefix(4194305), "InvalidArgs",
         "Request frame exceeds maximum allowed size"},
        {"length 0", lengthPrefix(0), "InvalidArgs", "Empty JSON payload"},
        {"lone brace", frame("{"), "InvalidArgs", "Invalid JSON: "},
        {"invalid UTF-8", frame("{\"method\":\"\xC3\x28\"}"), "InvalidArgs", "Invalid JSON: "},
        {"two frames in one write", frame(kPing) + frame("{"), nullptr, "OK"},
        {"garbage after the frame", frame(kPing) + "\xFF\xFF\xFF\xFF junk", nullptr, "OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto answers = exchange(c.bytes);
        ASSERT_EQ(answers.size(), 1u);
        const json& r = answers.front();
        EXPECT_EQ(r["ok"], c.code == nullptr);
        EXPECT_EQ(r["apiVersion"], "1");
        EXPECT_EQ(r["domain"], "business");
        EXPECT_EQ(r["code"], c.code ? json(c.code) : json(nullptr));
        EXPECT_EQ(r["message"].get<std::string>().rfind(c.messagePrefix, 0), 0u) << r["message"];
        EXPECT_EQ(r["data"], c.code ? json::object() : json({{"pong", true}}));
    }
    EXPECT_EQ(LogCapture::instance().count(warn, "<cli-ipc> frame too large: 4194305 bytes (max 4194304)"), 1);
    EXPECT_TRUE(waitUntil([&] { return server.openConnectionCount() == 0; }));
}

// A read is answered between two events of a main loop that never idles, or inside one long
// event at a safe point (pass()), and never during an event; a method that is not a read waits
// for the loop. The client is a thread of its own, and the "loop" is this thread marking its
// events by hand, delivering none.
TEST_F(CliIpcServerTest, AReadIsAnsweredBetweenTheEventsOfABusyLoop)
{
    ASSERT_TRUE(server.start());
    OstMainLoopGate& gate = OstMainLoopGate::instance();
    gate.setOpen(true);
    const auto close = qScopeGuard([&] { gate.setOpen(false); });

    const QByteArray requests[] = {kPing, kPing, R"({"method":"system.info","apiVersion":"1"})"};
    std::vector<json> answers(3);
    std::atomic<int> answered{0};
    std::atomic<bool> longEventBegun{false};
    std::thread client([&] {
        for (size_t i = 0; i < answers.size(); ++i) {
            while (i == 1 && !longEventBegun)
                QThread::msleep(1);
            QLocalSocket socket;
            socket.connectToServer(kEndpoint);
            socket.waitForConnected(5000);
            socket.write(frame(requests[i]));
            socket.waitForBytesWritten(5000);
            QByteArray bytes;
            while (socket.waitForReadyRead(10000))
                bytes += socket.readAll();
            bytes += socket.readAll();
            const auto got = frames(bytes);
            answers[i] = got.size() == 1 ? got.front() : json();
            ++answered;
        }
    });
    std::atomic<bool> inEvent{false};
    std::atomic<bool> enteredDuringEvent{false};
    // Short events, one after another.
    QElapsedTimer busy;
    busy.start();
    while (answered == 0 && busy.elapsed() < 10000) {
        gate.beginEvent();
        QThread::msleep(20);
        gate.endEvent();
    }
    EXPECT_EQ(answered.load(), 1) << "the read waited for the loop to idle";
    // One long event with safe points.
    busy.restart();
    gate.beginEvent();
    longEventBegun = true;
    while (answered == 1 && busy.elapsed() < 10000) {
        QThread::msleep(5);
        gate.pass();
    }
    gate.endEvent();
    EXPECT_EQ(answered.load(), 2) << "the read waited for the long event to end";
    EXPECT_EQ(server.answeredBetweenEvents(), 2u);
    // The same gate, seen from a worker: it waits for the event in progress, and a closed gate
    // says no at once.
    gate.beginEvent();
    std::thread worker([&] {
        OstMainLoopGate::Visit visit(gate, 5000);
        enteredDuringEvent = bool(visit) && inEvent.load();
    });
    inEvent = true;
    QThread::msleep(50);
    inEvent = false;
    gate.endEvent();
    worker.join();
    EXPECT_FALSE(enteredDuringEvent.load());
    gate.setOpen(false);
    QElapsedTimer refused;
    refused.start();
    EXPECT_FALSE(OstMainLoopGate::Visit(gate, 5000));
    EXPECT_LT(refused.elapsed(), 2500);

    EXPECT_TRUE(waitUntil([&] { return answered == 3; })) << "system.info is answered once the loop runs";
    client.join();
    EXPECT_EQ(answers[0]["data"], json({{"pong", true}}));
    EXPECT_EQ(answers[1]["data"], json({{"pong", true}}));
    EXPECT_TRUE(answers[2].contains("ok")) << answers[2].dump();
    EXPECT_EQ(server.answeredBetweenEvents(), 2u);
}

// The read deadline restarts with every chunk: a slow sender whose gaps stay below it is served
// while one that stops is answered "Timeout". Both run at once, on a scaled-down deadline.
TEST_F(CliIpcServerTest, ReadDeadlineRestartsWithEveryChunk)
{
    const int deadlineMs = 600, byteIntervalMs = 400;
    server.setReadDeadlineMs(deadlineMs);
    ASSERT_TRUE(server.start());

    RawClient silent;
    silent.send(QByteArray("\x05\x00\x00", 3));
    // "1" is JSON but no request object: the router answers it, the deadline does not.
    RawClient slow;
    const QByteArray slowFrame = frame("1");
    int sent = 0;
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        if (sent < slowFrame.size())
            slow.send(slowFrame.mid(sent++, 1));
    });
    slow.send(slowFrame.mid(sent++, 1));
    trickle.start(byteIntervalMs);

    const auto timedOut = silent.answers(deadlineMs + 5000);
    const auto served = slow.answers(byteIntervalMs * int(slowFrame.size()) + 5000);
    ASSERT_EQ(timedOut.size(), 1u);
    EXPECT_EQ(timedOut[0]["code"], "Timeout");
    EXPECT_EQ(timedOut[0]["domain"], "transport");
    EXPECT_EQ(timedOut[0]["message"], "Incomplete request frame within read deadline");
    EXPECT_EQ(LogCapture::instance().count(warn, "<cli-ipc> read deadline exceeded before a full request frame"), 1);
    EXPECT_EQ(sent, slowFrame.size());
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0]["code"], "InvalidArgs");
}

// Whoever left the endpoint behind: a killed process's socket file is removed once; a live
// listener, in another process or in this one, is never taken over and keeps serving.
TEST_F(CliIpcServerTest, StaleEndpointIsReplacedButALiveOneIsNeverTaken)
{
    enum class Holder { KilledProcess, OtherProcess, ServerHere };
    for (const Holder holder : {Holder::KilledProcess, Holder::OtherProcess, Holder::ServerHere}) {
        SCOPED_TRACE(int(holder));
        QLocalServer::removeServer(kEndpoint);
        auto socat = std::make_unique<SocatListener>();
        GcsCliIpcServer first(GcsCliServiceContext{});
        ASSERT_TRUE(holder == Holder::ServerHere ? first.start() : socat->start()) << "socat is needed";
        if (holder == Holder::KilledProcess)
            socat.reset();
        ASSERT_TRUE(QFileInfo::exists(endpointPath()));
        LogCapture::instance().clear();

        QString error;
        const bool stale = holder == Holder::KilledProcess;
        EXPECT_EQ(server.start(&error), stale);
        EXPECT_EQ(error,
                  stale ? "" : "Another process is already listening on this CLI IPC endpoint; refusing to remove it.");
        EXPECT_EQ(LogCapture::instance().countContaining(stale ? warn : err,
                                                         stale ? "assuming stale endpoint" : "will not steal"),
                  1);

        // Whoever holds the endpoint now serves it: socat echoes, a server answers.
        RawClient client;
        client.send(frame(kPing));
        if (holder == Holder::OtherProcess) {
            EXPECT_TRUE(waitUntil([&] { return client.received == frame(kPing); }));
        } else {
            const auto answers = client.answers();
            ASSERT_EQ(answers.size(), 1u);
            EXPECT_EQ(answers[0]["ok"], true);
        }
        server.stop();
    }
}

TEST_F(CliIpcServerTest, CliClientExitStatusFollowsTheEnvelope)
{
    QLocalServer silentServer;  // accepts and never answers, for the client's own time-out
    enum class Peer { None, Station, Silent };
    struct Case {
        const char* name;
        Peer peer;
        QStringList args;
        int exitCode;
        const char* code;  // null: "ok" true; "": nothing on stdout
        const char* stderrFragment;
    };
    const std::vector<Case> cases = {
        {"nothing listens", Peer::None, {"system.ping"}, 2, "NoServer", nullptr},
        {"ping", Peer::Station, {"system.ping"}, 0, nullptr, nullptr},
        {"ping with params", Peer::Station, {"system.ping", R"({"vehicleId": 1})"}, 1, "InvalidArgs", nullptr},
        {"console without a station", Peer::Station, {"console"}, 1, "CommandRejected", nullptr},
        {"wait on a method without outcome", Peer::None, {"system.ping", "--wait"}, 2, "", "--wait applies"},
        {"bad params JSON", Peer::Station, {"system.ping", "{bad"}, 2, "", "PARAMS_JSON is not valid JSON"},
        {"no method", Peer::Station, {}, 2, "", "missing METHOD"},
        {"silent server", Peer::Silent, {"--timeout-ms", "300", "system.ping"}, 2, "Timeout", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.peer != Peer::Station || server.start());
        ASSERT_TRUE(c.peer != Peer::Silent || silentServer.listen(kEndpoint));
        QProcess cli;
        cli.start(VELMORA_CLI_BIN, QStringList{"--json"} + c.args);
        ASSERT_TRUE(waitUntil([&] { return cli.state() == QProcess::NotRunning; }, 20000));
        const QByteArray out = cli.readAllStandardOutput();
        const QByteArray errText = cli.readAllStandardError();
        EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cli.exitCode(), c.exitCode) << out.toStdString() << errText.toStdString();
        if (c.code && *c.code == '\0') {
            EXPECT_TRUE(out.isEmpty());
        } else {
            const json envelope = json::parse(out.toStdString());
            EXPECT_TRUE(out.contains("\n  \"apiVersion\": \"1\"")) << "indented output expected";
            EXPECT_EQ(envelope["ok"], c.code == nullptr);
            EXPECT_EQ(envelope["code"], c.code ? json(c.code) : json(nullptr));
            const bool transport = c.peer != Peer::Station;
            EXPECT_EQ(envelope["domain"], transport ? "transport" : "business");
            if (!c.code) {
                EXPECT_EQ(envelope["data"], json({{"pong", true}}));
            }
        }
        EXPECT_TRUE(!c.stderrFragment || errText.contains(c.stderrFragment)) << errText.toStdString();
        server.stop();
        silentServer.close();
    }
}
