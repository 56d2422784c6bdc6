#include "GcsCliIpcServer.h"

#include "GcsCliCommandRouter.h"
#include "GcsCliOutcomeRecorder.h"
#include "GcsCliResponse.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

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
    if (m_server) {
        spdlog::debug("<cli-ipc> start skipped (server already created)");
        return true;
    }
    const QString name = endpointName();
    const std::string nameUtf8 = name.toStdString();
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
    m_server = new QLocalServer(this);
    connect(m_server, &QLocalServer::newConnection, this, &GcsCliIpcServer::onNewConnection);
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
    m_server->deleteLater();
    m_server = nullptr;
    return false;
}

void GcsCliIpcServer::stop()
{
    if (!m_server)
        return;
    for (QTimer* timer : std::as_const(m_readTimers)) {
        timer->stop();
        delete timer;
    }
    m_readTimers.clear();
    // Taken out first: disconnecting a socket may emit disconnected() synchronously.
    const QList<QLocalSocket*> sockets = m_connections.keys();
    m_connections.clear();
    for (QLocalSocket* socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        socket->disconnectFromServer();
    }
    m_server->close();
    QLocalServer::removeServer(endpointName());
    m_server->deleteLater();
    m_server = nullptr;
    spdlog::info("<cli-ipc> server stopped");
}

void GcsCliIpcServer::onNewConnection()
{
    if (!m_server)
        return;
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, Connection{});
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] { onReadTimeout(socket); });
        m_readTimers.insert(socket, timer);
        timer->start(m_readDeadlineMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onSocketReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { onSocketDisconnected(socket); });
        // A client writes its request right after connecting, so it is usually waiting already:
        // reading it now answers in this turn of the event loop rather than the next, which on a
        // busy station is the larger part of a request's wait. waitForReadyRead(0) only polls.
        if (socket->bytesAvailable() > 0 || socket->waitForReadyRead(0))
            onSocketReadyRead(socket);
    }
}

void GcsCliIpcServer::onSocketReadyRead(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->answered) {
        socket->readAll();
        return;
    }
    it->buffer.append(socket->readAll());
    processBufferedFrames(socket);
    it = m_connections.find(socket);
    if (it != m_connections.end() && !it->answered) {
        if (QTimer* timer = m_readTimers.value(socket))
            timer->start(m_readDeadlineMs);
    }
}

void GcsCliIpcServer::onSocketDisconnected(QLocalSocket* socket)
{
    dropReadTimer(socket);
    if (m_connections.remove(socket) > 0)
        socket->deleteLater();
}

void GcsCliIpcServer::onReadTimeout(QLocalSocket* socket)
{
    if (!m_connections.contains(socket))
        return;
    dropReadTimer(socket);
    spdlog::warn("<cli-ipc> read deadline exceeded before a full request frame");
    answerAndFinish(socket,
                    GcsCliResponse::makeError(ErrorCode::Timeout, "Incomplete request frame within read deadline",
                                              ErrorDomain::Transport));
}

void GcsCliIpcServer::processBufferedFrames(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->answered || it->buffer.size() < 4)
        return;
    const quint32 length = qFromLittleEndian<quint32>(it->buffer.constData());
    if (length > kMaxFramePayload) {
        spdlog::warn("<cli-ipc> frame too large: {} bytes (max {})", length, kMaxFramePayload);
        answerAndFinish(
            socket, GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Request frame exceeds maximum allowed size"));
        return;
    }
    if (it->buffer.size() < qsizetype(length) + 4)
        return;
    const QByteArray payload = it->buffer.mid(4, qsizetype(length));
    it->buffer.remove(0, qsizetype(length) + 4);
    QElapsedTimer took;
    took.start();
    const json answer = handleRequestPayload(payload);
    const bool ok = answer.value("ok", false);
    answerAndFinish(socket, answer);
    emit requestAnswered(ok, double(took.nsecsElapsed()) / 1e9);
}

json GcsCliIpcServer::handleRequestPayload(const QByteArray& payload) const
{
    if (payload.isEmpty())
        return GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Empty JSON payload");
    try {
        // Strict: no comments. The parser skips a leading UTF-8 byte-order mark by itself.
        const json request = json::parse(payload.constBegin(), payload.constEnd(), nullptr, true, false);
        return GcsCliCommandRouter::dispatch(m_context, request);
    } catch (const json::parse_error& e) {
        const std::string text = withoutInput(e.what());
        spdlog::debug("<cli-ipc> JSON parse error in a {}-byte request: {}", payload.size(), text);
        return GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Invalid JSON: " + text);
    } catch (const json::exception& e) {
        const std::string text = withoutInput(e.what());
        spdlog::debug("<cli-ipc> JSON error in a {}-byte request: {}", payload.size(), text);
        return GcsCliResponse::makeError(ErrorCode::InvalidArgs, "Invalid JSON: " + text);
    } catch (const std::exception& e) {
        spdlog::error("<cli-ipc> request handling failed: {}", e.what());
        return GcsCliResponse::makeError(ErrorCode::CommandRejected, std::string("Internal error: ") + e.what());
    }
}

bool GcsCliIpcServer::writeFramedJson(QLocalSocket* socket, const json& envelope)
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

void GcsCliIpcServer::answerAndFinish(QLocalSocket* socket, const json& envelope)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->answered = true;
    it->buffer.clear();
    dropReadTimer(socket);
    writeFramedJson(socket, envelope);
    finishConnection(socket);
}

void GcsCliIpcServer::finishConnection(QLocalSocket* socket)
{
    // A client that never drains its response would hold the socket in the closing state.
    QTimer::singleShot(m_readDeadlineMs, socket, [socket] {
        if (socket->state() != QLocalSocket::UnconnectedState)
            socket->abort();
    });
    socket->disconnectFromServer();
}

void GcsCliIpcServer::dropReadTimer(QLocalSocket* socket)
{
    if (QTimer* timer = m_readTimers.take(socket)) {
        timer->stop();
        timer->deleteLater();
    }
}
