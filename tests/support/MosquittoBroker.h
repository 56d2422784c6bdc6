#pragma once
// A mosquitto broker on a free loopback port that admits only the users added to it. It can be
// stopped and started again on the same port.

#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>

#include <memory>

namespace testsupport {

class MosquittoBroker {
public:
    // port 0: a free one, picked now (which needs the application object).
    explicit MosquittoBroker(quint16 port = 0);
    ~MosquittoBroker();

    // Takes effect at the next start(). User names must not contain ':'.
    void addUser(const QString& user, const QString& password);
    // The broker's ACL file (mosquitto's acl_file syntax); empty: every user may do anything.
    void setAcl(const QString& acl) { m_acl = acl; }
    // The README's recommended configuration ("velmora fleet broker: mosquitto.conf" and
    // "velmora fleet broker: velmora.acl"), as written there; false when the README has not both.
    bool useRecommendedConfig();
    // The README's fenced block whose first line is `firstLine`; empty when there is none.
    static QString readmeBlock(const QString& firstLine);

    // Writes the configuration and password file, starts mosquitto and waits until a TCP
    // connection to its port succeeds.
    bool start(int timeoutMs = 10000);
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString uri() const;
    // Last lines of the broker's log, for failure messages.
    QString log() const;

private:
    QString m_dir;
    quint16 m_port;
    QList<QPair<QString, QString>> m_users;
    QString m_acl;
    QString m_recommended;  // the README's mosquitto.conf, when used
    std::unique_ptr<QProcess> m_process;
};

}  // namespace testsupport
