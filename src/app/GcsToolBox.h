#pragma once
// Services every controller shares: the timer task thread and the HTTP client.

#include <QObject>

#include <memory>

class GcsAppController;
class GcsHttp;
class GcsRequestDefaultDataQuery;
class GcsServerConfig;
class MavTeleDataItemBox;
class OstTimerTaskManager;

class GcsToolBox : public QObject {
    Q_OBJECT
public:
    explicit GcsToolBox(GcsServerConfig* config, QObject* parent = nullptr);
    ~GcsToolBox() override;

    void initWith(GcsAppController* ctrl);
    void release();

    std::shared_ptr<OstTimerTaskManager> timerTaskMgr() const { return m_timerTaskMgr; }
    std::shared_ptr<MavTeleDataItemBox> teleDataItemBox() const { return m_teleDataItemBox; }
    std::shared_ptr<GcsHttp> http() const { return m_http; }

private:
    std::shared_ptr<OstTimerTaskManager> m_timerTaskMgr;
    std::shared_ptr<MavTeleDataItemBox> m_teleDataItemBox;
    std::shared_ptr<GcsHttp> m_http;
    std::shared_ptr<GcsRequestDefaultDataQuery> m_requestDefaultDataQuery;
};
