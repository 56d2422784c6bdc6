// velmora-cli: the command-line client of the station's local CLI endpoint.
// Exit codes: 0 for an "ok" response, 1 for an error envelope, 2 when no station answers, the
// reply times out, or the arguments are bad. "control.command --wait" exits 0 only when every
// target vehicle accepted the command, 1 when one refused it, 2 when one timed out; "params"
// likewise for its read or write; "mission.upload|mission.download --wait" 0 when the transfer
// ended with result 0, 1 for any other result (and for a download that found no route on the
// vehicle), 2 when it did not end in time; the account
// commands (login, logout, vehicles, remote) 0 done, 1 refused or failed, 2 no outcome in time.

#include "CliAccountCommands.h"
#include "CliIpcClient.h"
#include "CliReadable.h"
#include "CliWatchView.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  velmora-cli [--timeout-ms N] [--endpoint PATH] [--json] METHOD [PARAMS_JSON]\n"
    "  velmora-cli [--timeout-ms N] control.command PARAMS_JSON --wait [--timeout-s N]\n"
    "  velmora-cli [--timeout-ms N] mission.upload|mission.download [PARAMS_JSON] [--verify] --wait [--timeout-s N]\n"
    "  velmora-cli [--timeout-ms N] watch [--interval-ms N] [--vehicle-id N]\n"
    "  velmora-cli [--timeout-ms N] console [--follow]\n"
    "  velmora-cli [--timeout-ms N] params GROUP [--vehicle-id N] [NAME=VALUE...]\n"
    "  velmora-cli [--timeout-ms N] firmware-update FILE [--vehicle-id N | --vehicle-code C]\n"
    "  velmora-cli [--timeout-ms N] login EMAIL\n"
    "  velmora-cli [--timeout-ms N] logout | vehicles | remote CODE | remote --stop\n"
    "  velmora-cli [--timeout-ms N] help [METHOD]\n"
    "  velmora-cli --version\n"
    "\n"
    "Sends {\"method\": METHOD, \"apiVersion\": \"1\", \"params\": PARAMS_JSON} to the running\n"
    "velmora-station (local endpoint \"Tarnwick_CliIpc_v1\", see --endpoint) and prints a short\n"
    "answer: a line or a table, errors on stderr as \"error CODE: message\". With --json it\n"
    "prints the response envelope as indented JSON instead. PARAMS_JSON must be a JSON object\n"
    "(default {}).\n"
    "'watch' redraws a vehicle's telemetry, link state and active alerts until Ctrl+C.\n"
    "'console' prints the station's operator console lines; --follow keeps printing new ones.\n"
    "'params' reads a parameter group (waiting up to 10 s) and prints name, value and unit per\n"
    "line; with NAME=VALUE arguments it changes those parameters and waits for the write.\n"
    "'help' lists the station's methods and their parameters.\n"
    "'firmware-update' sends an image file to a vehicle and follows it with firmware.status every\n"
    "250 ms until it ends; exit 0 only when the vehicle verified the image.\n"
    "'login' logs the station in to its cloud account; the password comes from VELMORA_PASSWORD,\n"
    "else from standard input (typed without echo on a terminal). 'logout' ends the session and\n"
    "any remote monitoring. 'vehicles' refreshes the account's vehicle list and prints it.\n"
    "'remote CODE' watches that vehicle through the cloud broker; 'remote --stop' ends it. Each\n"
    "waits up to 15 s for its outcome (account.status) and prints it.\n"
    "'--wait' follows a control command with command.status until every vehicle answered, and a\n"
    "route upload or download with mission.status until it finished (exit 0 only for success;\n"
    "a download that finds no route on the vehicle exits 1). '--verify' (mission.upload) reads\n"
    "the route back after the upload and compares it with what was sent.\n"
    "\n"
    "Options:\n"
    "  --timeout-ms N    wait at most N ms for each response (default 10000)\n"
    "  --endpoint PATH   the station's endpoint socket (default: the first of\n"
    "                    $XDG_RUNTIME_DIR/velmora, /run/velmora (the system's service; its\n"
    "                    operators are in the group velmora), $TMPDIR/velmora-UID and $TMPDIR\n"
    "                    that holds Tarnwick_CliIpc_v1; a station started with --endpoint-dir\n"
    "                    DIR listens on DIR/Tarnwick_CliIpc_v1). An endpoint of another user\n"
    "                    than you, root or velmora is refused\n"
    "  --json            print every answer as the response envelope (JSON), anywhere on the line\n"
    "  --interval-ms N   watch refresh interval, at least 100 (default 1000)\n"
    "  --vehicle-id N    watch this vehicle instead of the active one\n"
    "  --timeout-s N     --wait gives up after N seconds (default 30)\n"
    "  -h, --help        show this text\n"
    "\n"
    "Examples:\n"
    "  velmora-cli system.ping\n"
    "  velmora-cli connection.connect '{\"type\": \"udp\", \"sendPort\": 14550, \"recvPort\": 14551}'\n"
    "  velmora-cli vehicle.list\n"
    "  velmora-cli control.command '{\"action\": \"takeoff\", \"alt\": 20, \"vel\": 3, \"vehicleId\": 1}'\n"
    "  velmora-cli control.command '{\"action\": \"land\"}' --wait\n"
    "  velmora-cli watch --interval-ms 500 --vehicle-id 2\n"
    "  velmora-cli console --follow\n"
    "  velmora-cli params stab\n"
    "  velmora-cli params basic maxFlyAlt=120 returnAltitudeM=60 --vehicle-id 2\n"
    "  velmora-cli login pilot@example.com\n"
    "  velmora-cli vehicles\n"
    "  velmora-cli remote VC-0001\n"
    "\n"
    "Exit status: 0 when \"ok\" is true, 1 for an error envelope, 2 when no station answers,\n"
    "the response does not arrive in time, or the arguments are bad.\n";

volatile std::sig_atomic_t g_interrupted = 0;

void handleInterrupt(int)
{
    g_interrupted = 1;
}

void catchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = handleInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// Sleeps in short slices so that Ctrl+C is noticed promptly.
void pause(int ms)
{
    for (int waited = 0; waited < ms && !g_interrupted; waited += 50)
        QThread::msleep(unsigned(qMin(50, ms - waited)));
}

bool isOk(const json& envelope)
{
    return envelope.is_object() && envelope.value("ok", false) == true && envelope.contains("data");
}

// The last mission.status of a transfer: the outcome of `kind` in a line, or the envelope.
void printTransfer(const std::string& kind, const json& last, int timeoutMs)
{
    if (CliReadable::jsonMode() || !isOk(last))
        CliReadable::print("mission.status", last, timeoutMs);
    else
        std::cout << CliReadable::transferOutcome(kind, last["data"][kind]) << std::flush;
}

// After an "Unsupported ..." refusal: the values the station allows for the method's parameters
// (the one the message names, else every parameter with a fixed set), on stderr.
void printAllowedValues(const std::string& method, const json& envelope, int timeoutMs)
{
    const std::string message = envelope.is_object() ? envelope.value("message", "") : "";
    if (message.rfind("Unsupported", 0) != 0)
        return;
    const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("system.methods", json::object()), timeoutMs);
    if (!isOk(reply.envelope))
        return;
    std::vector<json> choices;
    for (const json& m : reply.envelope["data"].value("methods", json::array()))
        if (m.value("name", "") == method)
            for (const json& p : m.value("params", json::array()))
                if (p.contains("allowed"))
                    choices.push_back(p);
    const auto named = std::find_if(choices.begin(), choices.end(), [&](const json& p) {
        return message.find(p.value("name", "")) != std::string::npos;
    });
    if (named != choices.end())
        choices = {*named};
    for (const json& p : choices) {
        std::string values;
        for (const json& v : p["allowed"])
            values += (values.empty() ? "" : ", ") + v.get<std::string>();
        std::cerr << "hint: " << p.value("name", "") << " is one of: " << values << "\n";
    }
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

int runWatch(int intervalMs, int timeoutMs, const json& selector)
{
    catchInterrupts();
    while (!g_interrupted) {
        const auto snapshot = CliIpcClient::send(CliIpcClient::makeRequest("telemetry.snapshot", selector), timeoutMs);
        const auto alerts = CliIpcClient::send(CliIpcClient::makeRequest("alerts.active", selector), timeoutMs);
        if (g_interrupted)
            break;
        std::cout << "\x1b[2J\x1b[H" << CliWatchView::render(snapshot.envelope, alerts.envelope, intervalMs)
                  << std::flush;
        pause(intervalMs);
    }
    std::cout << "\n";
    return 0;
}

// Polls command.status until the request is no longer pending; `last` is the last answer.
// 0: every vehicle accepted, 1: one refused, 2: timed out, still pending or no answer.
int followRequest(int64_t requestId, int waitSeconds, int timeoutMs, json& last)
{
    catchInterrupts();
    QDeadlineTimer deadline(qint64(waitSeconds) * 1000);
    const json request = CliIpcClient::makeRequest("command.status", {{"requestId", requestId}});
    while (true) {
        const auto status = CliIpcClient::send(request, timeoutMs);
        last = status.envelope;
        if (status.outcome != CliIpcClient::Outcome::Answered || !isOk(status.envelope))
            return 2;
        const json& data = status.envelope["data"];
        const std::string state = data.value("state", "");
        if (state != "pending") {
            if (state != "done")
                return 2;
            for (const json& r : data.value("results", json::array()))
                if (r.value("code", -1) != 0)
                    return 1;
            return 0;
        }
        if (deadline.hasExpired() || g_interrupted) {
            std::cerr << "velmora-cli: request " << requestId << " still pending after " << waitSeconds << " s\n";
            return 2;
        }
        pause(200);
    }
}

// A route transfer's "finished" count in mission.status, or -1 without an answer.
int64_t transfersFinished(const std::string& kind, int timeoutMs, json* last = nullptr)
{
    const auto status = CliIpcClient::send(CliIpcClient::makeRequest("mission.status", json::object()), timeoutMs);
    if (last)
        *last = status.envelope;
    if (status.outcome != CliIpcClient::Outcome::Answered || !isOk(status.envelope))
        return -1;
    return status.envelope["data"][kind].value("finished", int64_t(-1));
}

// Polls mission.status until the transfer's "finished" count passes `before`, then prints the
// last answer. 0: the transfer succeeded, 1: it failed, 2: timed out or no answer.
int followTransfer(const std::string& kind, int64_t before, int waitSeconds, int timeoutMs)
{
    catchInterrupts();
    QDeadlineTimer deadline(qint64(waitSeconds) * 1000);
    json last;
    while (true) {
        const int64_t finished = transfersFinished(kind, timeoutMs, &last);
        if (finished < 0) {
            printTransfer(kind, last, timeoutMs);
            return 2;
        }
        if (finished > before) {
            printTransfer(kind, last, timeoutMs);
            const json& outcome = last["data"][kind];
            if (outcome.value("lastResult", json()) != 0) {
                if (outcome.contains("verify") && outcome["verify"].value("state", "") == "differs")
                    std::cerr << "velmora-cli: the vehicle's route differs from the upload: "
                              << outcome["verify"].value("difference", std::string("?")) << "\n";
                return 1;
            }
            if (kind == "download" && outcome.value("wayPointCount", -1) == 0) {
                std::cerr << "velmora-cli: the vehicle holds no route\n";
                return 1;
            }
            return 0;
        }
        if (deadline.hasExpired() || g_interrupted) {
            if (CliReadable::jsonMode())
                printTransfer(kind, last, timeoutMs);
            std::cerr << "velmora-cli: route " << kind << " still running after " << waitSeconds << " s\n";
            return 2;
        }
        pause(200);
    }
}

// Prints the last command.status envelope.
int waitForOutcome(int64_t requestId, int waitSeconds, int timeoutMs)
{
    json last;
    const int code = followRequest(requestId, waitSeconds, timeoutMs, last);
    CliReadable::print("command.status", last, timeoutMs);
    return code;
}

// Sends a request whose answer carries a requestId and follows it; prints only failures.
int sendAndFollow(const std::string& method, const json& params, int waitSeconds, int timeoutMs)
{
    const auto reply = CliIpcClient::send(CliIpcClient::makeRequest(method, params), timeoutMs);
    if (!isOk(reply.envelope)) {
        CliReadable::print(method, reply.envelope, timeoutMs);
        if (reply.outcome != CliIpcClient::Outcome::Answered)
            return 2;
        printAllowedValues(method, reply.envelope, timeoutMs);
        return 1;
    }
    json last;
    const int code = followRequest(reply.envelope["data"].value("requestId", int64_t(0)), waitSeconds, timeoutMs, last);
    if (code != 0)
        CliReadable::print("command.status", last, timeoutMs);
    return code;
}

// params GROUP [NAME=VALUE...]: without assignments reads the group and prints it, with them
// changes those fields and writes the group.
int runParams(const std::string& group, const QStringList& assignments, json selector, int timeoutMs)
{
    constexpr int kReadWaitS = 10;
    constexpr int kWriteWaitS = 15;  // three sends of 2 s each, and room to spare
    selector["group"] = group;
    if (!assignments.isEmpty()) {
        json values = json::object();
        for (const QString& a : assignments) {
            const qsizetype eq = a.indexOf('=');
            bool ok = false;
            const double value = eq > 0 ? a.mid(eq + 1).toDouble(&ok) : 0;
            if (!ok)
                return usageError("expected NAME=NUMBER, got " + a.toStdString());
            values[a.left(eq).toStdString()] = value;
        }
        json params = selector;
        params["values"] = std::move(values);
        const int code = sendAndFollow("params.set", params, kWriteWaitS, timeoutMs);
        if (code == 0)
            std::cout << "written\n";
        return code;
    }
    if (const int code = sendAndFollow("params.read", selector, kReadWaitS, timeoutMs); code != 0)
        return code;
    const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("params.get", selector), timeoutMs);
    if (!isOk(reply.envelope)) {
        CliReadable::print("params.get", reply.envelope, timeoutMs);
        return reply.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
    }
    const json& data = reply.envelope["data"];
    const json units = data.value("units", json::object());
    for (const auto& [name, value] : data["values"].items()) {
        const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        std::cout << std::left << std::setw(28) << name << " " << std::setw(14) << text << " " << units.value(name, "")
                  << "\n";
    }
    std::cout << std::flush;
    return 0;
}

void printConsoleLines(const json& data)
{
    for (const json& line : data.value("lines", json::array())) {
        std::cout << line.value("seq", 0) << "  " << line.value("time", "") << "  " << line.value("level", "") << "  "
                  << line.value("text", "") << "\n";
    }
    std::cout << std::flush;
}

int runConsole(bool follow, int timeoutMs)
{
    catchInterrupts();
    json params = json::object();
    while (true) {
        const auto tail = CliIpcClient::send(CliIpcClient::makeRequest("console.tail", params), timeoutMs);
        if (!isOk(tail.envelope)) {
            CliReadable::print("console.tail", tail.envelope, timeoutMs);
            return tail.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
        }
        printConsoleLines(tail.envelope["data"]);
        if (!follow)
            return 0;
        params = {{"since", tail.envelope["data"].value("nextSeq", 0)}};
        pause(500);
        if (g_interrupted)
            return 0;
    }
}

std::string describeParam(const json& p)
{
    std::string text = "    " + p.value("name", "") + " (" + p.value("type", "") +
                       (p.value("required", false) ? ", required" : "") + ")";
    if (p.contains("allowed")) {
        std::string values;
        for (const json& v : p["allowed"])
            values += (values.empty() ? "" : "|") + v.get<std::string>();
        text += " one of " + values;
    }
    return text + ": " + p.value("description", "");
}

int runHelp(const QString& method, int timeoutMs)
{
    const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("system.methods", json::object()), timeoutMs);
    if (!isOk(reply.envelope)) {
        CliReadable::print("system.methods", reply.envelope, timeoutMs);
        return reply.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
    }
    bool found = false;
    for (const json& m : reply.envelope["data"].value("methods", json::array())) {
        const std::string name = m.value("name", "");
        if (!method.isEmpty() && method.toStdString() != name)
            continue;
        found = true;
        std::cout << name << "  " << m.value("description", "") << "\n";
        for (const json& p : m.value("params", json::array()))
            std::cout << describeParam(p) << "\n";
    }
    if (!found) {
        std::cerr << "velmora-cli: the station has no method " << method.toStdString() << "\n";
        return 1;
    }
    return 0;
}

// firmware-update FILE: starts the update, then polls firmware.status with the update's own
// requestId until it has ended, so a link cycle (the vehicle rejoins as a new object) does not
// lose it. On a terminal one line is redrawn; otherwise a line per step and per 10 % of the frames.
int runFirmwareUpdate(const QString& file, json params, int timeoutMs)
{
    catchInterrupts();
    params["path"] = QFileInfo(file).absoluteFilePath().toStdString();
    const auto start = CliIpcClient::send(CliIpcClient::makeRequest("firmware.update", params), timeoutMs);
    if (!isOk(start.envelope)) {
        CliReadable::print("firmware.update", start.envelope, timeoutMs);
        return start.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
    }
    const json& started = start.envelope["data"];
    const json requestId = started.value("requestId", json());
    if (!requestId.is_number_integer())
        return usageError("the station's answer carries no requestId to follow");
    std::cout << "image: " << started.value("totalSize", 0) << " bytes, " << started.value("frameCount", 0)
              << " frames, sha256 " << started.value("sha256", "") << ", requestId " << requestId.get<int64_t>()
              << std::endl;
    const json selector = {{"requestId", requestId}};
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::string lastStep;
    int lastTenth = -1;
    while (true) {
        const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("firmware.status", selector), timeoutMs);
        if (!isOk(reply.envelope)) {
            CliReadable::print("firmware.status", reply.envelope, timeoutMs);
            return reply.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
        }
        const json& d = reply.envelope["data"];
        const std::string step = d.value("step", "");
        const double percent = d.value("percent", 0.0);
        const json eta = d.value("etaSeconds", json());
        const std::string etaText = eta.is_number() ? std::to_string(int64_t(eta.get<double>() + 0.5)) + " s" : "-";
        char line[200];
        std::snprintf(line, sizeof line, "%s  %d%%  %d/%d frames  %.0f B/s  eta %s", step.c_str(), int(percent),
                      d.value("framesAcked", 0), d.value("frameCount", 0), d.value("bytesPerSecond", 0.0),
                      etaText.c_str());
        if (terminal) {
            std::cout << "\r\x1b[K" << line << std::flush;
        } else if (step != lastStep || int(percent) / 10 != lastTenth) {
            std::cout << line << std::endl;
        }
        lastStep = step;
        lastTenth = int(percent) / 10;
        if (!d.value("running", true) && d.contains("result") && d["result"].is_string()) {
            if (terminal)
                std::cout << "\n";
            std::cout << "result: " << d["result"].get<std::string>() << " (" << d.value("resultCode", -1) << ")"
                      << std::endl;
            return d["result"] == "Success" ? 0 : 1;
        }
        if (g_interrupted) {
            std::cerr << "\nvelmora-cli: interrupted; the update goes on in the station\n";
            return 2;
        }
        pause(250);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    // Anywhere, so that it can be added to any command line; watch keeps its own view.
    CliReadable::setJsonMode(args.removeAll("--json") > 0);

    int timeoutMs = 10000;
    while (!args.isEmpty() && args.first().startsWith("-")) {
        const QString option = args.takeFirst();
        if (option == "-h" || option == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (option == "--version") {
            std::cout << "velmora-cli " << VELMORA_CLI_VERSION << "\n";
            return 0;
        }
        if (option == "--endpoint") {
            if (args.isEmpty() || args.first().isEmpty())
                return usageError("--endpoint needs the path of the station's endpoint socket");
            CliIpcClient::setEndpoint(args.takeFirst());
            continue;
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
        json selector = json::object();
        while (!args.isEmpty()) {
            const QString option = args.takeFirst();
            if (option == "--interval-ms") {
                if (args.isEmpty() || !parsePositive(args.takeFirst(), 100, intervalMs))
                    return usageError("--interval-ms needs a number of milliseconds, at least 100");
            } else if (option == "--vehicle-id") {
                int id = 0;
                if (args.isEmpty() || !parsePositive(args.takeFirst(), 0, id))
                    return usageError("--vehicle-id needs a vehicle id");
                selector["vehicleId"] = id;
            } else {
                return usageError("unknown watch argument " + option.toStdString());
            }
        }
        return runWatch(intervalMs, timeoutMs, selector);
    }
    if (method == "console") {
        const bool follow = !args.isEmpty() && args.first() == "--follow";
        if (args.size() > (follow ? 1 : 0))
            return usageError("unknown console argument " + args.last().toStdString());
        return runConsole(follow, timeoutMs);
    }
    if (method == "params") {
        if (args.isEmpty() || args.first().startsWith("-"))
            return usageError("params needs a GROUP");
        const std::string group = args.takeFirst().toStdString();
        json selector = json::object();
        QStringList assignments;
        while (!args.isEmpty()) {
            const QString arg = args.takeFirst();
            if (arg == "--vehicle-id") {
                int id = 0;
                if (args.isEmpty() || !parsePositive(args.takeFirst(), 0, id))
                    return usageError("--vehicle-id needs a vehicle id");
                selector["vehicleId"] = id;
            } else {
                assignments << arg;
            }
        }
        return runParams(group, assignments, selector, timeoutMs);
    }
    if (method == "firmware-update") {
        if (args.isEmpty() || args.first().startsWith("-"))
            return usageError("firmware-update needs a FILE");
        const QString file = args.takeFirst();
        json selector = json::object();
        while (!args.isEmpty()) {
            const QString option = args.takeFirst();
            if (option == "--vehicle-id") {
                int id = 0;
                if (args.isEmpty() || !parsePositive(args.takeFirst(), 0, id))
                    return usageError("--vehicle-id needs a vehicle id");
                selector["vehicleId"] = id;
            } else if (option == "--vehicle-code") {
                if (args.isEmpty() || args.first().isEmpty())
                    return usageError("--vehicle-code needs a vehicle code");
                selector["vehicleCode"] = args.takeFirst().toStdString();
            } else {
                return usageError("unknown firmware-update argument " + option.toStdString());
            }
        }
        return runFirmwareUpdate(file, selector, timeoutMs);
    }
    if (CliAccountCommands::handles(method))
        return CliAccountCommands::run(method, args, timeoutMs);
    if (method == "help") {
        if (args.size() > 1)
            return usageError("help takes at most one METHOD");
        return runHelp(args.isEmpty() ? QString() : args.first(), timeoutMs);
    }

    // Options after PARAMS_JSON: --wait [--timeout-s N], for control.command only.
    bool wait = false;
    bool verify = false;
    int waitSeconds = 30;
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] == "--wait") {
            wait = true;
            args.removeAt(i);
        } else if (args[i] == "--verify") {
            verify = true;
            args.removeAt(i);
        } else if (args[i] == "--timeout-s") {
            if (i + 1 >= args.size() || !parsePositive(args[i + 1], 1, waitSeconds))
                return usageError("--timeout-s needs a positive number of seconds");
            args.remove(i, 2);
        } else {
            ++i;
        }
    }
    const bool transfer = method == "mission.upload" || method == "mission.download";
    if (wait && method != "control.command" && !transfer)
        return usageError("--wait applies to control.command, mission.upload and mission.download only");
    const std::string transferKind = method == "mission.upload" ? "upload" : "download";
    int64_t finishedBefore = 0;
    if (wait && transfer) {
        finishedBefore = transfersFinished(transferKind, timeoutMs);
        if (finishedBefore < 0)
            return usageError("mission.status did not answer; is the station running?");
    }

    if (args.size() > 1)
        return usageError("too many arguments; PARAMS_JSON must be a single argument (quote it)");
    json params = json::object();
    if (!args.isEmpty()) {
        const QByteArray text = args.first().toUtf8();
        try {
            params = json::parse(text.constBegin(), text.constEnd());
        } catch (const json::exception& e) {
            // The parser quotes what it last read, which may be a password.
            const std::string what = e.what();
            return usageError("PARAMS_JSON is not valid JSON: " + what.substr(0, what.find("; last read:")));
        }
        if (!params.is_object())
            return usageError("PARAMS_JSON must be a JSON object, for example '{\"vehicleId\": 1}'");
    }
    if (verify) {
        if (method != "mission.upload")
            return usageError("--verify applies to mission.upload only");
        params["verify"] = true;
    }

    // The station resolves nothing against the caller's directory.
    if (method == "firmware.update" && params.contains("path") && params["path"].is_string())
        params["path"] =
            QFileInfo(QString::fromStdString(params["path"].get<std::string>())).absoluteFilePath().toStdString();
    const json request = CliIpcClient::makeRequest(method.toStdString(), std::move(params));
    const auto result = CliIpcClient::send(request, timeoutMs);
    const json& envelope = result.envelope;
    const bool ok = envelope.is_object() && envelope.contains("ok") && envelope["ok"] == true;
    // With --wait only the final command.status answer is printed, so scripts read one document.
    if (!wait || !ok)
        CliReadable::print(method.toStdString(), envelope, timeoutMs);
    if (!ok && result.outcome == CliIpcClient::Outcome::Answered)
        printAllowedValues(method.toStdString(), envelope, timeoutMs);
    if (result.outcome != CliIpcClient::Outcome::Answered)
        return 2;
    if (!ok)
        return 1;
    if (!wait)
        return 0;
    if (transfer)
        return followTransfer(transferKind, finishedBefore, waitSeconds, timeoutMs);
    const json id = envelope["data"].value("requestId", json());
    if (!id.is_number_integer())
        return usageError("the station's answer carries no requestId to wait for");
    return waitForOutcome(id.get<int64_t>(), waitSeconds, timeoutMs);
}
