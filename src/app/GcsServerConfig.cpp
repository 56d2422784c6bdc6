#include "GcsServerConfig.h"

GcsServerConfig::GcsServerConfig()
    : QObject(nullptr)
    , m_httpBaseUrl(QStringLiteral("http://127.0.0.1:8080/gcs/v1"))
    , m_mqttServerUri(QStringLiteral("tcp://127.0.0.1:1883"))
    , m_mqttUsername(QStringLiteral("/velmorahub:gcsagnt"))
    , m_mqttPassword(QStringLiteral("vm7Qz2"))
{
}

GcsServerConfig* GcsServerConfig::instance()
{
    static GcsServerConfig config;
    return &config;
}

void GcsServerConfig::setHttpBaseUrl(const QString& url)
{
    if (!url.isEmpty())
        m_httpBaseUrl = url;
}

void GcsServerConfig::disableCloud()
{
    m_httpBaseUrl.clear();
    m_mqttServerUri.clear();
}

void GcsServerConfig::setMqttServerUri(const QString& uri)
{
    if (!uri.isEmpty())
        m_mqttServerUri = uri;
}

void GcsServerConfig::setMqttCredentials(const QString& user, const QString& password)
{
    if (!user.isEmpty())
        m_mqttUsername = user;
    if (!password.isEmpty())
        m_mqttPassword = password;
}
