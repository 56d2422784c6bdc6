#pragma once
// The persistent settings store of the library and of the program that loads it.
//
// Often-read settings are cached as typed properties with change signals; their setters ignore
// out-of-range values silently and write only real changes. init() loads the cache once per
// process and keeps its two directories for the whole process. The store is a QSettings opened
// as "Brel"/"Velmora" (native format, user scope): a test or a program that wants another
// location calls QSettings::setPath before the first getInstance().

#include "GcsSettingsEnums.h"

#include <QObject>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <type_traits>

class GcsSettings : public QObject {
    Q_OBJECT
public:
    static GcsSettings* getInstance();

    void init(const QString& appCachePath, const QString& userDataPath);
    QString appCachePath() const { return m_appCachePath; }
    QString userDataPath() const { return m_userDataPath; }

    QVariant getValue(const QString& key, const QVariant& defaultValue = QVariant()) const;
    void setValue(const QString& key, const QVariant& value);
    void removeValue(const QString& key);
    // Flushes, then tells whether a fresh store at the same place can be written.
    bool sync();

    QString getSubPathInAppCache(const QString& subPath, bool createIfMissing);
    QString getFlightRouteCachePath(bool createIfMissing);

    static QString getDeviceUniqueId();
    static GcsSettingsEnums::SystemType getSystemType() { return GcsSettingsEnums::Desktop; }

    QString getStyle() const { return m_style; }
    void setStyle(const QString& name);

    int32_t getTeleReqInterval() const { return m_teleReqInterval; }
    void setTeleReqInterval(int interval);
    bool displayWayPointRelationDataInMapEnabled() const { return m_dispRelationData; }
    void setDisplayWayPointRelationDataInMapEnabled(bool enabled);
    int mapSceneRangeType() const { return m_mapSceneRangeType; }
    void setMapSceneRangeType(int type);
    int mapProviderType() const { return m_mapProviderType; }
    void setMapProviderType(int type);
    int getTrackRefreshInterval() const { return m_trackRefreshInterval; }
    void setTrackRefreshInterval(int interval);
    int maxClusterCount() const { return m_maxClusterCount; }
    void setMaxClusterCount(int count);
    GcsControlDisplayMode controlDisplayMode() const { return m_controlDisplayMode; }
    void setControlDisplayMode(GcsControlDisplayMode mode);
    bool paramsManagerPlotsPanelExpanded() const { return m_paramsPlotsPanelExpanded; }
    void setParamsManagerPlotsPanelExpanded(bool expanded);
    bool telemetryTcpForwardEnabled() const { return m_tcpForwardEnabled; }
    void setTelemetryTcpForwardEnabled(bool enabled);
    int telemetryTcpForwardPort() const { return m_tcpForwardPort; }
    void setTelemetryTcpForwardPort(int port);
    int telemetryTcpForwardMaxClients() const { return m_tcpForwardMaxClients; }
    void setTelemetryTcpForwardMaxClients(int count);
    TelemetryTcpForwardFormat telemetryTcpForwardFormat() const { return m_tcpForwardFormat; }
    void setTelemetryTcpForwardFormat(TelemetryTcpForwardFormat format);
    // Longest data a frame head may announce before the cutter takes it for a false head;
    // 1..65535, where 65535 waits for any length. Read by each cutter when it is built.
    int maxFrameDataLen() const { return m_maxFrameDataLen; }
    void setMaxFrameDataLen(int len);

    // Not cached: each access goes to the store.
    int firmwareUpdateFirmInfoTimeoutMs() const;
    void setFirmwareUpdateFirmInfoTimeoutMs(int ms);
    int firmwareUpdateResetCommandTimeoutMs() const;
    void setFirmwareUpdateResetCommandTimeoutMs(int ms);
    QString firmwareUpdateLastSelectDir() const;
    void setFirmwareUpdateLastSelectDir(const QString& dir);
    // A vehicle back from a silence longer than this has its parameter groups read again;
    // 0..3600000 ms, default 10000.
    int paramsRereadAfterSilenceMs() const;
    void setParamsRereadAfterSilenceMs(int ms);

signals:
    void teleReqIntervalChanged(int32_t interval);
    void displayWayPointRelationDataInMapEnabledChanged(bool enabled);
    void mapSceneRangeTypeChanged(int type);
    void mapProviderTypeChanged(int type);
    void trackRefreshIntervalChanged(int interval);
    void maxClusterCountChanged(int count);
    void controlDisplayModeChanged(GcsControlDisplayMode mode);

private:
    GcsSettings();
    bool checkInited() const;
    int timeoutSetting(const char* key, int defaultMs) const;

    // Stores a changed value and writes it; false when unchanged.
    template <typename T>
    bool storeIfChanged(T& member, const T& value, const char* key)
    {
        if (member == value)
            return false;
        member = value;
        if constexpr (std::is_enum_v<T>)
            m_settings.setValue(QString::fromLatin1(key), int(value));
        else
            m_settings.setValue(QString::fromLatin1(key), value);
        return true;
    }

    bool m_inited = false;
    QString m_appCachePath;
    QString m_userDataPath;
    QSettings m_settings;
    const QSet<QString> m_acceptedStyles{QString(), QStringLiteral("dark")};
    QString m_style;
    int32_t m_teleReqInterval = 0;
    bool m_dispRelationData = false;
    int m_mapSceneRangeType = 1;
    int m_mapProviderType = 0;
    int m_trackRefreshInterval = 500;
    int m_maxClusterCount = 6;
    GcsControlDisplayMode m_controlDisplayMode = GcsSettingsEnums::ActiveVehicleOnly;
    bool m_paramsPlotsPanelExpanded = false;
    bool m_tcpForwardEnabled = false;
    int m_tcpForwardPort = 45678;
    int m_tcpForwardMaxClients = 5;
    TelemetryTcpForwardFormat m_tcpForwardFormat = GcsSettingsEnums::RawFrames;
    int m_maxFrameDataLen = 4096;
};
