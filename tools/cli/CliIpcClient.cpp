#include "CliIpcClient.h"

#include "GcsCliResponse.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QtEndian>

using GcsCliResponse::ErrorCode;
using GcsCliResponse::ErrorDomain;
using nlohmann::json;

namespace {

QString g_endpoint = QString::fromLatin1(CliIpcClient::kEndpointName);

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
    // Where QLocalServer puts a relative name on Unix.
    const QString where = QDir(QDir::tempPath()).absoluteFilePath(g_endpoint);
    std::string reason;
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError: reason = "the endpoint does not exist (is velmora-station running?)"; break;
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
    QLocalSocket socket;
    socket.connectToServer(g_endpoint, QIODevice::ReadWrite);
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
