#pragma once
// The station's local CLI endpoint: a QLocalServer (a Unix domain socket below QDir::tempPath(),
// i.e. $TMPDIR, or a named pipe) that serves exactly one request per connection. A process may
// place the socket in a directory of its choosing instead (setEndpointDir, before start()).
//
// Frame, both directions: 4-byte little-endian length, then that many bytes of UTF-8 JSON.
// A request is answered with one response frame (see GcsCliResponse.h), then the connection is
// closed; bytes after the first frame are ignored. A connection that has not delivered a full
// frame within the read deadline (restarted by every chunk received) gets a "Timeout" envelope.
//
// The socket is made mode 0660 (the user and the group reach it; the directory it sits in decides
// who reaches it at all). A name that already exists and belongs to another user is refused with
// its owner named: it is never probed, removed or listened on.
//
// Choices beyond the protocol itself:
// - Once a connection is answered, further input is discarded and its read deadline no longer
//   runs; a client that does not let the response drain within one read deadline is aborted,
//   so a stalled reader cannot keep a connection forever.
// - An exception other than a JSON library error escaping the router is answered with
//   "CommandRejected" "Internal error: <text>" (domain "business") and logged as an error.
// - Responses are serialised with invalid UTF-8 replaced (U+FFFD), so a bad byte in a vehicle's
//   text can never make the response unwritable.
// - The socket work (accept, read, write, deadlines) runs on a thread of its own, so an answer
//   never waits for the main loop to get round to the socket. A method that only reads (its
//   MethodSpec says readOnly) is answered there between two of the main loop's events
//   (OstMainLoopGate, open while GcsApplication::runLoop runs): it waits for the event in progress,
//   not for the loop's whole turn. Every other method, and a read the gate does not let in within
//   kGateWaitMs (gate closed, or an event holding the loop that long), is queued to the main thread
//   and answered from there, as all methods are without the gate.

#include "GcsCliServiceContext.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <atomic>

class GcsCliOutcomeRecorder;
class QThread;

class GcsCliIpcServer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kEndpointName = "Tarnwick_CliIpc_v1";
    static constexpr qint64 kMaxFramePayload = 4 * 1024 * 1024;
    static constexpr int kDefaultReadDeadlineMs = 3000;
    static constexpr int kStaleProbeTimeoutMs = 500;
    static constexpr int kGateWaitMs = 250;

    // "" (the default): kEndpointName below $TMPDIR; else DIR/kEndpointName. Main thread, for
    // servers started afterwards.
    static void setEndpointDir(const QString& dir);
    // The name the server listens on: kEndpointName or the full path of the socket.
    static QString endpointName();
    // "user NAME (uid N)", or "uid N" when the system knows no such user.
    static QString describeOwner(uint uid);

    // readDeadlineMs: time allowed between chunks of an incomplete request frame.
    explicit GcsCliIpcServer(const GcsCliServiceContext& context, QObject* parent = nullptr,
                             int readDeadlineMs = kDefaultReadDeadlineMs);
    ~GcsCliIpcServer() override;

    // Listens on the endpoint; a stale endpoint (nobody accepting) is removed once, a live one is
    // never taken over. On failure errorText (when given) receives the reason.
    bool start(QString* errorText = nullptr);
    void stop();
    bool isListening() const { return m_io != nullptr; }
    int openConnectionCount() const { return m_openConnections.load(); }

    int readDeadlineMs() const { return m_readDeadlineMs.load(); }
    void setReadDeadlineMs(int ms) { m_readDeadlineMs = ms; }

    // One request payload (the frame's JSON text) to its response envelope. Never throws. Main
    // thread (or a worker inside OstMainLoopGate, for a read-only method).
    nlohmann::json handleRequestPayload(const QByteArray& payload) const;
    // Requests answered off the main thread between two events, since start.
    quint64 answeredBetweenEvents() const { return m_betweenEvents.load(); }

    // The zone and account outcomes the router answers from.
    GcsCliOutcomeRecorder* outcomes() const { return m_outcomes; }

signals:
    // Each request answered: whether the answer is ok, and the time from its whole frame to the
    // answer written (the station's metrics). Emitted on the socket thread.
    void requestAnswered(bool ok, double seconds);

private:
    class Io;
    friend class Io;
    void endThread();

    GcsCliServiceContext m_context;
    GcsCliOutcomeRecorder* m_outcomes = nullptr;
    QThread* m_thread = nullptr;
    Io* m_io = nullptr;
    std::atomic<int> m_readDeadlineMs{kDefaultReadDeadlineMs};
    std::atomic<int> m_openConnections{0};
    std::atomic<quint64> m_betweenEvents{0};
};
