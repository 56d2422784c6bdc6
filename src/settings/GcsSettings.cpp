#include "GcsSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <spdlog/spdlog.h>

namespace {
constexpr const char* kStyle = "ui/style";
constexpr const char* kTeleReqInterval = "tele/teleReqInterval";
constexpr const char* kDispRelationData = "wp/dispRelationDataInMap";
constexpr const char* kMapSceneRangeType = "map/sceneRangeType";
constexpr const char* kMapProviderType = "map/providerType";
constexpr const char* kTrackRefreshInterval = "track/refreshInterval";
constexpr const char* kMaxClusterCount = "cluster/maxClusterCount";
constexpr const char* kControlDisplayMode = "mainctrl/controlDisplayMode";
constexpr const char* kParamsPlotsPanelExpanded = "params/managerPlotsPanelExpanded";
constexpr const char* kTcpForwardEnabled = "telemetryTcpForward/enabled";
constexpr const char* kTcpForwardPort = "telemetryTcpForward/port";
constexpr const char* kTcpForwardMaxClients = "telemetryTcpForward/maxClients";
constexpr const char* kTcpForwardFormat = "telemetryTcpForward/format";
constexpr const char* kMaxFrameDataLen = "protocol/maxFrameDataLen";
constexpr const char* kFirmInfoTimeout = "firmware/firmInfoTimeoutMs";
constexpr const char* kResetCommandTimeout = "firmware/resetCommandTimeoutMs";
constexpr const char* kLastSelectDir = "firmware/lastSelectDir";
constexpr const char* kRereadAfterSilence = "params/rereadAfterSilenceMs";
constexpr int kMinFirmwareTimeoutMs = 1000;
constexpr int kDefaultRereadAfterSilenceMs = 10000;
constexpr int kMaxRereadAfterSilenceMs = 3600 * 1000;

QString key(const char* k)
{
    return QString::fromLatin1(k);
}
}  // namespace

GcsSettings::GcsSettings()
    : QObject(nullptr)
    , m_settings(QStringLiteral("Brel"), QStringLiteral("Velmora"))
{
}

GcsSettings* GcsSettings::getInstance()
{
    static GcsSettings instance;
    return &instance;
}

void GcsSettings::init(const QString& appCachePath, const QString& userDataPath)
{
    if (m_inited)
        return;
    m_appCachePath = appCachePath;
    m_userDataPath = userDataPath;

    const QString style = m_settings.value(key(kStyle), QStringLiteral("dark")).toString();
    m_style = m_acceptedStyles.contains(style) ? style : QString();
    // Stored values are taken as they are; only the setters check ranges.
    m_teleReqInterval = m_settings.value(key(kTeleReqInterval), 200).toInt();
    m_dispRelationData = m_settings.value(key(kDispRelationData), false).toBool();
    m_mapSceneRangeType = m_settings.value(key(kMapSceneRangeType), 1).toInt();
    m_mapProviderType = m_settings.value(key(kMapProviderType), 0).toInt();
    m_trackRefreshInterval = m_settings.value(key(kTrackRefreshInterval), 500).toInt();
    m_maxClusterCount = m_settings.value(key(kMaxClusterCount), 6).toInt();
    m_controlDisplayMode = GcsControlDisplayMode(m_settings.value(key(kControlDisplayMode), 0).toInt());
    m_paramsPlotsPanelExpanded = m_settings.value(key(kParamsPlotsPanelExpanded), false).toBool();
    m_tcpForwardEnabled = m_settings.value(key(kTcpForwardEnabled), false).toBool();
    m_tcpForwardPort = m_settings.value(key(kTcpForwardPort), 45678).toInt();
    m_tcpForwardMaxClients = m_settings.value(key(kTcpForwardMaxClients), 5).toInt();
    m_tcpForwardFormat = TelemetryTcpForwardFormat(m_settings.value(key(kTcpForwardFormat), 0).toInt());
    m_maxFrameDataLen = m_settings.value(key(kMaxFrameDataLen), 4096).toInt();
    m_inited = true;
}

bool GcsSettings::checkInited() const
{
    if (!m_inited)
        spdlog::debug("GcsSettings not init!!!");
    return m_inited;
}

QVariant GcsSettings::getValue(const QString& k, const QVariant& defaultValue) const
{
    return m_settings.value(k, defaultValue);
}

void GcsSettings::setValue(const QString& k, const QVariant& value)
{
    m_settings.setValue(k, value);
}

void GcsSettings::removeValue(const QString& k)
{
    m_settings.remove(k);
}

bool GcsSettings::sync()
{
    m_settings.sync();
    QSettings fresh(m_settings.organizationName(), m_settings.applicationName());
    return fresh.isWritable();
}

QString GcsSettings::getSubPathInAppCache(const QString& subPath, bool createIfMissing)
{
    checkInited();
    if (m_appCachePath.isEmpty()) {
        // Never a folder below the filesystem root.
        spdlog::error("<Settings> no application cache directory: {} is disabled", subPath.toStdString());
        return QString();
    }
    const QString path = m_appCachePath + "/" + subPath;
    if (createIfMissing && !QDir(path).exists())
        QDir().mkpath(path);
    return path;
}

QString GcsSettings::getFlightRouteCachePath(bool createIfMissing)
{
    return getSubPathInAppCache(QStringLiteral("missions/routes"), createIfMissing);
}

QString GcsSettings::getDeviceUniqueId()
{
    QSettings store(QCoreApplication::organizationName(), QCoreApplication::applicationName());
    const QString k = QStringLiteral("devUniqueId");
    const QString id = store.value(k, QString()).toString();
    if (id.isEmpty()) {
        const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
        store.setValue(k, fresh);
        return fresh;
    }
    if (id.size() >= 2 && id.startsWith('{') && id.endsWith('}')) {
        const QString stripped = id.mid(1, id.size() - 2);
        store.setValue(k, stripped);
        return stripped;
    }
    return id;
}

void GcsSettings::setStyle(const QString& name)
{
    if (!m_acceptedStyles.contains(name))
        return;
    storeIfChanged(m_style, name, kStyle);
}

void GcsSettings::setTeleReqInterval(int interval)
{
    if (interval < 50 || interval > 1000)
        return;
    if (storeIfChanged(m_teleReqInterval, int32_t(interval), kTeleReqInterval))
        emit teleReqIntervalChanged(m_teleReqInterval);
}

void GcsSettings::setDisplayWayPointRelationDataInMapEnabled(bool enabled)
{
    if (storeIfChanged(m_dispRelationData, enabled, kDispRelationData))
        emit displayWayPointRelationDataInMapEnabledChanged(m_dispRelationData);
}

void GcsSettings::setMapSceneRangeType(int type)
{
    if (storeIfChanged(m_mapSceneRangeType, type, kMapSceneRangeType))
        emit mapSceneRangeTypeChanged(m_mapSceneRangeType);
}

void GcsSettings::setMapProviderType(int type)
{
    if (storeIfChanged(m_mapProviderType, type, kMapProviderType))
        emit mapProviderTypeChanged(m_mapProviderType);
}

void GcsSettings::setTrackRefreshInterval(int interval)
{
    if (interval < 200)
        return;
    if (storeIfChanged(m_trackRefreshInterval, interval, kTrackRefreshInterval))
        emit trackRefreshIntervalChanged(m_trackRefreshInterval);
}

void GcsSettings::setMaxClusterCount(int count)
{
    if (count < 1 || count > 255)
        return;
    if (storeIfChanged(m_maxClusterCount, count, kMaxClusterCount))
        emit maxClusterCountChanged(m_maxClusterCount);
}

void GcsSettings::setControlDisplayMode(GcsControlDisplayMode mode)
{
    if (storeIfChanged(m_controlDisplayMode, mode, kControlDisplayMode))
        emit controlDisplayModeChanged(m_controlDisplayMode);
}

void GcsSettings::setParamsManagerPlotsPanelExpanded(bool expanded)
{
    storeIfChanged(m_paramsPlotsPanelExpanded, expanded, kParamsPlotsPanelExpanded);
}

void GcsSettings::setTelemetryTcpForwardEnabled(bool enabled)
{
    storeIfChanged(m_tcpForwardEnabled, enabled, kTcpForwardEnabled);
}

void GcsSettings::setTelemetryTcpForwardPort(int port)
{
    if (port < 1024 || port > 65535)
        return;
    storeIfChanged(m_tcpForwardPort, port, kTcpForwardPort);
}

void GcsSettings::setTelemetryTcpForwardMaxClients(int count)
{
    if (count < 1 || count > 100)
        return;
    storeIfChanged(m_tcpForwardMaxClients, count, kTcpForwardMaxClients);
}

void GcsSettings::setTelemetryTcpForwardFormat(TelemetryTcpForwardFormat format)
{
    storeIfChanged(m_tcpForwardFormat, format, kTcpForwardFormat);
}

void GcsSettings::setMaxFrameDataLen(int len)
{
    if (len < 1 || len > 65535)
        return;
    storeIfChanged(m_maxFrameDataLen, len, kMaxFrameDataLen);
}

int GcsSettings::timeoutSetting(const char* k, int defaultMs) const
{
    bool ok = false;
    const int v = m_settings.value(key(k), defaultMs).toInt(&ok);
    return (ok && v >= kMinFirmwareTimeoutMs) ? v : defaultMs;
}

int GcsSettings::firmwareUpdateFirmInfoTimeoutMs() const
{
    return timeoutSetting(kFirmInfoTimeout, 10000);
}

void GcsSettings::setFirmwareUpdateFirmInfoTimeoutMs(int ms)
{
    if (ms >= kMinFirmwareTimeoutMs)
        m_settings.setValue(key(kFirmInfoTimeout), ms);
}

int GcsSettings::firmwareUpdateResetCommandTimeoutMs() const
{
    return timeoutSetting(kResetCommandTimeout, 2000);
}

void GcsSettings::setFirmwareUpdateResetCommandTimeoutMs(int ms)
{
    if (ms >= kMinFirmwareTimeoutMs)
        m_settings.setValue(key(kResetCommandTimeout), ms);
}

QString GcsSettings::firmwareUpdateLastSelectDir() const
{
    const QString dir = m_settings.value(key(kLastSelectDir), QString()).toString();
    if (!dir.isEmpty() && QFileInfo(dir).isDir())
        return dir;
    return QDir::homePath();
}

void GcsSettings::setFirmwareUpdateLastSelectDir(const QString& dir)
{
    if (!dir.isEmpty())
        m_settings.setValue(key(kLastSelectDir), dir);
}

int GcsSettings::paramsRereadAfterSilenceMs() const
{
    bool ok = false;
    const int v = m_settings.value(key(kRereadAfterSilence), kDefaultRereadAfterSilenceMs).toInt(&ok);
    return (ok && v >= 0 && v <= kMaxRereadAfterSilenceMs) ? v : kDefaultRereadAfterSilenceMs;
}

void GcsSettings::setParamsRereadAfterSilenceMs(int ms)
{
    if (ms >= 0 && ms <= kMaxRereadAfterSilenceMs)
        m_settings.setValue(key(kRereadAfterSilence), ms);
}
