#include "MosquittoBroker.h"

#include "TestSupport.h"

#include <QFile>
#include <QTcpSocket>

namespace testsupport {

namespace {

bool tcpConnects(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    waitUntil(
        [&] {
            return socket.state() == QAbstractSocket::ConnectedState ||
                   socket.state() == QAbstractSocket::UnconnectedState;
        },
        1000);
    return socket.state() == QAbstractSocket::ConnectedState;
}

}  // namespace

MosquittoBroker::MosquittoBroker(quint16 port)
    : m_dir(makeTempDir("mosquitto"))
    , m_port(port ? port : freeTcpPort())
{
}

MosquittoBroker::~MosquittoBroker()
{
    stop();
}

void MosquittoBroker::addUser(const QString& user, const QString& password)
{
    m_users.append({user, password});
}

QString MosquittoBroker::readmeBlock(const QString& firstLine)
{
    QFile readme(VELMORA_README);
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype at = text.indexOf("```\n" + firstLine + "\n");
    if (at < 0)
        return {};
    const qsizetype begin = at + 4;
    const qsizetype end = text.indexOf("\n```", begin);
    return end < 0 ? QString() : text.mid(begin, end - begin + 1);
}

bool MosquittoBroker::useRecommendedConfig()
{
    m_recommended = readmeBlock("# velmora fleet broker: mosquitto.conf");
    m_acl = readmeBlock("# velmora fleet broker: velmora.acl");
    return !m_recommended.isEmpty() && !m_acl.isEmpty();
}

bool MosquittoBroker::start(int timeoutMs)
{
    stop();
    // The recommended configuration names its files relative to mosquitto's directory.
    const QString passwd = m_dir + (m_recommended.isEmpty() ? "/passwd" : "/velmora.passwd");
    QFile::remove(passwd);
    for (const auto& [user, password] : m_users) {
        QStringList args{"-b"};
        if (!QFile::exists(passwd))
            args << "-c";
        if (QProcess::execute("mosquitto_passwd", args << passwd << user << password) != 0)
            return false;
    }
    QString aclLine;
    if (!m_acl.isEmpty()) {
        QFile acl(m_dir + (m_recommended.isEmpty() ? "/acl" : "/velmora.acl"));
        if (!acl.open(QIODevice::WriteOnly | QIODevice::Truncate) || acl.write(m_acl.toUtf8()) < 0)
            return false;
        aclLine = "acl_file " + acl.fileName() + "\n";
    }
    QFile conf(m_dir + "/mosquitto.conf");
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // mosquitto started as root drops to its own user, which cannot read our private directory.
    const QString common = QStringLiteral("listener %1 127.0.0.1\nuser root\npersistence false\n"
                                          "log_dest file %2/mosquitto.log\n")
                               .arg(m_port)
                               .arg(m_dir);
    if (m_recommended.isEmpty())
        conf.write((common + "allow_anonymous false\npassword_file " + passwd + "\n" + aclLine).toUtf8());
    else
        conf.write((common + m_recommended).toUtf8());
    conf.close();

    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_dir);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start("mosquitto", {"-c", conf.fileName()});
    if (!m_process->waitForStarted(timeoutMs))
        return false;
    return waitUntil([&] { return m_process->state() == QProcess::NotRunning || tcpConnects(m_port); }, timeoutMs) &&
           isRunning();
}

void MosquittoBroker::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_process.reset();
}

bool MosquittoBroker::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString MosquittoBroker::uri() const
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port);
}

QString MosquittoBroker::log() const
{
    QFile f(m_dir + "/mosquitto.log");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll().right(4000));
}

}  // namespace testsupport
