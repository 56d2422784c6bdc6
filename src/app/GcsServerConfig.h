#pragma once
// Cloud-side server settings: HTTP API base URL and MQTT broker connection.
//
// The values are built in; they point at this machine (a local cloud service and broker), so a
// station that was not told where its cloud is never sends anything off the machine. A process may override them
// (tests, the headless station pointing at a local cloud service and broker) with the setters, which must run before
// the application controller is set up: the tool box reads the base URL once when it creates the HTTP client.

#include <QObject>
#include <QString>

class GcsServerConfig : public QObject {
    Q_OBJECT
public:
    static GcsServerConfig* instance();

    QString httpBaseUrl() const { return m_httpBaseUrl; }
    QString mqttServerUri() const { return m_mqttServerUri; }
    QString mqttUsername() const { return m_mqttUsername; }
    QString mqttPassword() const { return m_mqttPassword; }

    // Process-wide overrides; an empty value keeps the current one.
    void setHttpBaseUrl(const QString& url);
    void setMqttServerUri(const QString& uri);
    void setMqttCredentials(const QString& user, const QString& password);
    // No cloud at all (an offline station): empty base URL and broker, so the HTTP client
    // answers every call with a network error at once and nothing is sent or warned about.
    void disableCloud();

private:
    GcsServerConfig();

    QString m_httpBaseUrl;
    QString m_mqttServerUri;
    QString m_mqttUsername;
    QString m_mqttPassword;
};
