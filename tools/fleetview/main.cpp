// velmora-fleetview: subscribes to velmora/fleet/# on the stations' broker and serves the fleet
// page of them all (the station's page server over a BrokerFleetModel). It never publishes.
// SIGINT and SIGTERM quit. As a service: READY and WATCHDOG to systemd, /metrics, /healthz and
// /readyz (ready: the broker is connected) on the page server.

#include "FleetViewOptions.h"

#include "fleet/BrokerFleetModel.h"
#include "web/GcsFleetWebServer.h"

#include "OstMqttClient.h"
#include "OstMqttMessageReceiver.h"

#include "ServiceLog.h"
#include "ServiceMetrics.h"
#include "ServiceNotify.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(g_signalFds[0], &byte, 1);
}

class ModelFeed : public OstMqttMessageReceiver {
public:
    explicit ModelFeed(BrokerFleetModel& model)
        : m_model(model)
    {
    }

protected:
    void processMessage(const QString& topic, const QByteArray& payload) override
    {
        const QByteArray name = topic.toUtf8();
        m_model.handleMessage(std::string_view(name.constData(), size_t(name.size())),
                              std::string_view(payload.constData(), size_t(payload.size())));
    }

private:
    BrokerFleetModel& m_model;
};

const char* stateName(OstMqttClient::State s)
{
    switch (s) {
    case OstMqttClient::State::Disconnected: return "disconnected";
    case OstMqttClient::State::Connecting: return "connecting";
    case OstMqttClient::State::Connected: return "connected";
    case OstMqttClient::State::Refused: return "refused";
    }
    return "unknown";
}

}  // namespace

int main(int argc, char** argv)
{
    FleetViewOptions options;
    const QString error = FleetViewOptions::parse(argc, argv, options);
    if (error == "help") {
        std::fputs(FleetViewOptions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "velmora-fleetview: %s\n%s", qPrintable(error), qPrintable(FleetViewOptions::usage()));
        return 2;
    }
    if (options.printConfig) {
        std::fputs(FleetViewOptions::describe(options).toUtf8().constData(), stdout);
        return 0;
    }
    // Standard output carries only the page's address; the log goes to standard error.
    servicelog::setup({QStringLiteral("fleetview"), options.logLevel, options.logFormat, QString(), 0, 0});
    QCoreApplication app(argc, argv);
    ServiceNotify notify;
    QElapsedTimer running;
    running.start();
    QCoreApplication::setApplicationName(QStringLiteral("velmora-fleetview"));

    // The retained state of every vehicle arrives at once after each connect: the inbox holds
    // the largest fleet the model takes, so none of it is dropped.
    const std::string uri = options.broker.toStdString();
    OstMqttClient client(uri, "velmora-fleetview-" + std::to_string(::getpid()));
    client.setInboxLimit(BrokerFleetModel::kMostStations * 256);
    if (!options.caFile.isEmpty())
        client.setCaFile(options.caFile.toStdString());
    BrokerFleetModel model([&client, uri] {
        nlohmann::json link = {{"connectionMode", "broker"},
                               {"connected", client.isConnected()},
                               {"broker", uri},
                               {"state", stateName(client.state())},
                               {"lastConnackCode", nullptr},
                               {"inboxDropped", client.droppedCount()},
                               {"oversizedDropped", client.oversizedCount()}};
        if (const auto code = client.lastConnackCode())
            link["lastConnackCode"] = *code;
        return link;
    });
    model.setBrokerConnected(false);
    model.setForgetAfterMs(int64_t(options.forgetAfterH * 3600 * 1000));
    auto feed = std::make_shared<ModelFeed>(model);
    client.registerMessageReceiver(feed);
    QObject::connect(&client, &OstMqttClient::stateChanged, &app, [&model](OstMqttClient::State s) {
        model.setBrokerConnected(s == OstMqttClient::State::Connected);
    });
    client.subscribe(std::string(BrokerFleetModel::kTopicRoot) + "#", 1);
    if (!client.connectToServer(options.user.toStdString(), options.password.toStdString(), 10)) {
        std::fprintf(stderr, "velmora-fleetview: cannot connect to %s\n", uri.c_str());
        return 1;
    }

    GcsFleetWebServer::Options web;
    web.address = QHostAddress(options.httpBind);
    web.port = options.httpPort;
    web.rateHz = options.httpRateHz;
    web.mapTiles = options.mapTiles;
    web.perPeer = options.httpPerPeer;
    web.opsAddress = options.metricsBind.isEmpty() ? QHostAddress() : QHostAddress(options.metricsBind);
    GcsFleetWebServer* served = nullptr;
    web.metrics = [&] {
        servicemetrics::MetricsText m;
        const auto& c = model.counters();
        const nlohmann::json stations = model.stations();
        int live = 0;
        for (const auto& st : stations.value("stations", nlohmann::json::array()))
            live += st.value("online", false) ? 1 : 0;
        m.gauge("velmora_fleetview_stations", "Stations the viewer knows.",
                double(stations.value("stations", nlohmann::json::array()).size()));
        m.gauge("velmora_fleetview_stations_live", "Stations whose status is fresh.", live);
        m.gauge("velmora_fleetview_vehicles", "Vehicles of every station.", double(model.vehicleCount()));
        m.gauge("velmora_fleet_broker_connected", "1 while the broker is connected.", client.isConnected() ? 1 : 0);
        m.counter("velmora_fleetview_messages_received_total", "Broker messages received.", double(c.received));
        m.counter("velmora_fleetview_messages_accepted_total", "Broker messages taken into the model.",
                  double(c.accepted));
        for (const auto& [reason, n] :
             {std::pair{"malformed", c.malformed}, std::pair{"oversized", c.oversized},
              std::pair{"outside_layout", c.outsideLayout}, std::pair{"over_limit", c.overLimit}})
            m.counter("velmora_fleetview_messages_dropped_total", "Broker messages dropped, by reason.", double(n),
                      {{"reason", reason}});
        m.counter("velmora_fleetview_inbox_dropped_total", "Broker messages dropped by a full inbox.",
                  double(client.droppedCount()));
        m.gauge("velmora_page_clients", "WebSocket clients of the fleet page.", served ? served->clientCount() : 0);
        m.addProcess();
        return m.text();
    };
    web.health = [&] {
        return std::pair<bool, nlohmann::json>{true, {{"status", "live"}, {"uptimeSeconds", running.elapsed() / 1000}}};
    };
    web.readiness = [&] {
        const bool connected = client.isConnected();
        return std::pair<bool, nlohmann::json>{
            connected,
            {{"status", connected ? "ready" : "not ready"},
             {"checks", {{"broker", {{"ok", connected}, {"detail", stateName(client.state())}}}}}}};
    };
    // The model outlives the server: the server is stopped before main returns.
    GcsFleetWebServer page(std::shared_ptr<FleetPageSource>(&model, [](FleetPageSource*) {}), web);
    if (!page.start())
        return 1;
    served = &page;
    std::printf("fleet page: %s\n", qPrintable(page.pageUrl()));
    std::fflush(stdout);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) == 0) {
        auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
            char byte = 0;
            [[maybe_unused]] auto n = ::read(g_signalFds[1], &byte, 1);
            app.quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    notify.ready(QStringLiteral("serving %1").arg(page.pageUrl()));
    const int rc = app.exec();
    notify.stopping();
    page.stop();
    client.unregisterMessageReceiver(feed);
    client.disconnectFromServer();
    const auto& c = model.counters();
    spdlog::info("<fleet-view> stopped: {} messages, {} accepted, {} malformed, {} oversized, {} outside the layout",
                 c.received, c.accepted, c.malformed, c.oversized, c.outsideLayout);
    return rc;
}
