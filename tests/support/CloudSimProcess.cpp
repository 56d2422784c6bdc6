#include "CloudSimProcess.h"

#include "TestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace testsupport {

CloudSimProcess::CloudSimProcess(QString program)
    : m_program(std::move(program))
{
}

CloudSimProcess::~CloudSimProcess()
{
    stop();
}

bool CloudSimProcess::start(const QStringList& args, int timeoutMs)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->start(m_program, QStringList(args) << "--port"
                                                  << "0");
    const bool ready =
        waitUntil([&] { return m_process->canReadLine() || m_process->state() == QProcess::NotRunning; }, timeoutMs);
    m_errors = QString::fromUtf8(m_process->readAllStandardError());
    if (!ready || !m_process->canReadLine())
        return false;
    bool ok = false;
    m_port = quint16(m_process->readLine().trimmed().toUInt(&ok));
    return ok && m_port != 0;
}

void CloudSimProcess::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_port = 0;
}

int CloudSimProcess::exitCode() const
{
    return m_process && m_process->state() == QProcess::NotRunning ? m_process->exitCode() : -1;
}

QString CloudSimProcess::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QByteArray CloudSimProcess::get(const QString& path, int timeoutMs) const
{
    QNetworkAccessManager nam;
    std::unique_ptr<QNetworkReply> reply(nam.get(QNetworkRequest(QUrl(baseUrl() + path))));
    if (!waitUntil([&] { return reply->isFinished(); }, timeoutMs))
        return {};
    return reply->readAll();
}

}  // namespace testsupport
