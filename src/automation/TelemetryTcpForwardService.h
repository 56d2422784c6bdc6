#pragma once
// Copies every telemetry frame that any attached protocol processor accepts to all connected
// TCP clients, byte for byte. Clients only read. The port and client limit come from the
// settings when listening starts.

#include <QObject>
#include <QPointer>

#include <memory>

class MavProtocolProcesser;
class OstAbstractLink;
class OstTcpServer;
class TelemetryFrameTranslator;
class QByteArray;

class TelemetryTcpForwardService : public QObject {
    Q_OBJECT
public:
    explicit TelemetryTcpForwardService(QObject* parent = nullptr);

    void setFrameTranslator(const std::shared_ptr<TelemetryFrameTranslator>& translator);
    void attachProtocolProcesser(MavProtocolProcesser* processer);
    void startFromSettings();
    void applyFromSettings();
    void stop();

    OstTcpServer* server() const { return m_server; }

private slots:
    void onOriginPFrameData(std::shared_ptr<QByteArray> frame, OstAbstractLink* link);

private:
    // Listens to the processor's raw frames only while serving: an idle service costs the
    // receive path nothing (no raw copy per frame).
    void updateProcesserConnection();

    OstTcpServer* m_server = nullptr;
    QPointer<MavProtocolProcesser> m_processer;
    std::weak_ptr<TelemetryFrameTranslator> m_translator;
};
