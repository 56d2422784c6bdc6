#pragma once
// velmora-cloud-sim as a child process on a free loopback port.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

class CloudSimProcess {
public:
    // `program` is the path of velmora-cloud-sim (test targets get it as VELMORA_CLOUD_SIM_BIN).
    explicit CloudSimProcess(QString program);
    ~CloudSimProcess();

    // Starts with `args` plus "--port 0" and waits for the port line; false when the program
    // does not start or exits first (its standard error is then in errorOutput()).
    bool start(const QStringList& args = {}, int timeoutMs = 10000);
    void stop();

    quint16 port() const { return m_port; }
    QString baseUrl() const;
    QString errorOutput() const { return m_errors; }
    int exitCode() const;

    // GET of `path` (e.g. "/sim/received"); the body, empty on failure.
    QByteArray get(const QString& path, int timeoutMs = 5000) const;

private:
    QString m_program;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_errors;
};

}  // namespace testsupport
