// Settings come first (stores take their paths when they are built), then the application, its
// controller and the CLI endpoint. SIGINT and SIGTERM run the application's quit path; SIGHUP
// reloads. station.log and its rotated files are created 0600: they hold the account e-mail, uid
// and client id.

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
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "protocol/MavProtocolProcesser.h"
#include "telemetry/MavFlightDataRecorder.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "ServiceLog.h"
#include "ServiceMetrics.h"
#include "ServiceNotify.h"

#include "OstMqttClient.h"
#include "OstSerialPortLinkConfig.h"
#include "OstUdpSocketLinkConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSettings>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <QTranslator>

#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <memory>
#include <vector>

#include <fcntl.h>
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator counters (GCC ships no header for them).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" size_t __sanitizer_get_heap_size();
#endif
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] auto n = ::write(g_signalFds[0], &byte, 1);
}

// The directory of the CLI endpoint: --endpoint-dir as given; else systemd's RuntimeDirectory
// ($RUNTIME_DIRECTORY), $XDG_RUNTIME_DIR/velmora or $TMPDIR/velmora-UID, made 0700 when missing and
// refused unless this user owns it and nobody else may write in it: another user who could
// create the socket's name first could stop the station or answer the CLI in its place.
QString endpointDirectory(const StationOptions& options, QString& why)
{
    if (!options.endpointDir.isEmpty())
        return options.endpointDir;
    QString dir = qEnvironmentVariable("RUNTIME_DIRECTORY").section(':', 0, 0);
    if (dir.isEmpty()) {
        const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
        dir = !xdg.isEmpty() && QFileInfo(xdg).isDir()
                  ? xdg + "/velmora"
                  : QDir(QDir::tempPath()).absoluteFilePath(QStringLiteral("velmora-%1").arg(::geteuid()));
        ::mkdir(QFile::encodeName(dir).constData(), 0700);
    }
    struct stat st { };
    if (::lstat(QFile::encodeName(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        why = QStringLiteral("the endpoint directory %1 is not a directory").arg(dir);
    } else if (st.st_uid != ::geteuid()) {
        why = QStringLiteral("the endpoint directory %1 belongs to %2, not to this station's user; remove it or pass "
                             "--endpoint-dir")
                  .arg(dir, GcsCliIpcServer::describeOwner(st.st_uid));
    } else if ((st.st_mode & 022) != 0) {
        why = QStringLiteral("the endpoint directory %1 is writable by others (mode %2); chmod go-w it")
                  .arg(dir, QString::number(st.st_mode & 0777, 8).rightJustified(4, '0'));
    } else if (QFile::encodeName(dir + "/" + GcsCliIpcServer::kEndpointName).size() >
               StationOptions::kMostSocketPathBytes) {
        why = QStringLiteral("the endpoint path below %1 is longer than %2 bytes; pass --endpoint-dir")
                  .arg(dir)
                  .arg(StationOptions::kMostSocketPathBytes);
    }
    return dir;
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

// What the station tells systemd and its scrapers, and what it measures for them.
struct StationRuntime::Operations {
    ServiceNotify notify;
    prometheus::Histogram cliLatency{servicemetrics::latencyBuckets()};
    uint64_t cliOk = 0;
    uint64_t cliFailed = 0;
    uint64_t reloads = 0;
    uint64_t reloadsFailed = 0;
    enum class Link { None, Opening, Open, Failed } link = Link::None;
    QElapsedTimer running;
};

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

bool StationRuntime::startFleetPublisher(const StationOptions& options)
{
    auto publisher = std::make_shared<FleetPublisher>(
        m_ctrl->multiVehicleMgr(),
        FleetPublisher::Options{options.fleetBroker, options.stationId, options.fleetUser, options.fleetPassword,
                                QCoreApplication::applicationVersion(), options.fleetStatusEverySec});
    if (!publisher->start())
        return false;
    m_publisher = publisher;
    m_ctrl->setFleetPublisher(publisher);
    return true;
}

int StationRuntime::start(int& argc, char** argv)
{
    const StationOptions& options = m_options;
    if (options.printConfig) {
        // Before anything is built: printing the configuration starts nothing.
        std::fputs(StationOptions::describe(options).toUtf8().constData(), stdout);
        std::fflush(stdout);
        std::exit(0);
    }
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
    servicelog::setup({QStringLiteral("station"), options.logLevel, options.logFormat, m_dataDir + "/logs",
                       options.logMaxMb, options.logFiles});
    if (!options.configFile.isEmpty())
        spdlog::info("<station> configuration from {}", options.configFile.toStdString());

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
    m_ops = std::make_unique<Operations>();
    m_ops->running.start();
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

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) == 0) {
        auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [this, &app] {
            char byte = 0;
            [[maybe_unused]] auto n = ::read(g_signalFds[1], &byte, 1);
            if (byte == SIGHUP) {
                reload();
                return;
            }
            spdlog::info("<station> signal received, shutting down");
            app.quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &app, [this] { m_ops->notify.stopping(); }, Qt::DirectConnection);

    QString endpointWhy;
    const QString endpointDir = endpointDirectory(options, endpointWhy);
    if (!endpointWhy.isEmpty()) {
        spdlog::error("<station> {}", endpointWhy.toStdString());
        std::fprintf(stderr, "%s: %s\n", qPrintable(m_program), qPrintable(endpointWhy));
        return fail();
    }
    GcsCliIpcServer::setEndpointDir(endpointDir);
    ctrl->services()->firmware().setAllowForced(options.allowForcedFirmware);
    app.startCliIpcServer();
    if (!app.cliIpcServer()) {
        spdlog::error("<station> the CLI endpoint could not be started; is another station running?");
        return fail();
    }
    QObject::connect(app.cliIpcServer(), &GcsCliIpcServer::requestAnswered, &app, [this](bool ok, double seconds) {
        m_ops->cliLatency.Observe(seconds);
        ++(ok ? m_ops->cliOk : m_ops->cliFailed);
    });

    // The fleet on the broker, for velmora-fleetview. It says goodbye at quit, while the
    // vehicles are still there.
    if (!options.fleetBroker.isEmpty() && !startFleetPublisher(options))
        return fail();
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &app,
        [this] {
            if (m_publisher)
                m_publisher->stop();
        },
        Qt::DirectConnection);

    // The fleet page; it stops at quit (after the application has released its services, which
    // stopping does not touch).
    if (options.httpPort) {
        GcsFleetWebServer::Options web;
        web.address = QHostAddress(options.httpBind);
        web.port = *options.httpPort;
        web.rateHz = options.httpRateHz;
        web.perPeer = options.httpPerPeer;
        web.mapTiles = options.mapTiles;
        web.opsAddress = options.metricsBind.isEmpty() ? QHostAddress() : QHostAddress(options.metricsBind);
        web.metrics = [this] { return metricsText(); };
        web.health = [this] {
            return std::pair<bool, nlohmann::json>{
                true, {{"status", "live"}, {"uptimeSeconds", m_ops->running.elapsed() / 1000}}};
        };
        web.readiness = [this] {
            nlohmann::json checks = nlohmann::json::object();
            bool ready = true;
            auto check = [&](const char* name, bool ok, const std::string& detail) {
                checks[name] = {{"ok", ok}, {"detail", detail}};
                ready = ready && ok;
            };
            QTemporaryFile probe(m_dataDir + "/.ready-XXXXXX");
            const bool writable = probe.open() && probe.write("x", 1) == 1;
            check("dataDirectory", writable, (writable ? "writable: " : "not writable: ") + m_dataDir.toStdString());
            static const char* linkNames[] = {"no link configured", "opening", "open", "failed to open"};
            const auto link = m_ops->link;
            check("link", link == Operations::Link::None || link == Operations::Link::Open, linkNames[int(link)]);
            if (m_publisher) {
                const std::string state = m_publisher->status().value("state", "");
                check("fleetBroker", state == "connected", state);
            }
            return std::pair<bool, nlohmann::json>{ready,
                                                   {{"status", ready ? "ready" : "not ready"}, {"checks", checks}}};
        };
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

    QObject::connect(ctrl, &GcsAppController::linkConnectResp,
                     [this](auto, bool ok, OstLinkAbstractConfig::LinkType type) {
                         m_ops->link = ok ? Operations::Link::Open : Operations::Link::Failed;
                         spdlog::info("<station> {} link {}", type == OstLinkAbstractConfig::Serial ? "serial" : "UDP",
                                      ok ? "connected" : "failed to open");
                     });
    if (options.udpLocalPort) {
        m_ops->link = Operations::Link::Opening;
        auto config = std::make_shared<OstUdpSocketLinkConfig>(*options.udpLocalPort, options.udpDevicePort);
        ctrl->connectToLink(config, QString());
    } else if (!options.serialPath.isEmpty()) {
        m_ops->link = Operations::Link::Opening;
        ctrl->connectToLink(std::make_shared<OstSerialPortLinkConfig>(options.serialPath, options.serialBaud),
                            QString());
    }
    m_ops->notify.ready(QStringLiteral("serving; CLI endpoint %1").arg(GcsCliIpcServer::endpointName()));
    return 0;
}

// The configuration again: what can change while running changes, the rest is named as waiting
// for a restart. A file that no longer parses changes nothing.
void StationRuntime::reload()
{
    m_ops->notify.reloading();
    StationOptions next;
    const QString error = StationOptions::reload(m_options, next);
    if (!error.isEmpty()) {
        ++m_ops->reloadsFailed;
        spdlog::error("<station> SIGHUP: the configuration was not reloaded, nothing changed: {}", error.toStdString());
        m_ops->notify.ready(QStringLiteral("serving; the last reload failed: %1").arg(error));
        return;
    }
    ++m_ops->reloads;
    // Each key's effective value before and after, as --print-config shows them.
    auto values = [](const StationOptions& o) {
        std::map<QString, QString> map;
        for (const QString& line : StationOptions::describe(o).split('\n')) {
            if (line.isEmpty() || line.startsWith("# The"))
                continue;
            const QString entry = line.section("  #", 0, 0).trimmed();
            const QString key = entry.section('=', 0, 0).remove('#').trimmed();
            map[key] = entry.startsWith('#') ? QString() : entry.section('=', 1).trimmed();
        }
        return map;
    };
    const auto before = values(m_options);
    const auto after = values(next);
    static const QStringList fleetKeys{"fleet-broker", "station-id", "fleet-user", "fleet-status-every-s",
                                       "fleet-password-file"};
    static const QStringList live{"log-level", "http-rate-hz", "http-per-peer"};
    QStringList applied;
    QStringList waiting;
    bool fleetChanged = next.fleetPassword != m_options.fleetPassword;
    for (const auto& [key, value] : after) {
        if (before.at(key) == value)
            continue;
        if (fleetKeys.contains(key))
            fleetChanged = true;
        else if (live.contains(key))
            applied << QStringLiteral("%1 %2 -> %3").arg(key, before.at(key), value);
        else
            waiting << key;
    }
    if (next.logLevel != m_options.logLevel)
        servicelog::setLevel(next.logLevel);
    if (m_fleetPage && (next.httpRateHz != m_options.httpRateHz || next.httpPerPeer != m_options.httpPerPeer))
        m_fleetPage->setClientLimits(next.httpRateHz, next.httpPerPeer);
    if (fleetChanged) {
        if (m_publisher) {
            m_publisher->stop();  // the broker is told the station is gone from there
            m_ctrl->setFleetPublisher(nullptr);
            m_publisher.reset();
        }
        if (!next.fleetBroker.isEmpty() && !startFleetPublisher(next))
            spdlog::error("<station> SIGHUP: the fleet publisher to {} did not start", next.fleetBroker.toStdString());
        applied << (next.fleetBroker.isEmpty()
                        ? QStringLiteral("fleet broker off")
                        : QStringLiteral("fleet broker %1 as %2").arg(next.fleetBroker, next.stationId));
    }
    // What waits keeps its old value until the restart, so --print-config and the metrics say
    // what runs.
    StationOptions kept = m_options;
    kept.logLevel = next.logLevel;
    kept.httpRateHz = next.httpRateHz;
    kept.httpPerPeer = next.httpPerPeer;
    kept.fleetBroker = next.fleetBroker;
    kept.stationId = next.stationId;
    kept.fleetUser = next.fleetUser;
    kept.fleetStatusEverySec = next.fleetStatusEverySec;
    kept.fleetPasswordFile = next.fleetPasswordFile;
    kept.fleetPassword = next.fleetPassword;
    for (const char* key : {"log-level", "http-rate-hz", "http-per-peer", "fleet-broker", "station-id", "fleet-user",
                            "fleet-status-every-s", "fleet-password-file"}) {
        kept.sources.erase(key);
        if (next.sources.count(key))
            kept.sources[key] = next.sources.at(key);
    }
    m_options = std::move(kept);
    spdlog::info("<station> SIGHUP: configuration reloaded from {}; applied: {}; needs a restart: {}",
                 m_options.configFile.isEmpty() ? std::string("the command line") : m_options.configFile.toStdString(),
                 applied.isEmpty() ? std::string("nothing") : applied.join(", ").toStdString(),
                 waiting.isEmpty() ? std::string("nothing") : waiting.join(", ").toStdString());
    m_ops->notify.ready(QStringLiteral("serving; configuration reloaded"));
}

std::string StationRuntime::metricsText() const
{
    servicemetrics::MetricsText m;
    using L = servicemetrics::Labels;
    int known = 0;
    int alive = 0;
    const auto vehicles = m_ctrl && m_ctrl->multiVehicleMgr() ? m_ctrl->multiVehicleMgr()->vehicleList()
                                                              : QList<std::shared_ptr<VehicleController>>();
    for (const auto& v : vehicles) {
        ++known;
        alive += v->alive() ? 1 : 0;
    }
    m.gauge("velmora_vehicles", "Vehicles the station knows, alive or not.", known);
    m.gauge("velmora_vehicles_alive", "Vehicles whose telemetry arrives.", alive);
    for (const auto& v : vehicles) {
        if (!v->isLocal())
            continue;
        const auto s = v->linkLossStats();
        const L id{{"vehicle", std::to_string(v->vehicleId())}};
        m.gauge("velmora_vehicle_alive", "1 while the vehicle's telemetry arrives, else 0.", v->alive() ? 1 : 0, id);
        m.counter("velmora_vehicle_telemetry_windows_total", "Telemetry request windows of the vehicle.",
                  double(s.telemetryWindowCount), id);
        m.counter("velmora_vehicle_telemetry_windows_silent_total", "Telemetry request windows without an answer.",
                  double(s.telemetrySilentWindowCount), id);
        m.counter("velmora_vehicle_acks_expected_total", "Command acknowledgements expected from the vehicle.",
                  double(s.ackExpectedCount), id);
        m.counter("velmora_vehicle_acks_lost_total", "Command acknowledgements that never came.",
                  double(s.ackLostCount), id);
        m.gauge("velmora_vehicle_link_loss_ratio", "Share of telemetry windows without an answer (0 to 1).",
                s.telemetrySilentRate, id);
    }
    const auto link = LinkManagerFactory::getInstance().activeLinkMgr();
    const MavProtocolProcesser* cutter = link ? link->mavProtoProcesser() : nullptr;
    const MavProtocolProcesser::Counters in = cutter ? cutter->counters() : MavProtocolProcesser::Counters{};
    m.gauge("velmora_link_open", "1 while the vehicle link is open.", link && link->linkIsOpen() ? 1 : 0);
    m.counter("velmora_link_datagrams_received_total", "Datagrams (or serial reads) received on the vehicle link.",
              double(in.chunks));
    m.counter("velmora_link_received_bytes_total", "Bytes received on the vehicle link.", double(in.bytes));
    m.counter("velmora_link_receive_drops_total",
              "Datagrams lost in the link's receive buffer: the station read its link too slowly.",
              double(link ? link->receiveDrops() : 0));
    m.counter("velmora_link_frames_received_total", "Well-formed frames received on the vehicle link.",
              double(in.frames));
    m.counter("velmora_link_bad_frames_total", "Frames dropped for a bad checksum.", double(in.checksumErrors),
              L{{"reason", "checksum"}});
    m.counter("velmora_link_skipped_bytes_total", "Bytes skipped looking for a frame head.",
              double(in.headBytesDropped));
    m.counter("velmora_link_datagrams_sent_total", "Frames sent on the vehicle link.",
              double(link ? link->sentCount() : 0));
    m.counter("velmora_link_sent_bytes_total", "Bytes sent on the vehicle link.", double(link ? link->sentBytes() : 0));
    m.counter("velmora_cli_requests_total", "CLI requests answered, by outcome.", double(m_ops->cliOk),
              L{{"outcome", "ok"}});
    m.counter("velmora_cli_requests_total", "CLI requests answered, by outcome.", double(m_ops->cliFailed),
              L{{"outcome", "error"}});
    m.histogram("velmora_cli_request_duration_seconds", "Time from a CLI request's whole frame to its answer.",
                m_ops->cliLatency);
    if (const GcsApplication* app = gcsApp()) {
        const GcsApplication::LoopStalls stalls = app->loopStalls();
        m.counter("velmora_main_loop_stalls_total", "Events that held the main loop past the stall threshold.",
                  double(stalls.count));
        m.gauge("velmora_main_loop_stall_longest_seconds", "The longest an event has held the main loop.",
                stalls.longestSeconds);
    }
    if (const GcsCliIpcServer* cli = gcsApp() ? gcsApp()->cliIpcServer() : nullptr)
        m.counter("velmora_cli_reads_between_events_total",
                  "CLI reads answered on the endpoint's thread between two main-loop events.",
                  double(cli->answeredBetweenEvents()));
#if defined(__SANITIZE_ADDRESS__)
    // Under the address sanitizer RSS is mostly its quarantine of freed memory and its size-class
    // pools; these tell how much the station itself holds.
    m.gauge("velmora_sanitizer_live_heap_bytes", "Heap bytes the station holds (address-sanitizer builds).",
            double(__sanitizer_get_current_allocated_bytes()));
    m.gauge("velmora_sanitizer_mapped_heap_bytes",
            "Heap bytes the sanitizer's allocator has mapped, quarantine included (address-sanitizer builds).",
            double(__sanitizer_get_heap_size()));
#endif
    m.gauge("velmora_page_clients", "WebSocket clients of the fleet page.",
            m_fleetPage ? m_fleetPage->clientCount() : 0);
    if (m_bridge) {
        const nlohmann::json b = m_bridge->status();
        m.gauge("velmora_bridge_links", "MAVLink bridge links.",
                double(b.value("links", nlohmann::json::array()).size()));
        m.gauge("velmora_bridge_ground_stations", "Ground stations heard by the MAVLink bridge.",
                double(b.value("groundStations", nlohmann::json::array()).size()));
        m.counter("velmora_bridge_messages_received_total", "MAVLink messages received from ground stations.",
                  b.value("messagesIn", 0.0));
        m.counter("velmora_bridge_messages_sent_total", "MAVLink messages sent to ground stations.",
                  b.value("messagesOut", 0.0));
        const nlohmann::json dropped = b.value("dropped", nlohmann::json::object());
        for (const auto& [reason, n] : dropped.items())
            m.counter("velmora_bridge_messages_dropped_total", "MAVLink messages dropped, by reason.", n.get<double>(),
                      L{{"reason", reason}});
    }
    if (m_publisher) {
        const nlohmann::json f = m_publisher->status();
        m.gauge("velmora_fleet_broker_connected", "1 while the fleet broker is connected.",
                f.value("state", "") == "connected" ? 1 : 0);
        m.counter("velmora_fleet_publishes_total", "Messages published to the fleet broker.",
                  f.value("published", 0.0));
        m.counter("velmora_fleet_publishes_dropped_total", "Fleet messages dropped (alert queue full).",
                  f.value("dropped", 0.0));
        m.counter("velmora_fleet_publishes_failed_total", "Fleet publishes the client refused.",
                  f.value("failed", 0.0));
        m.gauge("velmora_fleet_pending_publishes", "Fleet publishes not yet acknowledged.", f.value("pending", 0.0));
    }
    m.counter("velmora_flight_log_rows_total", "Rows written to flight logs.",
              double(MavFlightDataRecorder::rowsWritten()));
    m.counter("velmora_config_reloads_total", "Configuration reloads (SIGHUP), by outcome.", double(m_ops->reloads),
              L{{"outcome", "applied"}});
    m.counter("velmora_config_reloads_total", "Configuration reloads (SIGHUP), by outcome.",
              double(m_ops->reloadsFailed), L{{"outcome", "failed"}});
    m.addProcess();
    return m.text();
}

int StationRuntime::exec()
{
    const int rc = m_app->runLoop();
    spdlog::info("<station> stopped");
    spdlog::default_logger()->flush();
    return rc;
}
