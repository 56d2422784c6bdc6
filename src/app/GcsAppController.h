#pragma once
// The root controller: owns the long-lived controllers, connects the vehicle link (serial or UDP)
// through the link manager registry, tracks the connection mode, remembers the last successful
// connection and reports this installation to the cloud.
//
// A connect that fails keeps the working link: connectToLink remembers the configuration of the
// link it closes and, when the new one cannot be opened, reopens that one (with a warning in the
// log). linkConnectResp reports the failed open first, then the reopen. The alternative, keeping
// the old link open until the new one is up, would have two links feeding one protocol
// processer for a moment.

#include "GcsAccountEnums.h"
#include "services/StationPort.h"
#include "fleet/FleetReadModel.h"
#include "settings/GcsSettingsEnums.h"
#include "OstLinkAbstractConfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>

class MavFlightRouteManager;
class MavMissionsController;
class GcsApplication;
class GcsConsoleHandler;
class GcsConsoleListModel;
class GcsEventReportController;
class GcsMqttController;
class FleetPageSource;
class FleetPublisher;
class MyVehicleController;
class GcsLoginManager;
class GcsToolBox;
class MavCustomNameFieldsConfigManager;
class LinkManager;
class MultiVehicleManager;
class NfzSyncController;
class NfzVehicleController;
class NfzZoneManager;
class RawEb90FrameTranslator;
class TelemetryTcpForwardService;
class VehicleAlertListModel;
class VehicleClusterController;
namespace svc {
class VehicleServices;
}

class GcsAppController : public QObject, public svc::StationPort {
    Q_OBJECT
public:
    enum GcsConnectionMode { None = 0, Local = 1, RemoteMonitor = 2 };
    Q_ENUM(GcsConnectionMode)

    explicit GcsAppController(GcsApplication* app = nullptr);
    ~GcsAppController() override;

    void init(std::shared_ptr<GcsToolBox> toolBox);
    void release();

    std::shared_ptr<GcsLoginManager> loginMgr() const { return m_loginMgr; }
    MultiVehicleManager* multiVehicleMgr() const { return m_multiVehicleMgr; }
    std::shared_ptr<GcsEventReportController> eventReportCtrler() const { return m_eventReportCtrler; }
    std::shared_ptr<GcsConsoleHandler> consoleHandler() const { return m_consoleHandler; }
    std::shared_ptr<NfzZoneManager> nfzZoneManager() const { return m_nfzZoneManager; }
    std::shared_ptr<NfzSyncController> nfzSyncController() const { return m_nfzSyncController; }
    std::shared_ptr<NfzVehicleController> nfzVehicleController() const { return m_nfzVehicleController; }
    std::shared_ptr<MavCustomNameFieldsConfigManager> customNameFieldsConfigMgr() const
    {
        return m_customNameFieldsConfigMgr;
    }
    std::shared_ptr<VehicleClusterController> vehicleClusterCtrler() const { return m_vehicleClusterCtrler; }
    // For a window: the console lines since the controller was made, and every vehicle's active alerts.
    GcsConsoleListModel* consoleListModel() const { return m_consoleListModel; }
    VehicleAlertListModel* alertListModel() const { return m_alertListModel; }
    std::shared_ptr<GcsToolBox> toolBox() const { return m_toolBox; }
    // Created by init (the route store reads the cache path of the initialised settings).
    std::shared_ptr<MavFlightRouteManager> flightRouteMgr() const { return m_flightRouteMgr; }
    std::shared_ptr<MavMissionsController> missionsCtrler() const { return m_missionsCtrler; }
    // The vehicle-addressed operations every front end calls; created by init.
    svc::VehicleServices* services() const override { return m_services; }

    // StationPort: what front ends reach beside the vehicle services.
    QString connectLink(const svc::LinkRequest& request) override;
    void disconnectLink() override { disconnectFromActiveLinkMgr(); }
    svc::ConnectionState connectionState() const override;
    // Empty, or why an open UDP link has shown no vehicle for silentLinkMs (default 5 s).
    std::string silentLinkNote() const;
    void setSilentLinkMs(int ms) { m_silentLinkMs = ms; }
    QMetaObject::Connection onLinkOpened(QObject* context, std::function<void(bool, QString)> fn) override;
    QString protocolVersion() const override;
    std::shared_ptr<NfzZoneManager> zoneSet() const override { return m_nfzZoneManager; }
    std::shared_ptr<NfzSyncController> zoneSync() const override { return m_nfzSyncController; }
    MultiVehicleManager* vehicles() const override { return m_multiVehicleMgr; }
    std::shared_ptr<GcsConsoleHandler> console() const override { return m_consoleHandler; }
    std::shared_ptr<GcsLoginManager> account() const override;
    std::shared_ptr<MyVehicleController> accountVehicles() const override { return m_myVehicleCtrler; }
    std::shared_ptr<GcsMqttController> remoteMonitor() const override { return m_mqttController; }
    std::shared_ptr<GcsMqttController> mqttController() const { return m_mqttController; }
    std::shared_ptr<MyVehicleController> myVehicleCtrler() const { return m_myVehicleCtrler; }
    GcsConnectionMode connectionMode() const { return m_connectionMode; }
    // Publishing the fleet to a broker for a fleet viewer; set by the program that wants it.
    std::shared_ptr<FleetPublisher> fleetPublisher() const override { return m_fleetPublisher; }
    void setFleetPublisher(std::shared_ptr<FleetPublisher> publisher) { m_fleetPublisher = std::move(publisher); }
    // The MAVLink bridge's status (bridge.status), set by whoever runs one; empty without.
    std::function<nlohmann::json()> bridgeStatus() const override { return m_bridgeStatus; }
    void setBridgeStatus(std::function<nlohmann::json()> status) { m_bridgeStatus = std::move(status); }
    TelemetryTcpForwardService* telemetryTcpForwardService() const { return m_tcpForwardService; }
    void applyTelemetryTcpForwardFromSettings();

    void connectToLink(std::shared_ptr<OstLinkAbstractConfig> config, QString mapKey = QString());
    // The empty string when the connect was started, else why not (the CLI's connection.connect
    // fields, for programs and tests that start a link from JSON).
    QString connectToLinkFromCliParams(const nlohmann::json& params);
    // Why the last link open failed ("" after a successful one); set before linkConnectResp.
    QString lastLinkOpenError() const { return m_lastLinkOpenError; }
    void disconnectFromActiveLinkMgr();
    bool isConnected() const;
    nlohmann::json gcsCliConnectionStatusData() const;
    // The fleet's objects for its read model (the CLI's vehicle answers, the fleet page).
    FleetReadModel::Sources fleetSources() const override;
    // The station's fleet as the page server reads it.
    std::shared_ptr<FleetPageSource> fleetPageSource();

    GcsControlDisplayMode controlDisplayMode() const;
    void setControlDisplayMode(GcsControlDisplayMode mode);

    void setDateTimeTimerEnabled(bool enabled);
    bool dateTimeTimerEnabled() const { return m_dateTimeTimer.isActive(); }

signals:
    void linkConnectResp(std::shared_ptr<LinkManager> linkMgr, bool resp, OstLinkAbstractConfig::LinkType type);
    void linkDisconnected(std::shared_ptr<LinkManager> linkMgr, OstLinkAbstractConfig::LinkType type);
    void currentDateTimeRefreshed(QString dateTime);
    void connectionModeChanged(GcsConnectionMode mode);
    void controlDisplayModeChanged(GcsControlDisplayMode mode);

private slots:
    void handleLinkManagerConnResp(std::shared_ptr<LinkManager> linkMgr, bool ok, OstLinkAbstractConfig::LinkType type);
    void handleLinkManagerDisconnected(std::shared_ptr<LinkManager> linkMgr, OstLinkAbstractConfig::LinkType type);
    void handleLoginResp(int code);
    void handleLoginStateChanged(GcsAccountEnums::LoginState s);

private:
    void setConnectionMode(GcsConnectionMode mode);
    void handleRemoteMonitorStateChanged(const QString& vehicleCode, bool active);
    void openLink(const std::shared_ptr<LinkManager>& linkMgr, const std::shared_ptr<OstLinkAbstractConfig>& config);
    void saveLastSuccessfulConnectSettings(const std::shared_ptr<LinkManager>& linkMgr,
                                           OstLinkAbstractConfig::LinkType type);
    void reportSoftDevice();
    void emitDateTime();

    GcsApplication* m_app = nullptr;
    std::shared_ptr<GcsLoginManager> m_loginMgr;
    MultiVehicleManager* m_multiVehicleMgr = nullptr;
    std::shared_ptr<MavCustomNameFieldsConfigManager> m_customNameFieldsConfigMgr;
    std::shared_ptr<GcsToolBox> m_toolBox;
    std::shared_ptr<GcsEventReportController> m_eventReportCtrler;
    std::shared_ptr<GcsConsoleHandler> m_consoleHandler;
    std::shared_ptr<NfzZoneManager> m_nfzZoneManager;
    std::shared_ptr<NfzSyncController> m_nfzSyncController;
    std::shared_ptr<NfzVehicleController> m_nfzVehicleController;
    std::shared_ptr<VehicleClusterController> m_vehicleClusterCtrler;
    GcsConsoleListModel* m_consoleListModel = nullptr;  // children
    VehicleAlertListModel* m_alertListModel = nullptr;
    std::shared_ptr<MavFlightRouteManager> m_flightRouteMgr;
    std::shared_ptr<MavMissionsController> m_missionsCtrler;
    svc::VehicleServices* m_services = nullptr;  // a child
    TelemetryTcpForwardService* m_tcpForwardService = nullptr;
    std::shared_ptr<RawEb90FrameTranslator> m_frameTranslator;
    std::shared_ptr<GcsMqttController> m_mqttController;
    std::shared_ptr<MyVehicleController> m_myVehicleCtrler;
    std::shared_ptr<FleetPublisher> m_fleetPublisher;
    std::function<nlohmann::json()> m_bridgeStatus;
    GcsConnectionMode m_connectionMode = None;
    std::shared_ptr<OstLinkAbstractConfig> m_openingConfig;  // the link being opened
    std::shared_ptr<OstLinkAbstractConfig> m_previousConfig;  // the link it replaced, reopened if it fails
    QString m_lastLinkOpenError;
    // When the UDP link opened (invalid otherwise) and on which port: a link that hears no
    // vehicle within m_silentLinkMs says so in connectionState() and the log.
    QElapsedTimer m_udpOpenedAt;
    quint16 m_udpPort = 0;
    int m_silentLinkMs = 5000;
    QTimer m_dateTimeTimer;
};
