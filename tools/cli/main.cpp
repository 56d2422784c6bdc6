// velmora-cli: the command-line client of the station's local CLI endpoint.
// Exit codes: 0 for an "ok" response, 1 for an error envelope, 2 when no station answers, the
// reply times out, or the arguments are bad.

#include "CliIpcClient.h"
#include "CliWatchView.h"

#include <QCoreApplication>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

using nlohmann::json;

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  velmora-cli [--timeout-ms N] METHOD [PARAMS_JSON]\n"
    "  velmora-cli [--timeout-ms N] watch [--interval-ms N]\n"
    "\n"
    "Sends {\"method\": METHOD, \"apiVersion\": \"1\", \"params\": PARAMS_JSON} to the running\n"
    "velmora-station (local endpoint \"Tarnwick_CliIpc_v1\" below $TMPDIR) and prints the\n"
    "response envelope as indented JSON. PARAMS_JSON must be a JSON object (default {}).\n"
    "'watch' redraws the active vehicle's telemetry and active alerts until Ctrl+C.\n"
    "\n"
    "Options:\n"
    "  --timeout-ms N    wait at most N ms for each response (default 10000)\n"
    "  --interval-ms N   watch refresh interval, at least 100 (default 1000)\n"
    "  -h, --help        show this text\n"
    "\n"
    "Examples:\n"
    "  velmora-cli system.ping\n"
    "  velmora-cli connection.connect '{\"type\": \"udp\", \"sendPort\": 14550, \"recvPort\": 14551}'\n"
    "  velmora-cli vehicle.list\n"
    "  velmora-cli control.command '{\"action\": \"takeoff\", \"alt\": 20, \"vel\": 3, \"vehicleId\": 1}'\n"
    "  velmora-cli watch --interval-ms 500\n"
    "\n"
    "Exit status: 0 when \"ok\" is true, 1 for an error envelope, 2 when no station answers,\n"
    "the response does not arrive in time, or the arguments are bad.\n";

volatile std::sig_atomic_t g_interrupted = 0;

void handleInterrupt(int)
{
    g_interrupted = 1;
}

int usageError(const std::string& text)
{
    std::cerr << "velmora-cli: " << text << "\nTry 'velmora-cli --help'.\n";
    return 2;
}

bool parsePositive(const QString& text, int minimum, int& value)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < minimum)
        return false;
    value = v;
    return true;
}

int runWatch(int intervalMs, int timeoutMs)
{
    struct sigaction action = {};
    action.sa_handler = handleInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    const json noParams = json::object();
    while (!g_interrupted) {
        const auto snapshot = CliIpcClient::send(CliIpcClient::makeRequest("telemetry.snapshot", noParams), timeoutMs);
        const auto alerts = CliIpcClient::send(CliIpcClient::makeRequest("alerts.active", noParams), timeoutMs);
        if (g_interrupted)
            break;
        std::cout << "\x1b[2J\x1b[H" << CliWatchView::render(snapshot.envelope, alerts.envelope, intervalMs)
                  << std::flush;
        // Short slices so that Ctrl+C ends the view promptly.
        for (int waited = 0; waited < intervalMs && !g_interrupted; waited += 50)
            QThread::msleep(unsigned(qMin(50, intervalMs - waited)));
    }
    std::cout << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    int timeoutMs = 10000;
    while (!args.isEmpty() && args.first().startsWith("-")) {
        const QString option = args.takeFirst();
        if (option == "-h" || option == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (option != "--timeout-ms")
            return usageError("unknown option " + option.toStdString());
        if (args.isEmpty() || !parsePositive(args.takeFirst(), 1, timeoutMs))
            return usageError("--timeout-ms needs a positive number of milliseconds");
    }
    if (args.isEmpty())
        return usageError("missing METHOD");

    const QString method = args.takeFirst();
    if (method == "watch") {
        int intervalMs = 1000;
        while (!args.isEmpty()) {
            const QString option = args.takeFirst();
            if (option != "--interval-ms")
                return usageError("unknown watch argument " + option.toStdString());
            if (args.isEmpty() || !parsePositive(args.takeFirst(), 100, intervalMs))
                return usageError("--interval-ms needs a number of milliseconds, at least 100");
        }
        return runWatch(intervalMs, timeoutMs);
    }

    if (args.size() > 1)
        return usageError("too many arguments; PARAMS_JSON must be a single argument (quote it)");
    json params = json::object();
    if (!args.isEmpty()) {
        const QByteArray text = args.first().toUtf8();
        try {
            params = json::parse(text.constBegin(), text.constEnd());
        } catch (const json::exception& e) {
            return usageError(std::string("PARAMS_JSON is not valid JSON: ") + e.what());
        }
        if (!params.is_object())
            return usageError("PARAMS_JSON must be a JSON object, for example '{\"vehicleId\": 1}'");
    }

    const json request = CliIpcClient::makeRequest(method.toStdString(), std::move(params));
    const auto result = CliIpcClient::send(request, timeoutMs);
    std::cout << result.envelope.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
    if (result.outcome != CliIpcClient::Outcome::Answered)
        return 2;
    const json& envelope = result.envelope;
    const bool ok = envelope.is_object() && envelope.contains("ok") && envelope["ok"] == true;
    return ok ? 0 : 1;
}
