#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "automation/GcsCliIpcServer.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using spdlog::level::debug;
using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

// The endpoint lives below $TMPDIR; a directory of this process's own keeps parallel test
// processes (and velmora-cli children, which inherit it) apart. Set before main() runs.
const QTemporaryDir& privateTmpDir()
{
    static QTemporaryDir dir(QDir::tempPath() + "/velmora-cli-XXXXXX");
    return dir;
}
const bool g_tmpDirSet = [] { return qputenv("TMPDIR", privateTmpDir().path().toLocal8Bit()); }();

const QString kEndpoint = QString::fromLatin1(GcsCliIpcServer::kEndpointName);

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

// Splits a received byte stream into its response frames; a trailing partial frame is kept as
// a null value so that tests notice it.
std::vector<json> frames(QByteArray bytes)
{
    std::vector<json> out;
    while (bytes.size() >= 4) {
        const qsizetype length = qFromLittleEndian<quint32>(bytes.constData());
        if (bytes.size() < length + 4) {
            out.push_back(nullptr);
            return out;
        }
        out.push_back(json::parse(bytes.mid(4, length).toStdString()));
        bytes.remove(0, length + 4);
    }
    if (!bytes.isEmpty())
        out.push_back(nullptr);
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
    bool connected() const { return socket.state() == QLocalSocket::ConnectedState; }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int timeoutMs)
    {
        const bool closed = waitUntil([this] { return socket.state() == QLocalSocket::UnconnectedState; }, timeoutMs);
        received += socket.readAll();
        return closed;
    }
};

// A process holding the endpoint: socat listening on the socket file, answering with cat.
struct SocatListener {
    QProcess process;
    bool start()
    {
        const QString path = QDir::tempPath() + "/" + kEndpoint;
        process.start("socat", {"UNIX-LISTEN:" + path + ",fork", "EXEC:cat"});
        return process.waitForStarted(5000) && waitUntil([&] { return QFileInfo::exists(path); }, 5000);
    }
    ~SocatListener()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

class CliIpcServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_tmpDirSet && privateTmpDir().isValid());
        LogCapture::instance().clear();
    }
    void TearDown() override
    {
        server.stop();
        QLocalServer::removeServer(kEndpoint);
    }

    // Long deadline by default so that no answer below can come from the read deadline.
    GcsCliIpcServer server{GcsCliServiceContext{gcsApp()}, nullptr, 60000};
};

}  // namespace

TEST_F(CliIpcServerTest, EveryFrameGetsExactlyOneAnswerThenTheConnectionCloses)
{
    ASSERT_TRUE(server.start());
    const QByteArray ping = R"({"method":"system.ping","apiVersion":"1"})";
    struct Case {
        const char* name;
        QByteArray bytes;
        bool ok;
        const char* code;
        const char* messagePrefix;
        const char* logLine;  // expected warning, when the server should log one
    };
    const std::vector<Case> cases = {
        {"ping", frame(ping), true, nullptr, "OK", nullptr},
        {"byte-order mark", frame("\xEF\xBB\xBF" + ping), true, nullptr, "OK", nullptr},
        {"length 4194305, no payload", lengthPrefix(4194305), false, "InvalidArgs",
         "Request frame exceeds maximum allowed size", "<cli-ipc> frame too large: 4194305 bytes (max 4194304)"},
        {"length 0", lengthPrefix(0), false, "InvalidArgs", "Empty JSON payload", nullptr},
        {"lone brace", frame("{"), false, "InvalidArgs", "Invalid JSON: ", nullptr},
        {"comment", frame("/* c */" + ping), false, "InvalidArgs", "Invalid JSON: ", nullptr},
        {"invalid UTF-8", frame("{\"method\":\"\xC3\x28\"}"), false, "InvalidArgs", "Invalid JSON: ", nullptr},
        {"two frames in one write", frame(ping) + frame("{"), true, nullptr, "OK", nullptr},
        {"trailing garbage after the frame", frame(ping) + "\xFF\xFF\xFF\xFF junk", true, nullptr, "OK", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        RawClient client;
        ASSERT_TRUE(client.connected());
        client.send(c.bytes);
        ASSERT_TRUE(client.waitClosed(5000));
        const auto answers = frames(client.received);
        ASSERT_EQ(answers.size(), 1u) << client.received.toStdString();
        const json& r = answers.front();
        EXPECT_EQ(r["ok"], c.ok);
        EXPECT_EQ(r["apiVersion"], "1");
        EXPECT_EQ(r["domain"], "business");
        if (c.code)
            EXPECT_EQ(r["code"], c.code);
        else
            EXPECT_TRUE(r["code"].is_null());
        EXPECT_EQ(r["message"].get<std::string>().rfind(c.messagePrefix, 0), 0u) << r["message"];
        if (c.ok) {
            EXPECT_EQ(r["data"], json({{"pong", true}}));
        }
        if (c.logLine) {
            EXPECT_EQ(LogCapture::instance().count(warn, c.logLine), 1);
        }
    }
    EXPECT_TRUE(waitUntil([&] { return server.openConnectionCount() == 0; }));
}

// The read deadline restarts with every chunk: a slow sender whose gaps stay below it is served,
// a sender that stops is answered "Timeout". Both run at once, first scaled down, then in real
// time (3000 ms deadline, a byte every 2 s).
TEST_F(CliIpcServerTest, ReadDeadlineRestartsWithEveryChunk)
{
    const struct {
        int deadlineMs;
        int byteIntervalMs;
    } scales[] = {{600, 400}, {GcsCliIpcServer::kDefaultReadDeadlineMs, 2000}};
    for (const auto& scale : scales) {
        SCOPED_TRACE(scale.deadlineMs);
        LogCapture::instance().clear();
        server.setReadDeadlineMs(scale.deadlineMs);
        ASSERT_TRUE(server.start());

        RawClient silent;
        silent.send(QByteArray("\x05\x00\x00", 3));

        // "1" is valid JSON but not a request object: the router answers, not the deadline.
        RawClient slow;
        const QByteArray slowFrame = frame("1");
        int sent = 0;
        QTimer trickle;
        QObject::connect(&trickle, &QTimer::timeout, [&] {
            if (sent < slowFrame.size())
                slow.send(slowFrame.mid(sent++, 1));
        });
        slow.send(slowFrame.mid(sent++, 1));
        trickle.start(scale.byteIntervalMs);

        const int patience = scale.byteIntervalMs * int(slowFrame.size()) + 5000;
        ASSERT_TRUE(silent.waitClosed(patience));
        ASSERT_TRUE(slow.waitClosed(patience));
        EXPECT_EQ(sent, slowFrame.size());

        const auto timedOut = frames(silent.received);
        ASSERT_EQ(timedOut.size(), 1u);
        EXPECT_EQ(timedOut[0]["code"], "Timeout");
        EXPECT_EQ(timedOut[0]["domain"], "transport");
        EXPECT_EQ(timedOut[0]["message"], "Incomplete request frame within read deadline");
        EXPECT_EQ(LogCapture::instance().count(warn, "<cli-ipc> read deadline exceeded before a full request frame"), 1);

        const auto served = frames(slow.received);
        ASSERT_EQ(served.size(), 1u);
        EXPECT_EQ(served[0]["code"], "InvalidArgs");
        server.stop();
    }
}

TEST_F(CliIpcServerTest, StaleEndpointOfAKilledProcessIsRemovedOnce)
{
    {
        SocatListener holder;
        ASSERT_TRUE(holder.start()) << "socat is needed for this test";
        holder.process.kill();  // SIGKILL: the socket file stays behind
        ASSERT_TRUE(holder.process.waitForFinished(5000));
    }
    ASSERT_TRUE(QFileInfo::exists(QDir::tempPath() + "/" + kEndpoint));

    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    auto& log = LogCapture::instance();
    EXPECT_EQ(log.count(warn, "<cli-ipc> listen AddressInUse on 'Tarnwick_CliIpc_v1', probing for an active CLI "
                              "IPC listener"),
              1);
    EXPECT_EQ(log.count(warn, "<cli-ipc> no active listener on 'Tarnwick_CliIpc_v1', assuming stale endpoint and "
                              "calling removeServer once"),
              1);
    EXPECT_EQ(log.count(info, "<cli-ipc> listening on 'Tarnwick_CliIpc_v1' after removing stale endpoint"), 1);

    RawClient client;
    client.send(frame(R"({"method":"system.ping"})"));
    ASSERT_TRUE(client.waitClosed(5000));
    ASSERT_EQ(frames(client.received).size(), 1u);
    EXPECT_EQ(frames(client.received)[0]["ok"], true);
}

TEST_F(CliIpcServerTest, LiveEndpointIsNeverTakenOver)
{
    const std::string refusal =
        "Another process is already listening on this CLI IPC endpoint; refusing to remove it.";
    for (const bool otherProcess : {false, true}) {
        SCOPED_TRACE(otherProcess ? "socat holds the endpoint" : "a first server holds the endpoint");
        LogCapture::instance().clear();
        SocatListener socat;
        GcsCliIpcServer first(GcsCliServiceContext{gcsApp()});
        if (otherProcess)
            ASSERT_TRUE(socat.start()) << "socat is needed for this test";
        else
            ASSERT_TRUE(first.start());

        QString error;
        EXPECT_FALSE(server.start(&error));
        EXPECT_EQ(error.toStdString(), refusal);
        EXPECT_FALSE(server.isListening());
        EXPECT_EQ(LogCapture::instance().count(err, "<cli-ipc> active listener detected on 'Tarnwick_CliIpc_v1', "
                                                    "aborting start (will not steal endpoint)"),
                  1);
        EXPECT_TRUE(QFileInfo::exists(QDir::tempPath() + "/" + kEndpoint));

        // The holder still serves: a ping reaches the first server, socat echoes the bytes back.
        RawClient client;
        ASSERT_TRUE(client.connected());
        client.send(frame(R"({"method":"system.ping"})"));
        if (otherProcess) {
            EXPECT_TRUE(waitUntil([&] { return client.received == frame(R"({"method":"system.ping"})"); }));
        } else {
            ASSERT_TRUE(client.waitClosed(5000));
            ASSERT_EQ(frames(client.received).size(), 1u);
            EXPECT_EQ(frames(client.received)[0]["ok"], true);
        }
    }
}

TEST_F(CliIpcServerTest, ApplicationStartsOneServerAndStopsItOnQuit)
{
    auto* app = gcsApp();
    ASSERT_NE(app, nullptr);
    auto& log = LogCapture::instance();

    app->startCliIpcServer();
    GcsCliIpcServer* running = app->cliIpcServer();
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(log.count(info, "<app> CLI IPC server started on 'Tarnwick_CliIpc_v1'"), 1);
    app->startCliIpcServer();
    EXPECT_EQ(app->cliIpcServer(), running);
    EXPECT_EQ(log.count(debug, "<app> CLI IPC server start skipped (already running)"), 1);
    running->start();
    EXPECT_EQ(log.count(debug, "<cli-ipc> start skipped (server already created)"), 1);

    // The quit path stops the endpoint before the controllers are released.
    log.clear();
    ASSERT_TRUE(QMetaObject::invokeMethod(app, "handleAppAboutToQuit"));
    app->init();  // the release above dropped the dispatcher; later tests of this process need it
    EXPECT_EQ(app->cliIpcServer(), nullptr);
    std::vector<std::string> appLines;
    for (const auto& line : log.lines()) {
        if (line.text.rfind("<app>", 0) == 0 || line.text == "<cli-ipc> server stopped")
            appLines.push_back(line.text);
    }
    EXPECT_EQ(appLines, (std::vector<std::string>{"<app> about to quit app", "<cli-ipc> server stopped",
                                                  "<app> CLI IPC server stopped", "<app> begin release all",
                                                  "<app> end release all"}));
    EXPECT_FALSE(QFileInfo::exists(QDir::tempPath() + "/" + kEndpoint));
    app->stopCliIpcServer();
    EXPECT_EQ(log.count(debug, "<app> CLI IPC server stop skipped (already stopped)"), 1);
}

TEST_F(CliIpcServerTest, CliClientExitStatusFollowsTheEnvelope)
{
    // Accepts and never answers, for the client's own time-out.
    QLocalServer silentServer;
    std::vector<std::unique_ptr<QLocalSocket>> silentClients;
    QObject::connect(&silentServer, &QLocalServer::newConnection, [&] {
        while (auto* s = silentServer.nextPendingConnection())
            silentClients.emplace_back(s);
    });

    enum class Peer { None, Station, Silent };
    struct Case {
        const char* name;
        Peer peer;
        QStringList args;
        int exitCode;
        const char* code;  // null: "ok" true; "": no envelope on stdout
        const char* domain;
        const char* stderrFragment;
    };
    const std::vector<Case> cases = {
        {"nothing listens", Peer::None, {"system.ping"}, 2, "NoServer", "transport", nullptr},
        {"ping", Peer::Station, {"system.ping"}, 0, nullptr, "business", nullptr},
        {"ping with params", Peer::Station, {"system.ping", R"({"vehicleId": 1})"}, 0, nullptr, "business", nullptr},
        {"unknown method", Peer::Station, {"no.such.method"}, 1, "CommandRejected", "business", nullptr},
        {"bad params JSON", Peer::Station, {"system.ping", "{bad"}, 2, "", nullptr, "PARAMS_JSON is not valid JSON"},
        {"params not an object", Peer::Station, {"system.ping", "[1]"}, 2, "", nullptr, "must be a JSON object"},
        {"no method", Peer::Station, {}, 2, "", nullptr, "missing METHOD"},
        {"silent server", Peer::Silent, {"--timeout-ms", "300", "system.ping"}, 2, "Timeout", "transport", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.peer == Peer::Station) {
            ASSERT_TRUE(server.start());
        }
        if (c.peer == Peer::Silent) {
            ASSERT_TRUE(silentServer.listen(kEndpoint));
        }

        QProcess cli;
        cli.start(VELMORA_CLI_BIN, c.args);
        ASSERT_TRUE(waitUntil([&] { return cli.state() == QProcess::NotRunning; }, 20000));
        const QByteArray out = cli.readAllStandardOutput();
        const QByteArray errText = cli.readAllStandardError();
        EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cli.exitCode(), c.exitCode) << out.toStdString() << errText.toStdString();
        if (c.code && *c.code == '\0') {
            EXPECT_TRUE(out.isEmpty());
        } else {
            const json envelope = json::parse(out.toStdString());
            EXPECT_EQ(envelope["ok"], c.code == nullptr);
            EXPECT_EQ(envelope["domain"], c.domain);
            if (c.code)
                EXPECT_EQ(envelope["code"], c.code);
            else
                EXPECT_EQ(envelope["data"], json({{"pong", true}}));
            EXPECT_TRUE(out.contains("\n  \"apiVersion\": \"1\"")) << "indented output expected";
        }
        if (c.stderrFragment) {
            EXPECT_TRUE(errText.contains(c.stderrFragment)) << errText.toStdString();
        }
        server.stop();
        silentServer.close();
    }
}
