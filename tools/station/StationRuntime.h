#pragma once
// The station's process around the library: data directory and its lock, the log, the language,
// the application and its controller, the CLI endpoint, the fleet publisher, the fleet page, the
// MAVLink bridge and the vehicle link, all from StationOptions. velmora-station runs it headless;
// velmora-desk runs the same and puts its window on top, so the CLI, the bridge and the page work
// against either.
//
// As a service: READY and WATCHDOG to systemd (Type=notify), /metrics, /healthz and /readyz on
// the page server, SIGTERM and SIGINT quit through the application's quit path (flight logs
// closed, routes and zones written, the fleet broker told), SIGHUP reads the configuration again
// and applies what can change while running (log level, fleet broker, page limits), logging
// which did and which wait for a restart.

#include "StationOptions.h"

#include <QString>
#include <QTranslator>

#include <memory>

class GcsApplication;
class GcsAppController;
class FleetPublisher;
class GcsFleetWebServer;
class MavlinkBridge;

class StationRuntime {
public:
    // program: the name in messages ("velmora-station"). headless: without a display the Qt
    // platform becomes offscreen.
    StationRuntime(StationOptions options, QString program, bool headless);
    ~StationRuntime();
    StationRuntime(const StationRuntime&) = delete;
    StationRuntime& operator=(const StationRuntime&) = delete;

    // Builds everything the options ask for. 0 when the station runs; otherwise the exit status,
    // with the reason printed and logged and everything already released.
    int start(int& argc, char** argv);
    // The event loop until quit (SIGINT, SIGTERM or the application's own quit).
    int exec();

    GcsApplication* app() const { return m_app.get(); }
    GcsAppController* controller() const { return m_ctrl; }
    const StationOptions& options() const { return m_options; }
    QString language() const { return m_language; }
    QString dataDir() const { return m_dataDir; }

private:
    int fail();  // leaves through the application's quit path, so everything is released in order
    bool startFleetPublisher(const StationOptions& options);
    void reload();
    std::string metricsText() const;
    struct Operations;

    StationOptions m_options;
    QString m_program;
    bool m_headless;
    QString m_dataDir;
    QString m_language;
    std::unique_ptr<GcsApplication> m_app;
    GcsAppController* m_ctrl = nullptr;
    QTranslator m_translator;
    std::unique_ptr<GcsFleetWebServer> m_fleetPage;
    std::unique_ptr<MavlinkBridge> m_bridge;
    std::shared_ptr<FleetPublisher> m_publisher;
    std::unique_ptr<Operations> m_ops;
};
