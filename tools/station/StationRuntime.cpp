// Settings come first (stores take their paths when they are built), then the application, its
// controller and the CLI endpoint. SIGINT and SIGTERM run the application's quit path.
// station.log and its rotated files are created 0600: they hold the account e-mail, uid and
// client id.

#include "StationRuntime.h"

#include "app/GcsAppController.h"
#include "mission/MavFlightRouteManager.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "settings/GcsSettings.h"
#include "automation/GcsCliIpcServer.h"
#include "bridge/MavlinkBridge.h"
#include "services/FirmwareService.h"
#include "services/VehicleServices.h"
#include "cloud/FleetPublisher.h"
#include "common/GcsConsoleHandler.h"
#include "web/GcsFleetWebServer.h"

#include "OstMqttClient.h"
#include "OstSerialPortLinkConfig.h"
#include "OstUdpSocketLinkConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QTranslator>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(g_signalFds[0], &byte, 1);
}

// Qt's own messages (and the library's few Qt debug lines) go to the same log.
void qtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const std::string text = message.toStdString();
    switch (type) {
    case QtDebugMsg: spdlog::debug("<qt> {}", text); break;
    case QtInfoMsg: spdlog::info("<qt> {}", text); break;
    case QtWarningMsg: spdlog::warn("<qt> {}", text); break;
    default: spdlog::error("<qt> {}", text); break;
    }
}

void setupLogging(const QString& logDir, const StationOptions& options)
{
    QDir().mkpath(logDir);
    const QString path = logDir + "/station.log";
    std::vector<spdlog::sink_ptr> sinks{std::make_shared<spdlog::sinks::stderr_color_sink_mt>()};
    QString fileError;
    // The log holds the account e-mail, uid and client id: the current and rotated files are the
    // user's alone. A new file is created 0600 before spdlog opens it; older ones are narrowed.
    spdlog::file_event_handlers privateFiles;
    privateFiles.before_open = [](const spdlog::filename_t& name) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    };
    privateFiles.after_open = [](const spdlog::filename_t&, std::FILE* file) { ::fchmod(::fileno(file), 0600); };
    for (int i = 1; i < options.logFiles; ++i)
        ::chmod(QStringLiteral("%1/station.%2.log").arg(logDir).arg(i).toLocal8Bit().constData(), 0600);
    try {
        sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            path.toStdString(), size_t(options.logMaxMb) * 1024 * 1024, size_t(options.logFiles - 1), false,
            privateFiles));
    } catch (const spdlog::spdlog_ex& e) {
        fileError = QString::fromStdString(e.what());
    }
    auto logger = std::make_shared<spdlog::logger>("station", sinks.begin(), sinks.end());
    logger->set_level(spdlog::level::from_str(options.logLevel.toStdString()));
    // A burst of warnings must not turn into a burst of writes: errors flush at once, the rest
    // within a second.
    logger->flush_on(spdlog::level::err);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(std::chrono::seconds(1));
    qInstallMessageHandler(qtMessageToLog);
    if (!fileError.isEmpty())
        spdlog::error("<station> no log file at {}: {}", path.toStdString(), fileError.toStdString());
}

// The catalogue named by --lang, else the first of the system's languages that has one, else
// English. zh_CN is the source language: its catalogue may hold nothing, and none is needed.
QString installCatalogue(QTranslator& translator, QString language)
{
    if (language.isEmpty()) {
        language = QStringLiteral("en");
        const QStringList& known = StationOptions::languages();
        for (QString name : QLocale::system().uiLanguages()) {
            name.replace('-', '_');
            if (!known.contains(name))
                name = name.section('_', 0, 0);  // en_GB has the catalogue of en
            if (known.contains(name)) {
                language = name;
                break;
            }
        }
    }
    if (translator.load(QStringLiteral(":/i18n/VelmoraCore_%1.qm").arg(language)))
        QCoreApplication::installTranslator(&translator);
    else if (language != QLatin1String("zh_CN"))
        spdlog::error("<station> no catalogue for language {}", language.toStdString());
    return language;
}

// Holds the data directory for this process: two stations on one directory would interleave
// their logs, route store and zone cache. The lock file names the holder's pid. The descriptor
// stays open (and the lock held) until the process ends, however it ends.
bool lockDataDir(const QString& dir, QString& why)
{
    const QString path = dir + "/station.lock";
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        const ssize_t n = ::pread(fd, pid, sizeof(pid) - 1, 0);
        const QString holder = n > 0 ? QString::fromLatin1(pid, int(n)).trimmed() : QStringLiteral("unknown");
        why = QStringLiteral("the data directory %1 is in use by another station (pid %2); stop it or pass another "
                             "--data-dir")
                  .arg(dir, holder);
        ::close(fd);
        return false;
    }
    const QByteArray own = QByteArray::number(qint64(::getpid())) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, own.constData(), size_t(own.size()), 0) != own.size())
        spdlog::warn("<station> cannot write the pid into {}", path.toStdString());
    return true;
}

}  // namespace

StationRuntime::StationRuntime(StationOptions options, QString program, bool headless)
    : m_options(std::move(options)), m_program(std::move(program)), m_headless(headless)
{
}

StationRuntime::~StationRuntime() = default;

int StationRuntime::fail()
{
    QTimer::singleShot(0, m_app.get(), &QCoreApplication::quit);
    m_app->exec();
    spdlog::default_logger()->flush();
    return 1;
}

int StationRuntime::start(int& argc, char** argv)
{
    const StationOptions& options = m_options;
    if (m_headless && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // The application's names decide the standard locations; they are set before it exists.
    QCoreApplication::setOrganizationName(QStringLiteral("Halvorn"));
    QCoreApplication::setApplicationName(QStringLiteral("Gcs"));
    QString cacheDir;
    if (!options.dataDir.isEmpty()) {
        const QString root = QDir(options.dataDir).absolutePath();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root + "/config");
        cacheDir = root + "/cache";
        m_dataDir = root + "/data";
    } else {
        cacheDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        m_dataDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    }
    QDir().mkpath(cacheDir);
    QDir().mkpath(m_dataDir);
    if (QString why; !lockDataDir(m_dataDir, why)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(m_program), qPrintable(why));
        return 1;
    }
    setupLogging(m_dataDir + "/logs", options);

    // A station told of no cloud calls none: a machine without the cloud service would otherwise
    // log refused connections every few seconds.
    const bool cloudOff = options.noCloud || (options.cloudUrl.isEmpty() && options.mqttUri.isEmpty());
    if (options.noCloud)
        spdlog::info("<station> --no-cloud: no cloud HTTP calls and no broker");
    else if (cloudOff)
        spdlog::info("<station> the cloud is off: no cloud HTTP calls and no broker (pass --cloud-url and --mqtt to use one)");
    auto* server = GcsServerConfig::instance();
    if (cloudOff)
        server->disableCloud();
    server->setHttpBaseUrl(options.cloudUrl);
    server->setMqttServerUri(options.mqttUri);
    server->setMqttCredentials(options.mqttUser, options.mqttPassword);
    OstMqttClient::setDefaultCaFile(options.mqttCaFile.toStdString());
    GcsSettings::getInstance()->init(cacheDir, m_dataDir);

    m_app = std::make_unique<GcsApplication>(argc, argv);
    GcsApplication& app = *m_app;
    // Before anything is built: telemetry element names are translated when their items are made.
    m_language = installCatalogue(m_translator, options.language);
    spdlog::info("<station> language {}", m_language.toStdString());
    app.init();
    auto* ctrl = new GcsAppController(&app);
    m_ctrl = ctrl;
    // Without a screen the operator console's lines go to the log; a window shows them as well.
    QObject::connect(ctrl->consoleHandler().get(), &GcsConsoleHandler::logOutput, &app,
                     [](OstLogLevel, const QString& text) { spdlog::info("<console> {}", text.toStdString()); });
    app.setAppCtrler(ctrl);
    // The routes saved by earlier runs.
    if (auto routes = ctrl->flightRouteMgr())
        routes->refreshFromLocal();
    spdlog::info("<station> data in {}, cache in {}, cloud {}, mqtt {}", m_dataDir.toStdString(), cacheDir.toStdString(),
                 server->httpBaseUrl().toStdString(), server->mqttServerUri().toStdString());

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) == 0) {
        auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
            char byte = 0;
            [[maybe_unused]] auto n = ::read(g_signalFds[1], &byte, 1);
            spdlog::info("<station> signal received, shutting down");
            app.quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }

    if (!options.endpointDir.isEmpty())
        GcsCliIpcServer::setEndpointDir(options.endpointDir);
    ctrl->services()->firmware().setAllowForced(options.allowForcedFirmware);
    app.startCliIpcServer();
    if (!app.cliIpcServer()) {
        spdlog::error("<station> the CLI endpoint could not be started; is another station running?");
        return fail();
    }

    // The fleet on the broker, for velmora-fleetview. It says goodbye at quit, while the
    // vehicles are still there.
    if (!options.fleetBroker.isEmpty()) {
        auto publisher = std::make_shared<FleetPublisher>(
            ctrl->multiVehicleMgr(),
            FleetPublisher::Options{options.fleetBroker, options.stationId, options.fleetUser, options.fleetPassword,
                                    QCoreApplication::applicationVersion(), options.fleetStatusEverySec});
        if (!publisher->start())
            return fail();
        ctrl->setFleetPublisher(publisher);
        QObject::connect(&app, &QCoreApplication::aboutToQuit, publisher.get(), &FleetPublisher::stop,
                         Qt::DirectConnection);
    }

    // The fleet page; it stops at quit (after the application has released its services, which
    // stopping does not touch).
    if (options.httpPort) {
        GcsFleetWebServer::Options web;
        web.address = QHostAddress(options.httpBind);
        web.port = *options.httpPort;
        web.rateHz = options.httpRateHz;
        web.mapTiles = options.mapTiles;
        m_fleetPage = std::make_unique<GcsFleetWebServer>(ctrl->fleetPageSource(), web);
        if (!m_fleetPage->start())
            return fail();
        QObject::connect(&app, &QCoreApplication::aboutToQuit, m_fleetPage.get(), &GcsFleetWebServer::stop,
                         Qt::DirectConnection);
        std::printf("fleet page: %s\n", qPrintable(m_fleetPage->pageUrl()));
        std::fflush(stdout);
    }

    // The MAVLink bridge commands through the station's services, as the CLI does; it stops at
    // quit, before the services it reads are released.
    if (!options.mavlink.empty()) {
        MavlinkBridge::Options bridgeOptions{options.mavlink, options.mavlinkControl, options.mavlinkKey};
        bridgeOptions.bindAddress = options.mavlinkBind;
        m_bridge = std::make_unique<MavlinkBridge>(ctrl, bridgeOptions);
        QString error;
        if (!m_bridge->start(&error)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(m_program), qPrintable(error));
            return fail();
        }
        ctrl->setBridgeStatus([b = m_bridge.get()] { return b->status(); });
        QObject::connect(
            &app, &QCoreApplication::aboutToQuit, m_bridge.get(),
            [ctrl, b = m_bridge.get()] {
                ctrl->setBridgeStatus({});
                b->stop();
            },
            Qt::DirectConnection);
        for (size_t i = 0; i < options.mavlink.size(); ++i)
            std::printf("mavlink: %s (local port %u)\n", qPrintable(options.mavlink[i].text()),
                        unsigned(m_bridge->localPort(int(i))));
        std::fflush(stdout);
    }

    if (options.udpLocalPort) {
        auto config = std::make_shared<OstUdpSocketLinkConfig>(*options.udpLocalPort, options.udpDevicePort);
        ctrl->connectToLink(config, QString());
    } else if (!options.serialPath.isEmpty()) {
        ctrl->connectToLink(std::make_shared<OstSerialPortLinkConfig>(options.serialPath, options.serialBaud),
                            QString());
    }
    QObject::connect(ctrl, &GcsAppController::linkConnectResp, [](auto, bool ok, OstLinkAbstractConfig::LinkType type) {
        spdlog::info("<station> {} link {}", type == OstLinkAbstractConfig::Serial ? "serial" : "UDP",
                     ok ? "connected" : "failed to open");
    });
    return 0;
}

int StationRuntime::exec()
{
    const int rc = m_app->exec();
    spdlog::info("<station> stopped");
    spdlog::default_logger()->flush();
    return rc;
}
