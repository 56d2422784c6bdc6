#include "CliIpcClient.h"

#include "GcsCliResponse.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QtEndian>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using GcsCliResponse::ErrorCode;
using GcsCliResponse::ErrorDomain;
using nlohmann::json;

namespace {

QString g_endpoint;  // empty: searched (candidates())
QString g_where;  // the socket path last tried, for messages

QString ownerOf(uint uid)
{
    const passwd* pw = ::getpwuid(uid);
    return pw ? QStringLiteral("user %1 (uid %2)").arg(QString::fromLocal8Bit(pw->pw_name)).arg(uid)
              : QStringLiteral("uid %1").arg(uid);
}

// Where a station puts its endpoint, in the order they are tried: the user's own station, the
// system's service, then the places a station without a runtime directory uses.
QStringList candidates()
{
    const QString name = QString::fromLatin1(CliIpcClient::kEndpointName);
    QStringList list;
    if (const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR"); !xdg.isEmpty())
        list << xdg + "/velmora/" + name;
    list << QStringLiteral("/run/velmora/") + name;
    const QDir tmp(QDir::tempPath());
    list << tmp.absoluteFilePath(QStringLiteral("velmora-%1/").arg(::getuid()) + name) << tmp.absoluteFilePath(name);
    return list;
}

// An endpoint that belongs to someone who is neither this user, root nor the station's system
// user may be an impostor waiting for requests: the reason it is refused, or empty.
QString foreignOwner(const QString& path)
{
    struct stat st { };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    const passwd* station = ::getpwnam(CliIpcClient::kStationUser);
    if (st.st_uid == ::getuid() || st.st_uid == 0 || (station && st.st_uid == station->pw_uid))
        return {};
    return QStringLiteral("Refusing the endpoint '%1': it belongs to %2, not to you or the station's user %3 "
                          "(another user may be posing as the station)")
        .arg(path, ownerOf(st.st_uid), QString::fromLatin1(CliIpcClient::kStationUser));
}

CliIpcClient::Result failure(CliIpcClient::Outcome outcome, const std::string& message)
{
    const ErrorCode code = outcome == CliIpcClient::Outcome::Timeout ? ErrorCode::Timeout : ErrorCode::NoServer;
    return {outcome, GcsCliResponse::makeError(code, message, ErrorDomain::Transport)};
}

CliIpcClient::Result timedOut(int timeoutMs)
{
    return failure(CliIpcClient::Outcome::Timeout,
                   "No response from the station within " + std::to_string(timeoutMs) + " ms");
}

std::string noServerMessage(const QLocalSocket& socket)
{
    const QString where = g_where;
    std::string reason;
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        reason = g_endpoint.isEmpty()
                     ? "no endpoint at " + candidates().join(", ").toStdString() + " (is velmora-station running?)"
                     : "the endpoint does not exist (is velmora-station running?)";
        break;
    case QLocalSocket::SocketAccessError:
        reason = "permission denied (operators of the system's station are members of the group " +
                 std::string(CliIpcClient::kStationUser) + ": sudo adduser $USER " + CliIpcClient::kStationUser +
                 ", then log in again)";
        break;
    case QLocalSocket::ConnectionRefusedError:
        reason = "connection refused (endpoint left by a stopped station?)";
        break;
    default: reason = socket.errorString().toStdString(); break;
    }
    return "No station is listening on '" + where.toStdString() + "': " + reason;
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}

}  // namespace

void CliIpcClient::setEndpoint(const QString& endpoint)
{
    g_endpoint = endpoint;
}

json CliIpcClient::makeRequest(const std::string& method, json params)
{
    return {{"method", method}, {"apiVersion", "1"}, {"params", std::move(params)}};
}

CliIpcClient::Result CliIpcClient::send(const json& request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    g_where = g_endpoint.isEmpty() ? candidates().first() : g_endpoint;
    if (g_endpoint.isEmpty()) {
        for (const QString& candidate : candidates()) {
            struct stat st { };
            if (::lstat(QFile::encodeName(candidate).constData(), &st) == 0) {
                g_where = candidate;
                break;
            }
        }
    }
    if (const QString refusal = foreignOwner(QDir(QDir::tempPath()).absoluteFilePath(g_where)); !refusal.isEmpty())
        return failure(Outcome::NoServer, refusal.toStdString());
    QLocalSocket socket;
    socket.connectToServer(g_where, QIODevice::ReadWrite);
    if (!socket.waitForConnected(remainingMs(deadline))) {
        if (socket.error() == QLocalSocket::SocketTimeoutError)
            return timedOut(timeoutMs);
        return failure(Outcome::NoServer, noServerMessage(socket));
    }

    const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
    QByteArray frame(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(text.size()), frame.data());
    frame.append(text.data(), qsizetype(text.size()));
    socket.write(frame);

    QByteArray received;
    qint64 expected = -1;
    for (;;) {
        received += socket.readAll();
        if (expected < 0 && received.size() >= 4) {
            expected = qFromLittleEndian<quint32>(received.constData());
            if (expected > kMaxFramePayload)
                return failure(Outcome::NoServer, "The station sent a response frame larger than 4 MiB");
        }
        if (expected >= 0 && received.size() >= expected + 4)
            break;
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return failure(Outcome::NoServer, "The station closed the connection before a complete response");
        if (deadline.hasExpired())
            return timedOut(timeoutMs);
        // Writing happens inside the wait as well, so one wait serves both directions.
        socket.waitForReadyRead(qMax(1, remainingMs(deadline)));
    }

    try {
        return {Outcome::Answered, json::parse(received.constBegin() + 4, received.constBegin() + 4 + expected)};
    } catch (const json::exception& e) {
        return failure(Outcome::NoServer, std::string("The station's response is not valid JSON: ") + e.what());
    }
}
