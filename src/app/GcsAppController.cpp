#include "GcsAppController.h"

#include "automation/GcsCliRouterSupport.h"
#include "fleet/StationFleetSource.h"
#include "services/VehicleServices.h"

#include "GcsApplication.h"
#include "settings/GcsSettings.h"
#include "GcsToolBox.h"
#include "common/GcsConsoleHandler.h"
#include "common/GcsConsoleListModel.h"
#include "automation/RawEb90FrameTranslator.h"
#include "automation/TelemetryTcpForwardService.h"
#include "GcsServerConfig.h"
#include "cloud/GcsEventReportController.h"
#include "cloud/GcsMqttController.h"
#include "cloud/MyVehicleController.h"
#include "link/LinkManager.h"
#include "params/MavCustomNameFieldsConfigManager.h"
#include "link/LinkManagerFactory.h"
#include "protocol/MavProtocolProcesser.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleAlertListModel.h"
#include "vehicle/VehicleClusterController.h"
#include "vehicle/VehicleController.h"

#include "GcsHttp.h"
#include "GcsLoginManager.h"
#include "NfzZoneManager.h"
#include "OstSerialPortLink.h"
#include "OstSerialPortLinkConfig.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"

#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "nfz/NfzSyncController.h"
#include "nfz/NfzVehicleController.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSysInfo>

#include <spdlog/spdlog.h>

GcsAppController::GcsAppController(GcsApplication* app)
    : QObject(app)
    , m_app(app)
{
    m_multiVehicleMgr = new MultiVehicleManager(this);
    m_customNameFieldsConfigMgr = std::make_shared<MavCustomNameFieldsConfigManager>();
    m_vehicleClusterCtrler = std::make_shared<VehicleClusterController>(m_multiVehicleMgr, nullptr);
    m_consoleHandler = std::make_shared<GcsConsoleHandler>(nullptr);
    m_consoleListModel = new GcsConsoleListModel(this);
    m_consoleListModel->attach(m_consoleHandler.get());
    m_alertListModel = new VehicleAlertListModel(m_multiVehicleMgr, this);
    m_mqttController = std::make_shared<GcsMqttController>();
    m_myVehicleCtrler = std::make_shared<MyVehicleController>(m_multiVehicleMgr);
    m_multiVehicleMgr->setMqttController(m_mqttController);
    m_myVehicleCtrler->setMqttController(m_mqttController);
    connect(m_mqttController.get(), &GcsMqttController::remoteVehicleMessageReceived, m_myVehicleCtrler.get(),
            &MyVehicleController::handleRemoteVehicleMessage, Qt::QueuedConnection);
    connect(m_myVehicleCtrler.get(), &MyVehicleController::remoteMonitorStateChanged, this,
            &GcsAppController::handleRemoteMonitorStateChanged);
    m_dateTimeTimer.setParent(this);  // names its owner in the main loop's stall log
    m_dateTimeTimer.setInterval(1000);
    connect(&m_dateTimeTimer, &QTimer::timeout, this, &GcsAppController::emitDateTime);
}

GcsAppController::~GcsAppController()
{
    spdlog::debug("GcsAppController destroyed ------------");
}

void GcsAppController::init(std::shared_ptr<GcsToolBox> toolBox)
{
    spdlog::debug("<app> <startup> init app controller, toolBox:{}", static_cast<const void*>(toolBox.get()));
    bool autoLoginStarted = false;
    if (toolBox) {
        m_toolBox = toolBox;
        if (!m_loginMgr) {
            m_loginMgr =
                std::make_shared<GcsLoginManager>(toolBox->http(), GcsSettings::getInstance()->appCachePath(), nullptr);
            connect(m_loginMgr.get(), &GcsLoginManager::emailRegisterResp, this, &GcsAppController::handleLoginResp);
            connect(m_loginMgr.get(), &GcsLoginManager::passwordLoginResp, this, &GcsAppController::handleLoginResp);
            connect(m_loginMgr.get(), &GcsLoginManager::autoLoginResp, this, &GcsAppController::handleLoginResp);
            connect(m_loginMgr.get(), &GcsLoginManager::loginStateChanged, this,
                    &GcsAppController::handleLoginStateChanged);
        }
        if (!m_eventReportCtrler)
            m_eventReportCtrler = std::make_shared<GcsEventReportController>(toolBox->http(), nullptr);
        const QString cacheBase = GcsSettings::getInstance()->appCachePath();
        if (cacheBase.isEmpty())
            spdlog::error("<app> no application cache directory: the no-fly-zone cache is disabled");
        const QString nfzCachePath = cacheBase.isEmpty() ? QString() : cacheBase + "/nfz_cache.json";
        if (!m_nfzZoneManager)
            m_nfzZoneManager = std::make_shared<NfzZoneManager>();
        if (!m_nfzSyncController)
            m_nfzSyncController = std::make_shared<NfzSyncController>(toolBox->http(), nfzCachePath, m_nfzZoneManager);
        if (!m_nfzVehicleController)
            m_nfzVehicleController = std::make_shared<NfzVehicleController>(m_nfzZoneManager);
        toolBox->initWith(this);
        QTimer::singleShot(0, this, [zones = std::weak_ptr<NfzZoneManager>(m_nfzZoneManager), nfzCachePath] {
            if (nfzCachePath.isEmpty())
                return;
            // No cache yet is the normal first start, not a fault worth a warning. A cache gone
            // while its backup is there is a fault: the load falls back to the backup and says so.
            if (!QFileInfo::exists(nfzCachePath) && !QFileInfo::exists(nfzCachePath + ".bak")) {
                spdlog::debug("<app> no no-fly-zone cache yet at {}", nfzCachePath.toStdString());
                return;
            }
            if (auto z = zones.lock())
                z->reloadFromFile(nfzCachePath);
        });
        if (!m_flightRouteMgr) {
            m_flightRouteMgr = std::make_shared<MavFlightRouteManager>();
            m_missionsCtrler = std::make_shared<MavMissionsController>(m_multiVehicleMgr, m_flightRouteMgr);
            m_missionsCtrler->setZoneSource(m_nfzZoneManager);
        }
        m_myVehicleCtrler->setHttp(toolBox->http());
        m_multiVehicleMgr->setLoginManager(m_loginMgr);
        VehicleController::Services services;
        services.console = m_consoleHandler;
        services.eventReporter = m_eventReportCtrler;
        services.customNames = m_customNameFieldsConfigMgr;
        services.timerTaskMgr = toolBox->timerTaskMgr();
        services.http = toolBox->http();
        services.missions = [this] { return m_missionsCtrler; };
        m_multiVehicleMgr->setVehicleServices(services);
        if (!m_services) {
            svc::Deps deps;
            deps.vehicles = m_multiVehicleMgr;
            deps.missions = m_missionsCtrler;
            deps.routes = m_flightRouteMgr;
            deps.zoneTransfers = m_nfzVehicleController;
            deps.zones = m_nfzZoneManager;
            deps.console = m_consoleHandler;
            deps.linkConnected = [this] { return isConnected(); };
            m_services = new svc::VehicleServices(std::move(deps), this);
        }
        if (!m_tcpForwardService) {
            m_tcpForwardService = new TelemetryTcpForwardService(this);
            m_frameTranslator = std::make_shared<RawEb90FrameTranslator>();
            m_tcpForwardService->setFrameTranslator(m_frameTranslator);
            m_tcpForwardService->startFromSettings();
        }
    }
    if (m_loginMgr)
        autoLoginStarted = m_loginMgr->loginAutoIfNeed();
    QTimer::singleShot(1000, this, [this, autoLoginStarted] {
        m_customNameFieldsConfigMgr->loadAllFromCache();
        if (!autoLoginStarted)
            reportSoftDevice();
    });
}

void GcsAppController::release()
{
    spdlog::debug("<app> release app controller");
    // Every vehicle's queue worker, telemetry task and flight log ends here, while the
    // application object and the timer thread still exist.
    m_myVehicleCtrler->deactivateRemoteMonitor();
    m_mqttController->disconnectFromServer();
    m_multiVehicleMgr->release();
}

void GcsAppController::connectToLink(std::shared_ptr<OstLinkAbstractConfig> config, QString mapKey)
{
    if (!config) {
        spdlog::warn("<app> connectToLink: config is null");
        return;
    }
    const QString key = mapKey.isEmpty() ? LinkManagerFactory::mavLocalLinkMgrKey() : mapKey;
    auto& factory = LinkManagerFactory::getInstance();
    auto linkMgr = factory.findLinkManager(key);
    if (!linkMgr) {
        linkMgr = factory.createLinkManager(key);
        if (!linkMgr) {
            spdlog::error("<app> connectToLink: failed to create link manager, mapKey: {}", key.toStdString());
            return;
        }
        spdlog::info("<app> connectToLink: created link manager, mapKey: {}", key.toStdString());
        connect(linkMgr->mavProtoProcesser(), &MavProtocolProcesser::mavHeartbeatFrameReceived, m_multiVehicleMgr,
                &MultiVehicleManager::processMavHeartbeatFrame);
        // The manager's own connections must not keep it alive: weak references only.
        const std::weak_ptr<LinkManager> weak = linkMgr;
        connect(linkMgr.get(), &LinkManager::serialportLinkOpenResp, this, [this, weak](bool ok) {
            if (auto mgr = weak.lock())
                handleLinkManagerConnResp(mgr, ok, OstLinkAbstractConfig::Serial);
        });
        connect(linkMgr.get(), &LinkManager::udpLinkOpenResp, this, [this, weak](bool ok) {
            if (auto mgr = weak.lock())
                handleLinkManagerConnResp(mgr, ok, OstLinkAbstractConfig::Udp);
        });
        connect(linkMgr.get(), &LinkManager::serialportLinkDisconnected, this, [this, weak] {
            if (auto mgr = weak.lock())
                handleLinkManagerDisconnected(mgr, OstLinkAbstractConfig::Serial);
        });
        connect(linkMgr.get(), &LinkManager::udpLinkDisconnected, this, [this, weak] {
            if (auto mgr = weak.lock())
                handleLinkManagerDisconnected(mgr, OstLinkAbstractConfig::Udp);
        });
    }
    factory.setActiveLinkManager(linkMgr);
    if (m_tcpForwardService)
        m_tcpForwardService->attachProtocolProcesser(linkMgr->mavProtoProcesser());

    std::shared_ptr<OstLinkAbstractConfig> previous;
    if (linkMgr->serialportLinkIsOpen())
        previous = linkMgr->serialportLink()->linkConfig();
    else if (linkMgr->udpSocketLinkIsOpen())
        previous = linkMgr->udpSocketLink()->linkConfig();
    if (previous)
        m_previousConfig = previous;
    if (linkMgr->serialportLinkIsOpen())
        linkMgr->closeSerialPortLink();
    if (linkMgr->udpSocketLinkIsOpen())
        linkMgr->closeUdpSocketLink();
    openLink(linkMgr, config);
}

void GcsAppController::openLink(const std::shared_ptr<LinkManager>& linkMgr,
                                const std::shared_ptr<OstLinkAbstractConfig>& config)
{
    m_openingConfig = config;
    switch (config->linkType()) {
    case OstLinkAbstractConfig::Serial:
        linkMgr->setSerialPortLinkConfig(std::dynamic_pointer_cast<OstSerialPortLinkConfig>(config));
        linkMgr->openSerialPortLink(config);
        break;
    case OstLinkAbstractConfig::Udp:
        linkMgr->setUdpSocketLinkConfig(std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(config));
        linkMgr->openUdpSocketLink(config);
        break;
    default: spdlog::warn("<app> connectToLink: unsupported link type {}", int(config->linkType())); break;
    }
}

namespace {

// The link reports a failed open without its reason; this says what was tried.
QString openFailureText(const std::shared_ptr<OstLinkAbstractConfig>& config)
{
    if (auto serial = std::dynamic_pointer_cast<OstSerialPortLinkConfig>(config)) {
        const QString port = serial->portName();
        if (!QFileInfo::exists(port) && !QFileInfo::exists(QStringLiteral("/dev/") + port))
            return QStringLiteral("Cannot open serial port %1: no such device").arg(port);
        return QStringLiteral("Cannot open serial port %1: in use, not a serial device or no permission").arg(port);
    }
    if (auto udp = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(config))
        return QStringLiteral("Cannot bind UDP port %1").arg(udp->recvPort());
    return QStringLiteral("Cannot open the link");
}

}  // namespace

QString GcsAppController::connectToLinkFromCliParams(const nlohmann::json& params)
{
    svc::LinkRequest request;
    if (auto f = gcscli::readLinkRequest(params, request))
        return QString::fromStdString(f->message);
    return connectLink(request);
}

QString GcsAppController::connectLink(const svc::LinkRequest& request)
{
    if (request.type == svc::LinkRequest::Type::Serial) {
        connectToLink(std::make_shared<OstSerialPortLinkConfig>(request.serialPort, request.baudrate), QString());
        return QString();
    }
    auto config = std::make_shared<OstUdpSocketLinkConfig>(request.localPort, request.vehiclePort);
    if (!request.broadcastAddress.isEmpty())
        config->setBroadcastAddress(request.broadcastAddress);
    connectToLink(config, QString());
    return QString();
}

QMetaObject::Connection GcsAppController::onLinkOpened(QObject* context, std::function<void(bool, QString)> fn)
{
    return connect(this, &GcsAppController::linkConnectResp, context,
                   [this, fn = std::move(fn)](std::shared_ptr<LinkManager>, bool ok, OstLinkAbstractConfig::LinkType) {
                       fn(ok, m_lastLinkOpenError);
                   });
}

QString GcsAppController::protocolVersion() const
{
    return GcsApplication::commProtocolVersion();
}

std::shared_ptr<GcsLoginManager> GcsAppController::account() const
{
    return m_toolBox && m_toolBox->http() ? m_loginMgr : nullptr;
}

void GcsAppController::handleLinkManagerConnResp(std::shared_ptr<LinkManager> linkMgr, bool ok,
                                                 OstLinkAbstractConfig::LinkType type)
{
    m_multiVehicleMgr->setTeleReqEnableByLinkManager(linkMgr, ok);
    m_lastLinkOpenError = ok ? QString() : openFailureText(m_openingConfig);
    emit linkConnectResp(linkMgr, ok, type);
    if (!ok) {
        if (auto previous = std::exchange(m_previousConfig, nullptr); previous && linkMgr) {
            spdlog::warn("<app> {}; reopening the previous link", m_lastLinkOpenError.toStdString());
            openLink(linkMgr, previous);
        }
        return;
    }
    m_previousConfig.reset();
    saveLastSuccessfulConnectSettings(linkMgr, type);
    m_udpOpenedAt.invalidate();
    if (type == OstLinkAbstractConfig::Udp && linkMgr) {
        if (auto config = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(linkMgr->udpSocketLink()->linkConfig())) {
            m_udpOpenedAt.start();
            m_udpPort = config->recvPort();
            QTimer::singleShot(m_silentLinkMs + 100, this, [this] {
                if (const auto note = silentLinkNote(); !note.empty())
                    spdlog::warn("<app> {}", note);
            });
        }
    }
    if (type == OstLinkAbstractConfig::Udp && linkMgr) {
        if (auto config = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(linkMgr->udpSocketLink()->linkConfig())) {
            if (config->linkMode() == OstUdpSocketLinkConfig::Multicast)
                spdlog::info("<app> UDP link connected, mode: multicast, group address: {}",
                             config->multicastGroupAddress().toStdString());
            else
                spdlog::info("<app> UDP link connected, mode: unicast");
            if (config->deviceRecvPort() != 0)
                spdlog::info("<app> UDP link connected, device recv port: {}", config->deviceRecvPort());
            else
                spdlog::info("<app> UDP link connected, device recv port: auto (use heartbeat source port)");
        }
    }
    if (m_myVehicleCtrler->isRemoteMonitorActive()) {
        spdlog::info("<app> local link connected, auto deactivate remote monitor");
        m_myVehicleCtrler->deactivateRemoteMonitor();
    }
    setConnectionMode(Local);
}

void GcsAppController::saveLastSuccessfulConnectSettings(const std::shared_ptr<LinkManager>& linkMgr,
                                                         OstLinkAbstractConfig::LinkType type)
{
    if (!linkMgr) {
        spdlog::warn("<app> saveLastSuccessfulConnectSettings: linkMgr is null");
        return;
    }
    auto* settings = GcsSettings::getInstance();
    if (type == OstLinkAbstractConfig::Serial) {
        auto config = linkMgr->serialportLink()->linkConfig();
        if (!config) {
            spdlog::warn("<app> saveLastSuccessfulConnectSettings: serial linkConfig is null");
            return;
        }
        auto serial = std::dynamic_pointer_cast<OstSerialPortLinkConfig>(config);
        if (!serial) {
            spdlog::warn("<app> saveLastSuccessfulConnectSettings: serial config cast failed");
            return;
        }
        settings->setValue("connect/type", 1);
        settings->setValue("connect/serial/portname", serial->portName());
        settings->setValue("connect/serial/baudrate", serial->baundrate());
    } else if (type == OstLinkAbstractConfig::Udp) {
        auto config = linkMgr->udpSocketLink()->linkConfig();
        if (!config) {
            spdlog::warn("<app> saveLastSuccessfulConnectSettings: udp linkConfig is null");
            return;
        }
        auto udp = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(config);
        if (!udp) {
            spdlog::warn("<app> saveLastSuccessfulConnectSettings: udp config cast failed");
            return;
        }
        settings->setValue("connect/type", 3);
        settings->setValue("connect/udp/port", udp->recvPort());
        settings->setValue("connect/udp/devicePort", udp->deviceRecvPort());
        settings->setValue("connect/udp/mode",
                           udp->linkMode() == OstUdpSocketLinkConfig::Multicast ? "multicast" : "unicast");
        settings->setValue("connect/udp/multicastGroup", udp->multicastGroupAddress());
    }
}

void GcsAppController::handleLinkManagerDisconnected(std::shared_ptr<LinkManager> linkMgr,
                                                     OstLinkAbstractConfig::LinkType type)
{
    spdlog::info("link manager disconnected");
    m_multiVehicleMgr->setTeleReqEnableByLinkManager(linkMgr, false);
    emit linkDisconnected(linkMgr, type);
    if (m_connectionMode == Local && !isConnected())
        setConnectionMode(None);
}

void GcsAppController::disconnectFromActiveLinkMgr()
{
    for (const auto& v : m_multiVehicleMgr->vehicleList()) {
        v->resetLinkLossStats();
        v->setTeleReqEnable(false);
    }
    auto linkMgr = LinkManagerFactory::getInstance().activeLinkMgr();
    if (linkMgr) {
        if (linkMgr->serialportLinkIsOpen())
            linkMgr->closeSerialPortLink();
        if (linkMgr->udpSocketLinkIsOpen())
            linkMgr->closeUdpSocketLink();
    }
    m_multiVehicleMgr->removeAllLocalVehicles();
    QTimer::singleShot(0, this, [this, weak = std::weak_ptr<LinkManager>(linkMgr)] {
        if (isConnected())
            return;
        if (auto linkMgr = weak.lock()) {
            const int type = GcsSettings::getInstance()->getValue("connect/type", 3).toInt();
            handleLinkManagerDisconnected(linkMgr, OstLinkAbstractConfig::LinkType(type));
        } else if (m_connectionMode == Local) {
            setConnectionMode(None);
        }
    });
}

bool GcsAppController::isConnected() const
{
    auto linkMgr = LinkManagerFactory::getInstance().activeLinkMgr();
    return linkMgr && linkMgr->linkIsOpen();
}

FleetReadModel::Sources GcsAppController::fleetSources() const
{
    return {m_multiVehicleMgr, m_missionsCtrler, m_nfzZoneManager, [this] { return gcsCliConnectionStatusData(); }};
}

std::shared_ptr<FleetPageSource> GcsAppController::fleetPageSource()
{
    return std::make_shared<StationFleetSource>([this] { return fleetSources(); });
}

std::string GcsAppController::silentLinkNote() const
{
    if (!m_udpOpenedAt.isValid() || !isConnected() || m_udpOpenedAt.elapsed() < m_silentLinkMs || !m_multiVehicleMgr)
        return {};
    for (const auto& v : m_multiVehicleMgr->vehicleList()) {
        if (v->isLocal())
            return {};
    }
    return "no vehicle heard on port " + std::to_string(m_udpPort) +
           " yet: check that the vehicles send to this station's address and port";
}

svc::ConnectionState GcsAppController::connectionState() const
{
    static const char* names[] = {"None", "Local", "RemoteMonitor"};
    svc::ConnectionState state;
    state.mode = names[int(m_connectionMode)];
    state.connected = isConnected();
    if (const auto note = silentLinkNote(); !note.empty())
        state.note = note;
    if (const auto active = m_multiVehicleMgr ? m_multiVehicleMgr->activeVehicle() : nullptr) {
        state.activeVehicleId = active->vehicleId();
        state.activeVehicleCode = active->vehicleCode().toStdString();
    }
    return state;
}

nlohmann::json GcsAppController::gcsCliConnectionStatusData() const
{
    return gcscli::connectionJson(connectionState());
}

void GcsAppController::applyTelemetryTcpForwardFromSettings()
{
    if (m_tcpForwardService)
        m_tcpForwardService->applyFromSettings();
}

GcsControlDisplayMode GcsAppController::controlDisplayMode() const
{
    return GcsSettings::getInstance()->controlDisplayMode();
}

void GcsAppController::setControlDisplayMode(GcsControlDisplayMode mode)
{
    if (mode == controlDisplayMode())
        return;
    GcsSettings::getInstance()->setControlDisplayMode(mode);
    emit controlDisplayModeChanged(mode);
}

void GcsAppController::setDateTimeTimerEnabled(bool enabled)
{
    if (enabled && !m_dateTimeTimer.isActive()) {
        emitDateTime();
        m_dateTimeTimer.start();
    } else if (!enabled && m_dateTimeTimer.isActive()) {
        m_dateTimeTimer.stop();
    }
}

void GcsAppController::emitDateTime()
{
    emit currentDateTimeRefreshed(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss"));
}

void GcsAppController::setConnectionMode(GcsConnectionMode mode)
{
    if (mode == m_connectionMode)
        return;
    m_connectionMode = mode;
    emit connectionModeChanged(mode);
}

void GcsAppController::handleLoginResp(int)
{
    reportSoftDevice();
}

void GcsAppController::handleLoginStateChanged(GcsAccountEnums::LoginState s)
{
    spdlog::info("<app> login state changed: {}", int(s));
    switch (s) {
    case GcsAccountEnums::LoggedIn: {
        const auto* config = GcsServerConfig::instance();
        m_mqttController->connectToServer(config->mqttServerUri(), m_loginMgr ? m_loginMgr->mqttClientId() : QString(),
                                          config->mqttUsername(), config->mqttPassword());
        break;
    }
    case GcsAccountEnums::NotLoggedIn:
    case GcsAccountEnums::LoggedOut:
    case GcsAccountEnums::LoginExpired:
        // The next login brings a new client id, which drops the subscriptions: watching
        // cannot outlive the session.
        m_myVehicleCtrler->deactivateRemoteMonitor();
        m_mqttController->disconnectFromServer();
        break;
    default: break;
    }
}

void GcsAppController::handleRemoteMonitorStateChanged(const QString& vehicleCode, bool active)
{
    spdlog::info("<app> remote monitor {}, vehicleCode: {}", active ? "on" : "off", vehicleCode.toStdString());
    // Ending a watch while a local link is still open goes back to that link, not to None.
    setConnectionMode(active ? RemoteMonitor : (isConnected() ? Local : None));
}

void GcsAppController::reportSoftDevice()
{
    if (!m_toolBox || !m_toolBox->http() || m_toolBox->http()->baseUrl().isEmpty())
        return;  // no cloud configured
    m_toolBox->http()->reportSoftDevice(GcsSettings::getDeviceUniqueId().toStdString(),
                                        QSysInfo::prettyProductName().toStdString(),
                                        [](int code, std::shared_ptr<nlohmann::json>) {
                                            if (code != 200)
                                                spdlog::warn("<SoftDevice> report device failed: {}", code);
                                        });
}
