#include "CliAccountCommands.h"

#include "CliIpcClient.h"
#include "CliReadable.h"

#include <QDeadlineTimer>
#include <QThread>

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <iostream>
#include <string>

using nlohmann::json;

namespace {

constexpr int kOutcomeWaitMs = 15000;
constexpr int kPollMs = 200;

int usageError(const std::string& text)
{
    std::cerr << "velmora-cli: " << text << "\nTry 'velmora-cli --help'.\n";
    return 2;
}

// The account's state in a line: what the command changed. The whole status with --json.
void printStatus(const json& last, int timeoutMs, bool remote = false)
{
    if (CliReadable::jsonMode() || !last.is_object() || last.value("ok", false) != true || !last.contains("data")) {
        CliReadable::print("account.status", last, timeoutMs);
        return;
    }
    const json& d = last["data"];
    const json watch = d.value("remoteMonitor", json::object());
    auto text = [](const json& v) { return v.is_string() ? v.get<std::string>() : std::string("-"); };
    std::string line = d.value("loggedIn", false) ? "logged in, user " + text(d.value("uid", json())) + ", team " +
                                                        text(d.value("teamCode", json()))
                                                  : "logged out";
    const json login = d.value("operations", json::object()).value("login", json::object()).value("lastCode", json());
    if (!d.value("loggedIn", false) && login.is_number() && login != 200)
        line += " (last login answered " + login.dump() + ")";
    if (watch.value("active", false))
        line += ", watching " + text(watch.value("vehicleCode", json())) + " (" +
                std::to_string(watch.value("messagesReceived", 0)) + " messages)";
    else if (remote)
        line += ", watching no vehicle";
    std::cout << line << std::endl;
}

bool isOk(const json& envelope)
{
    return envelope.is_object() && envelope.value("ok", false) == true && envelope.contains("data");
}

// Sends one request; prints a refusal. 0 accepted, 1 refused, 2 no answer.
int send(const std::string& method, const json& params, int timeoutMs, json& data)
{
    const auto reply = CliIpcClient::send(CliIpcClient::makeRequest(method, params), timeoutMs);
    if (isOk(reply.envelope)) {
        data = reply.envelope["data"];
        return 0;
    }
    CliReadable::print(method, reply.envelope, timeoutMs);
    return reply.outcome == CliIpcClient::Outcome::Answered ? 1 : 2;
}

// Polls account.status until done(data) holds; `last` is the last envelope. 0 done, 2 not.
int followStatus(const std::function<bool(const json&)>& done, int timeoutMs, json& last)
{
    QDeadlineTimer deadline(kOutcomeWaitMs);
    while (true) {
        const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("account.status", json::object()), timeoutMs);
        last = reply.envelope;
        if (!isOk(last))
            return 2;
        if (done(last["data"]))
            return 0;
        if (deadline.hasExpired()) {
            std::cerr << "velmora-cli: no outcome after " << kOutcomeWaitMs / 1000 << " s\n";
            return 2;
        }
        QThread::msleep(kPollMs);
    }
}

bool idle(const json& data, const char* operation)
{
    return !data.value("operations", json::object()).value(operation, json::object()).value("pending", true);
}

std::string readPassword()
{
    if (const char* env = std::getenv("VELMORA_PASSWORD"); env && *env)
        return env;
    std::string line;
    if (::isatty(STDIN_FILENO) != 1) {
        std::getline(std::cin, line);
    } else {
        std::cerr << "Password: " << std::flush;
        termios saved{};
        const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios silent = saved;
            silent.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        std::getline(std::cin, line);
        if (quiet)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int login(const QStringList& args, int timeoutMs)
{
    if (args.size() != 1 || args.first().isEmpty() || args.first().startsWith("-"))
        return usageError("login needs the account's EMAIL");
    const std::string password = readPassword();
    if (password.empty())
        return usageError("login needs a password on standard input or in VELMORA_PASSWORD");
    json data;
    if (const int code =
            send("account.login", {{"email", args.first().toStdString()}, {"password", password}}, timeoutMs, data))
        return code;
    json last;
    const int code = followStatus([](const json& d) { return idle(d, "login"); }, timeoutMs, last);
    printStatus(last, timeoutMs);
    return code != 0 ? code : last["data"].value("loggedIn", false) ? 0 : 1;
}

int logout(int timeoutMs)
{
    json data, last;
    if (const int code = send("account.logout", json::object(), timeoutMs, data))
        return code;
    const int code = followStatus([](const json& d) { return !d.value("loggedIn", true); }, timeoutMs, last);
    printStatus(last, timeoutMs);
    return code;
}

void printVehicles(const json& vehicles)
{
    size_t codeWidth = 4, nameWidth = 4;
    for (const json& v : vehicles) {
        codeWidth = std::max(codeWidth, v.value("vehicleCode", "").size());
        nameWidth = std::max(nameWidth, v.value("name", "").size());
    }
    std::cout << std::left << std::setw(int(codeWidth)) << "CODE"
              << "  " << std::setw(int(nameWidth)) << "NAME"
              << "  LOCAL ID\n";
    for (const json& v : vehicles)
        std::cout << std::setw(int(codeWidth)) << v.value("vehicleCode", "") << "  " << std::setw(int(nameWidth))
                  << v.value("name", "") << "  " << v.value("vehicleLocalId", 0) << "\n";
    std::cout << vehicles.size() << (vehicles.size() == 1 ? " vehicle" : " vehicles") << std::endl;
}

int vehicles(int timeoutMs)
{
    json data, last;
    if (const int code = send("account.vehicles.refresh", json::object(), timeoutMs, data))
        return code;
    if (const int code = followStatus([](const json& d) { return idle(d, "vehiclesRefresh"); }, timeoutMs, last)) {
        printStatus(last, timeoutMs);
        return code;
    }
    const json answer = last["data"]["operations"]["vehiclesRefresh"]["lastCode"];
    if (answer != 200) {
        printStatus(last, timeoutMs);
        std::cerr << "velmora-cli: the vehicle list was not refreshed (code " << answer.dump() << ")\n";
        return 1;
    }
    if (const int code = send("account.vehicles.list", json::object(), timeoutMs, data))
        return code;
    printVehicles(data.value("vehicles", json::array()));
    return 0;
}

int remote(const QStringList& args, int timeoutMs)
{
    if (args.size() != 1 || args.first().isEmpty())
        return usageError("remote needs a vehicle CODE or --stop");
    const bool stop = args.first() == "--stop";
    if (!stop && args.first().startsWith("-"))
        return usageError("unknown remote argument " + args.first().toStdString());
    json data, last;
    const std::string code = args.first().toStdString();
    if (const int sent = stop ? send("remote.stop", json::object(), timeoutMs, data)
                              : send("remote.start", {{"vehicleCode", code}}, timeoutMs, data))
        return sent;
    const int result = followStatus(
        [&](const json& d) {
            const json watch = d.value("remoteMonitor", json::object());
            return stop ? !watch.value("active", true)
                        : watch.value("active", false) && watch.value("vehicleCode", json()) == code;
        },
        timeoutMs, last);
    printStatus(last, timeoutMs, true);
    return result;
}

}  // namespace

namespace CliAccountCommands {

bool handles(const QString& command)
{
    return command == "login" || command == "logout" || command == "vehicles" || command == "remote";
}

int run(const QString& command, const QStringList& args, int timeoutMs)
{
    if (command == "login")
        return login(args, timeoutMs);
    if (command == "remote")
        return remote(args, timeoutMs);
    if (!args.isEmpty())
        return usageError(command.toStdString() + " takes no arguments");
    return command == "logout" ? logout(timeoutMs) : vehicles(timeoutMs);
}

}  // namespace CliAccountCommands
