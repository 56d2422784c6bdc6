#include "GcsCliIpcServer.h"

#include "GcsCliCommandRouter.h"
#include "GcsCliOutcomeRecorder.h"
#include "GcsCliResponse.h"
#include "OstMainLoopGate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <optional>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using GcsCliResponse::ErrorCode;
using GcsCliResponse::ErrorDomain;
using nlohmann::json;

namespace {

QString g_endpointDir;

// A parse error quotes the last text it read, which may be part of a password or token: it is
// cut off before the error reaches a log line or the reply.
std::string withoutInput(const char* what)
{
    const std::string text(what);
    return text.substr(0, text.find("; last read:"));
}

// The request of a payload, or the error envelope that answers it.
std::optional<json> parseRequest(const QByteArray& payload, json& answer)
{
    if (payload.isEmpty()) {
        answer = GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Empty JSON payload");
        return std::nullopt;
    }
    try {
        // Strict: no comments. The parser skips a leading UTF-8 byte-order mark by itself.
        return json::parse(payload.constBegin(), payload.constEnd(), nullptr, true, false);
    } catch (const json::exception& e) {
        const std::string text = withoutInput(e.what());
        spdlog::debug("<cli-ipc> JSON parse error in a {}-byte request: {}", payload.size(), text);
        answer = GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Invalid JSON: " + text);
        return std::nullopt;
    }
}

json dispatch(const GcsCliServiceContext& context, const json& request)
{
    try {
        return GcsCliCommandRouter::dispatch(context, request);
    } catch (const json::exception& e) {
        const std::string text = withoutInput(e.what());
        spdlog::debug("<cli-ipc> JSON error in a request: {}", text);
        return GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Invalid JSON: " + text);
    } catch (const std::exception& e) {
        spdlog::error("<cli-ipc> request handling failed: {}", e.what());
        return GcsCliResponse::makeError(ErrorCode::CommandRejected, std::string("Internal error: ") + e.what());
    }
}

// The socket file's path for a name QLocalServer places below $TMPDIR.
QString socketPath(const QString& name)
{
    return QDir::isAbsolutePath(name) ? name : QDir(QDir::tempPath()).absoluteFilePath(name);
}

}  // namespace

QString GcsCliIpcServer::describeOwner(uint uid)
{
    const passwd* pw = ::getpwuid(uid);
    return pw ? QStringLiteral("user %1 (uid %2)").arg(QString::fromLocal8Bit(pw->pw_name)).arg(uid)
              : QStringLiteral("uid %1").arg(uid);
}

void GcsCliIpcServer::setEndpointDir(const QString& dir)
{
    g_endpointDir = dir;
}

QString GcsCliIpcServer::endpointName()
{
    const QString name = QString::fromLatin1(kEndpointName);
    return g_endpointDir.isEmpty() ? name : QDir(g_endpointDir).absoluteFilePath(name);
}

// The sockets' side, on the server's own thread.
class GcsCliIpcServer::Io : public QObject {
public:
    explicit Io(GcsCliIpcServer* owner)
        : m_owner(owner)
    {
    }

    // On the socket thread; a blocking call from start().
    bool listen(const QString& name, const QByteArray& path, QString* errorText);
    // On the socket thread; a blocking call from stop(). Every connection goes, unanswered.
    void shutdown();

private:
    struct Connection {
        QByteArray buffer;
        QTimer* readTimer = nullptr;
        bool taken = false;  // its frame is being answered
    };

    void onNewConnection();
    void onSocketReadyRead(QLocalSocket* socket);
    void onSocketDisconnected(QLocalSocket* socket);
    void onReadTimeout(QLocalSocket* socket);
    void processBufferedFrames(QLocalSocket* socket);
    void answer(const QPointer<QLocalSocket>& socket, json request, const QElapsedTimer& took);
    void finish(const QPointer<QLocalSocket>& socket, const json& envelope, const QElapsedTimer* took);
    bool writeFramedJson(QLocalSocket* socket, const json& envelope);
    void dropReadTimer(Connection& c);
    void forget(QLocalSocket* socket);

    GcsCliIpcServer* m_owner;
    QLocalServer* m_server = nullptr;
    QHash<QLocalSocket*, Connection> m_connections;
};

bool GcsCliIpcServer::Io::listen(const QString& name, const QByteArray& path, QString* errorText)
{
    const std::string nameUtf8 = name.toStdString();
    m_server = new QLocalServer(this);
    connect(m_server, &QLocalServer::newConnection, this, &Io::onNewConnection);
    auto listening = [&] {
        // Operators reach the station through its group: the socket is the user's and the
        // group's (the directory decides who can reach it at all). Created 0755 under the
        // usual umask, so nobody else could connect before this.
        if (::chmod(path.constData(), 0660) != 0)
            spdlog::warn("<cli-ipc> cannot set mode 0660 on '{}': {}", nameUtf8, std::strerror(errno));
        return true;
    };
    if (m_server->listen(name)) {
        spdlog::info("<cli-ipc> listening on '{}'", nameUtf8);
        return listening();
    }

    QString error;
    if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        spdlog::warn("<cli-ipc> listen AddressInUse on '{}', probing for an active CLI IPC listener", nameUtf8);
        bool active = false;
        {
            QLocalSocket probe;
            probe.connectToServer(name, QIODevice::ReadWrite);
            active = probe.waitForConnected(kStaleProbeTimeoutMs);
            probe.abort();
        }
        if (active) {
            spdlog::error("<cli-ipc> active listener detected on '{}', aborting start (will not steal endpoint)",
                          nameUtf8);
            error =
                QStringLiteral("Another process is already listening on this CLI IPC endpoint; refusing to remove it.");
        } else {
            spdlog::warn("<cli-ipc> no active listener on '{}', assuming stale endpoint and calling removeServer once",
                         nameUtf8);
            QLocalServer::removeServer(name);
            if (m_server->listen(name)) {
                spdlog::info("<cli-ipc> listening on '{}' after removing stale endpoint", nameUtf8);
                return listening();
            }
            error = m_server->errorString();
            spdlog::error("<cli-ipc> listen failed after stale endpoint cleanup on '{}': {}", nameUtf8,
                          error.toStdString());
        }
    } else {
        error = m_server->errorString();
        spdlog::error("<cli-ipc> listen failed on '{}': {}", nameUtf8, error.toStdString());
    }
    if (errorText)
        *errorText = error;
    delete m_server;
    m_server = nullptr;
    return false;
}

void GcsCliIpcServer::Io::shutdown()
{
    // Taken out first: disconnecting a socket may emit disconnected() synchronously.
    const auto connections = std::exchange(m_connections, {});
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        delete it->readTimer;
        disconnect(it.key(), nullptr, this, nullptr);
        it.key()->disconnectFromServer();
        delete it.key();
    }
    m_owner->m_openConnections = 0;
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

void GcsCliIpcServer::Io::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        Connection& c = m_connections[socket];
        ++m_owner->m_openConnections;
        c.readTimer = new QTimer(this);
        c.readTimer->setSingleShot(true);
        connect(c.readTimer, &QTimer::timeout, this, [this, socket] { onReadTimeout(socket); });
        c.readTimer->start(m_owner->readDeadlineMs());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onSocketReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { onSocketDisconnected(socket); });
        // A client writes its request right after connecting, so it is usually waiting already.
        if (socket->bytesAvailable() > 0 || socket->waitForReadyRead(0))
            onSocketReadyRead(socket);
    }
}

void GcsCliIpcServer::Io::onSocketReadyRead(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->taken) {
        socket->readAll();
        return;
    }
    it->buffer.append(socket->readAll());
    processBufferedFrames(socket);
    it = m_connections.find(socket);
    if (it != m_connections.end() && !it->taken && it->readTimer)
        it->readTimer->start(m_owner->readDeadlineMs());
}

void GcsCliIpcServer::Io::onSocketDisconnected(QLocalSocket* socket)
{
    forget(socket);
    socket->deleteLater();
}

void GcsCliIpcServer::Io::forget(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    dropReadTimer(*it);
    m_connections.erase(it);
    --m_owner->m_openConnections;
}

void GcsCliIpcServer::Io::onReadTimeout(QLocalSocket* socket)
{
    if (!m_connections.contains(socket))
        return;
    spdlog::warn("<cli-ipc> read deadline exceeded before a full request frame");
    finish(socket,
           GcsCliResponse::makeError(ErrorCode::Timeout, "Incomplete request frame within read deadline",
                                     ErrorDomain::Transport),
           nullptr);
}

void GcsCliIpcServer::Io::processBufferedFrames(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->taken || it->buffer.size() < 4)
        return;
    const quint32 length = qFromLittleEndian<quint32>(it->buffer.constData());
    if (length > kMaxFramePayload) {
        spdlog::warn("<cli-ipc> frame too large: {} bytes (max {})", length, kMaxFramePayload);
        finish(socket, GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Request frame exceeds maximum allowed size"),
               nullptr);
        return;
    }
    if (it->buffer.size() < qsizetype(length) + 4)
        return;
    const QByteArray payload = it->buffer.mid(4, qsizetype(length));
    it->taken = true;
    it->buffer.clear();
    dropReadTimer(*it);
    QElapsedTimer took;
    took.start();
    json envelope;
    if (auto request = parseRequest(payload, envelope))
        answer(socket, std::move(*request), took);
    else
        finish(socket, envelope, &took);
}

void GcsCliIpcServer::Io::answer(const QPointer<QLocalSocket>& socket, json request, const QElapsedTimer& took)
{
    if (GcsCliCommandRouter::isReadOnly(request)) {
        json envelope;
        {
            OstMainLoopGate::Visit visit(OstMainLoopGate::instance(), kGateWaitMs);
            if (visit)
                envelope = dispatch(m_owner->m_context, request);
        }
        if (!envelope.is_null()) {
            ++m_owner->m_betweenEvents;
            finish(socket, envelope, &took);
            return;
        }
    }
    // Answered on the main thread; the answer comes back here to be written.
    QPointer<Io> self(this);
    QMetaObject::invokeMethod(m_owner, [owner = m_owner, self, socket, request = std::move(request), took] {
        json envelope = dispatch(owner->m_context, request);
        if (!self)
            return;
        QMetaObject::invokeMethod(self.data(), [self, socket, envelope = std::move(envelope), took] {
            self->finish(socket, envelope, &took);
        });
    });
}

void GcsCliIpcServer::Io::finish(const QPointer<QLocalSocket>& socket, const json& envelope, const QElapsedTimer* took)
{
    if (took)
        emit m_owner->requestAnswered(envelope.value("ok", false), double(took->nsecsElapsed()) / 1e9);
    if (!socket || !m_connections.contains(socket.data()))
        return;  // the client went while its request was answered
    QLocalSocket* s = socket.data();
    forget(s);
    writeFramedJson(s, envelope);
    // A client that never drains its response would hold the socket in the closing state.
    QTimer::singleShot(m_owner->readDeadlineMs(), s, [s] {
        if (s->state() != QLocalSocket::UnconnectedState)
            s->abort();
    });
    disconnect(s, &QLocalSocket::readyRead, this, nullptr);
    connect(s, &QLocalSocket::readyRead, s, [s] { s->readAll(); });
    s->disconnectFromServer();
}

bool GcsCliIpcServer::Io::writeFramedJson(QLocalSocket* socket, const json& envelope)
{
    std::string text;
    try {
        text = envelope.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception& e) {
        spdlog::error("<cli-ipc> response JSON could not be serialised: {}", e.what());
        return false;
    }
    if (qint64(text.size()) > kMaxFramePayload) {
        spdlog::error("<cli-ipc> response JSON exceeds max frame size");
        return false;
    }
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(text.size()), frame.data());
    frame.append(text.data(), qsizetype(text.size()));
    const qint64 written = socket->write(frame);
    if (written != frame.size()) {
        spdlog::warn("<cli-ipc> short write on response: {} / {}", written, frame.size());
        return false;
    }
    socket->flush();
    return true;
}

void GcsCliIpcServer::Io::dropReadTimer(Connection& c)
{
    if (c.readTimer) {
        c.readTimer->stop();
        c.readTimer->deleteLater();
        c.readTimer = nullptr;
    }
}

GcsCliIpcServer::GcsCliIpcServer(const GcsCliServiceContext& context, QObject* parent, int readDeadlineMs)
    : QObject(parent)
    , m_context(context)
    , m_readDeadlineMs(readDeadlineMs)
{
    // Records from now on, whether or not listening succeeds; a caller's own recorder wins.
    if (!m_context.outcomes) {
        m_outcomes = new GcsCliOutcomeRecorder(m_context.station, this);
        m_context.outcomes = m_outcomes;
    } else {
        m_outcomes = m_context.outcomes;
    }
}

GcsCliIpcServer::~GcsCliIpcServer()
{
    stop();
}

bool GcsCliIpcServer::start(QString* errorText)
{
    if (m_io) {
        spdlog::debug("<cli-ipc> start skipped (server already created)");
        return true;
    }
    const QString name = endpointName();
    // A name someone else created first is theirs: never probed, removed or answered in.
    struct stat st { };
    const QByteArray path = QFile::encodeName(socketPath(name));
    if (::lstat(path.constData(), &st) == 0 && st.st_uid != ::geteuid()) {
        const QString why = QStringLiteral("the endpoint %1 belongs to %2, not to this station's user; remove it or "
                                           "choose another endpoint directory")
                                .arg(QString::fromLocal8Bit(path), describeOwner(st.st_uid));
        spdlog::error("<cli-ipc> refusing to start: {}", why.toStdString());
        if (errorText)
            *errorText = why;
        return false;
    }
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("cli-endpoint"));
    m_io = new Io(this);
    m_io->moveToThread(m_thread);
    m_thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(
        m_io, [&] { listening = m_io->listen(name, path, errorText); }, Qt::BlockingQueuedConnection);
    if (!listening)
        endThread();
    return listening;
}

void GcsCliIpcServer::stop()
{
    if (!m_io)
        return;
    endThread();
    QLocalServer::removeServer(endpointName());
    spdlog::info("<cli-ipc> server stopped");
}

void GcsCliIpcServer::endThread()
{
    // A read waiting for the main loop gives up within kGateWaitMs and is queued, so this call
    // cannot wait for the main thread it blocks.
    QMetaObject::invokeMethod(
        m_io, [this] { m_io->shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_io;
    m_io = nullptr;
    delete m_thread;
    m_thread = nullptr;
}

json GcsCliIpcServer::handleRequestPayload(const QByteArray& payload) const
{
    json answer;
    if (auto request = parseRequest(payload, answer))
        return dispatch(m_context, *request);
    return answer;
}
