// velmora-fleetview: subscribes to velmora/fleet/# on the stations' broker and serves the fleet
// page of them all (the station's page server over a BrokerFleetModel). It never publishes.
// SIGINT and SIGTERM quit.

#include "FleetViewOptions.h"

#include "fleet/BrokerFleetModel.h"
#include "web/GcsFleetWebServer.h"

#include "OstMqttClient.h"
#include "OstMqttMessageReceiver.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <spdlog/sinks/stdout_color_sinks.h>
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
    // Standard output carries only the page's address; the log goes to standard error.
    spdlog::set_default_logger(spdlog::stderr_color_mt("fleetview"));
    spdlog::set_level(spdlog::level::from_str(options.logLevel.toStdString()));
    QCoreApplication app(argc, argv);
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
    // The model outlives the server: the server is stopped before main returns.
    GcsFleetWebServer page(std::shared_ptr<FleetPageSource>(&model, [](FleetPageSource*) {}), web);
    if (!page.start())
        return 1;
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
    const int rc = app.exec();
    page.stop();
    client.unregisterMessageReceiver(feed);
    client.disconnectFromServer();
    const auto& c = model.counters();
    spdlog::info("<fleet-view> stopped: {} messages, {} accepted, {} malformed, {} oversized, {} outside the layout",
                 c.received, c.accepted, c.malformed, c.oversized, c.outsideLayout);
    return rc;
}
