#include "CliReadable.h"

#include "CliIpcClient.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <numeric>
#include <string_view>
#include <vector>

using nlohmann::json;

namespace {

bool g_json = false;

// Longer arrays are cut here, so that one answer never scrolls a screen away.
constexpr size_t kMaxRows = 20;
constexpr size_t kInlineWidth = 60;

bool isScalar(const json& v)
{
    return !v.is_structured();
}

bool isScalarList(const json& v)
{
    return v.is_array() && std::all_of(v.begin(), v.end(), isScalar);
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string scalar(const json& v)
{
    if (v.is_null())
        return "-";
    if (v.is_string())
        return v.get<std::string>().empty() ? "-" : v.get<std::string>();
    if (v.is_boolean())
        return v.get<bool>() ? "yes" : "no";
    if (v.is_number_float())
        return number(v.get<double>());
    return v.dump();
}

// One value in one table cell or after "key:": nesting is flattened, never shown as JSON.
std::string cell(const json& v)
{
    if (isScalar(v))
        return scalar(v);
    if (v.empty())
        return v.is_array() ? "none" : "-";
    if (isScalarList(v)) {
        std::string text;
        for (const json& e : v)
            text += (text.empty() ? "" : ", ") + scalar(e);
        return text;
    }
    if (v.is_object() && std::all_of(v.begin(), v.end(), isScalar)) {
        std::string text;
        for (const auto& [key, value] : v.items())
            text += (text.empty() ? "" : " ") + key + "=" + scalar(value);
        return text;
    }
    return std::to_string(v.size()) + (v.size() == 1 ? " entry" : " entries");
}

// Terminal columns of UTF-8 text: the station's texts are often CJK, two columns a character.
size_t columns(const std::string& text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80)
            continue;
        char32_t code = byte;
        if (byte >= 0xE0 && i + 2 < text.size())
            code = char32_t(byte & 0x0F) << 12 | char32_t(text[i + 1] & 0x3F) << 6 | char32_t(text[i + 2] & 0x3F);
        const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                          (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                          (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                          (code >= 0xFFE0 && code <= 0xFFE6);
        n += wide ? 2 : 1;
    }
    return n;
}

std::string pad(std::string text, size_t width)
{
    const size_t used = columns(text);
    return used < width ? text + std::string(width - used, ' ') : text;
}

std::string indentOf(int indent)
{
    return std::string(size_t(indent), ' ');
}

void rows(const std::vector<std::vector<std::string>>& table, int indent, std::string& out)
{
    std::vector<size_t> widths;
    for (const auto& row : table)
        for (size_t c = 0; c < row.size(); ++c) {
            widths.resize(std::max(widths.size(), row.size()), 0);
            widths[c] = std::max(widths[c], columns(row[c]));
        }
    for (const auto& row : table) {
        std::string line = indentOf(indent);
        for (size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? pad(row[c], widths[c] + 2) : row[c];
        out += line + "\n";
    }
}

void cutNote(size_t total, int indent, std::string& out)
{
    if (total > kMaxRows)
        out += indentOf(indent) + "... " + std::to_string(total - kMaxRows) + " more (--json shows all)\n";
}

// A code with its words beside it ("type" and "typeText") reads as the words, under the code's
// name; --json keeps both.
bool shownInWords(const json& object, const std::string& key)
{
    constexpr std::string_view kSuffix = "Text";
    return key.size() > kSuffix.size() && key.ends_with(kSuffix) &&
           object.contains(key.substr(0, key.size() - kSuffix.size()));
}

const json& wordsOf(const json& object, const std::string& key)
{
    const auto text = object.find(key + "Text");
    return text != object.end() && text->is_string() ? *text : object.at(key);
}

// An array of objects as a table with a column per key, in order of first appearance.
void objectTable(const json& list, int indent, std::string& out)
{
    std::vector<std::string> columns;
    for (const json& e : list)
        for (const auto& [key, value] : e.items())
            if (!shownInWords(e, key) && std::find(columns.begin(), columns.end(), key) == columns.end())
                columns.push_back(key);
    std::vector<std::vector<std::string>> table{columns};
    for (size_t i = 0; i < list.size() && i < kMaxRows; ++i) {
        std::vector<std::string> row;
        for (const std::string& c : columns)
            row.push_back(list[i].contains(c) ? cell(wordsOf(list[i], c)) : "-");
        table.push_back(std::move(row));
    }
    rows(table, indent, out);
    cutNote(list.size(), indent, out);
}

void block(const json& value, int indent, std::string& out);

// An "error" field that holds nothing says nothing on a success: not shown ("error: -" read as
// if something had gone wrong).
bool emptyError(const std::string& key, const json& value)
{
    return key == "error" && (value.is_null() || (value.is_string() && value.get<std::string>().empty()));
}

void objectLines(const json& object, int indent, std::string& out)
{
    size_t width = 0;
    for (const auto& [key, value] : object.items())
        if (!shownInWords(object, key))
            width = std::max(width, key.size() + 1);
    for (const auto& [key, rawValue] : object.items()) {
        if (emptyError(key, rawValue) || shownInWords(object, key))
            continue;
        const json& value = wordsOf(object, key);
        // A small flat object fits its line; a longer one reads better a field a line.
        const bool nested = value.is_object() ? !value.empty() && (!std::all_of(value.begin(), value.end(), isScalar) ||
                                                                   cell(value).size() > kInlineWidth)
                                              : value.is_array() && !isScalarList(value);
        if (!nested) {
            out += indentOf(indent) + pad(key + ":", width) + " " + cell(value) + "\n";
            continue;
        }
        out += indentOf(indent) + key + ":\n";
        block(value, indent + 2, out);
    }
}

void block(const json& value, int indent, std::string& out)
{
    if (value.is_object()) {
        objectLines(value, indent, out);
    } else if (value.is_array() &&
               std::all_of(value.begin(), value.end(), [](const json& e) { return e.is_object(); })) {
        objectTable(value, indent, out);
    } else if (value.is_array()) {
        for (size_t i = 0; i < value.size() && i < kMaxRows; ++i)
            out += indentOf(indent) + "- " + cell(value[i]) + "\n";
        cutNote(value.size(), indent, out);
    } else {
        out += indentOf(indent) + scalar(value) + "\n";
    }
}

std::string idList(const std::vector<std::string>& ids)
{
    std::string text;
    for (const std::string& id : ids)
        text += (text.empty() ? "" : ", ") + id;
    return text;
}

void printEnvelope(const json& envelope)
{
    std::cout << envelope.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
}

// Flight mode and state of each listed vehicle, from its snapshot: the list entry lacks them.
json snapshotsOf(const json& list, int timeoutMs)
{
    json snapshots = json::object();
    for (const json& v : list.value("vehicles", json::array())) {
        const bool remote = v.value("controllerType", "") == "Remote";
        const json selector =
            remote ? json{{"vehicleCode", v.value("vehicleCode", "")}} : json{{"vehicleId", v.value("vehicleId", 0)}};
        const auto reply = CliIpcClient::send(CliIpcClient::makeRequest("telemetry.snapshot", selector), timeoutMs);
        if (reply.envelope.is_object() && reply.envelope.value("ok", false))
            snapshots[remote ? v.value("vehicleCode", "") : std::to_string(v.value("vehicleId", 0))] =
                reply.envelope["data"];
    }
    return snapshots;
}

}  // namespace

namespace CliReadable {

void setJsonMode(bool on)
{
    g_json = on;
}

bool jsonMode()
{
    return g_json;
}

std::string ageText(const nlohmann::json& ageMs)
{
    if (!ageMs.is_number())
        return "never";
    const double s = ageMs.get<double>() / 1000.0;
    char text[32];
    if (s < 60)
        std::snprintf(text, sizeof text, "%.1f s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%.0f min", s / 60);
    else
        std::snprintf(text, sizeof text, "%.1f h", s / 3600);
    return text;
}

std::string errorLine(const nlohmann::json& envelope)
{
    if (!envelope.is_object())
        return "error: no answer\n";
    return "error " + cell(envelope.value("code", nlohmann::json())) + ": " + envelope.value("message", "") + "\n";
}

std::string commandOutcome(const nlohmann::json& status)
{
    // Vehicles grouped by what they answered, refusals by their text.
    std::vector<std::string> accepted;
    std::map<std::string, std::vector<std::string>> refused;
    std::vector<std::string> waiting;
    for (const nlohmann::json& id : status.value("vehicleIds", nlohmann::json::array()))
        waiting.push_back(scalar(id));
    for (const nlohmann::json& r : status.value("results", nlohmann::json::array())) {
        const std::string id = scalar(r.value("vehicleId", nlohmann::json()));
        std::erase(waiting, id);
        if (r.value("code", -1) == 0)
            accepted.push_back(id);
        else
            refused[r.value("text", "") + " (" + scalar(r.value("code", nlohmann::json())) + ")"].push_back(id);
    }
    const std::string action = status.value("action", "command");
    const std::string state = status.value("state", "");
    std::string out;
    if (!accepted.empty())
        out += action + " accepted by " + idList(accepted) + "\n";
    for (const auto& [text, ids] : refused)
        out += action + " refused by " + idList(ids) + ": " + text + "\n";
    if (!waiting.empty())
        out += action + (state == "pending" ? " waiting for " : " no answer from ") + idList(waiting) + "\n";
    const size_t total = accepted.size() + waiting.size() +
                         std::accumulate(refused.begin(), refused.end(), size_t(0),
                                         [](size_t n, const auto& group) { return n + group.second.size(); });
    const std::string requestId = scalar(status.value("requestId", nlohmann::json()));
    if (total > 1)
        out += std::to_string(accepted.size()) + " of " + std::to_string(total) + " vehicles accepted (" + state +
               ", requestId " + requestId + ")\n";
    else if (!out.empty())  // the one line: still names the request, to follow with command.status
        out.insert(out.size() - 1, ", requestId " + requestId);
    return out;
}

std::string transferOutcome(const std::string& kind, const nlohmann::json& outcome)
{
    const std::string route = scalar(outcome.value("lastRouteId", nlohmann::json()));
    const nlohmann::json result = outcome.value("lastResult", nlohmann::json());
    std::string out = kind + " of route " + route + (result == 0 ? " done" : " failed: result " + scalar(result));
    if (outcome.contains("wayPointCount"))
        out += ", " + scalar(outcome["wayPointCount"]) + " waypoints";
    // An upload sent without --verify was not read back: nothing to say about it.
    if (const std::string verify = outcome.contains("verify") ? outcome["verify"].value("state", "") : "";
        !verify.empty() && verify != "none")
        out += ", read back: " + verify;
    return out + "\n";
}

std::string vehicleTable(const nlohmann::json& list, const nlohmann::json& snapshots)
{
    std::vector<std::vector<std::string>> table{{"ID", "CODE", "ALIVE", "LINK", "MODE", "STATE"}};
    for (const nlohmann::json& v : list.value("vehicles", nlohmann::json::array())) {
        const bool remote = v.value("controllerType", "") == "Remote";
        // A vehicle watched through the broker has no link of its own to age.
        const nlohmann::json age = v.value("lastTelemetryAgeMs", nlohmann::json());
        const std::string key = remote ? v.value("vehicleCode", "") : scalar(v.value("vehicleId", nlohmann::json()));
        const nlohmann::json status = snapshots.value(key, nlohmann::json::object())
                                          .value("display", nlohmann::json::object())
                                          .value("flightStatus", nlohmann::json::object());
        table.push_back({remote ? std::string("-") : scalar(v.value("vehicleId", nlohmann::json())),
                         scalar(v.value("vehicleCode", "")), scalar(v.value("alive", false)),
                         remote && !age.is_number() ? "broker" : ageText(age),
                         cell(status.value("flightMode", nlohmann::json())),
                         cell(status.value("flightState", nlohmann::json()))});
    }
    std::string out;
    rows(table, 0, out);
    const size_t count = table.size() - 1;
    return out + std::to_string(count) + (count == 1 ? " vehicle" : " vehicles") + "\n";
}

std::string snapshotTable(const nlohmann::json& snapshot)
{
    const nlohmann::json display = snapshot.value("display", nlohmann::json::object());
    const nlohmann::json units = display.value("units", nlohmann::json::object());
    const std::string code = snapshot.value("vehicleCode", "");
    const nlohmann::json id = snapshot.value("vehicleId", nlohmann::json());
    // A vehicle watched through the cloud has no id on this station's link (-1): its code names it.
    const bool remote = !id.is_number() || id.get<double>() < 0;
    const nlohmann::json age = snapshot.value("lastTelemetryAgeMs", nlohmann::json());
    std::string out = remote ? "vehicle " + (code.empty() ? std::string("(no code)") : code) + " (through the cloud)"
                             : "vehicle " + scalar(id) + (code.empty() ? "" : " " + code);
    out += age.is_number() ? (remote ? ", last message " : ", telemetry ") + ageText(age) + " ago\n"
                           : (remote ? ", no message yet\n" : ", no telemetry yet\n");
    std::vector<std::vector<std::string>> table;
    for (const char* group : {"position", "ahrs", "flightStatus"}) {
        const nlohmann::json unitsOf = units.value(group, nlohmann::json::object());
        const nlohmann::json values = display.value(group, nlohmann::json::object());
        for (const auto& [name, value] : values.items()) {
            // A value the station does not know (a position before the fix) has no unit either.
            table.push_back({name, value.is_null() ? std::string("unknown")
                                                   : cell(value) + (unitsOf.contains(name) ? " " + cell(unitsOf[name]) : "")});
        }
    }
    if (table.empty())
        return age.is_number() ? out + "no values yet\n" : out;
    rows(table, 0, out);
    return out;
}

std::string generic(const nlohmann::json& data)
{
    if (data.is_object() && data.empty())
        return "ok\n";
    std::string out;
    block(data, 0, out);
    return out;
}

void print(const std::string& method, const nlohmann::json& envelope, int timeoutMs)
{
    if (g_json) {
        printEnvelope(envelope);
        return;
    }
    if (!envelope.is_object() || envelope.value("ok", false) != true || !envelope.contains("data")) {
        std::cerr << errorLine(envelope) << std::flush;
        return;
    }
    const nlohmann::json& data = envelope["data"];
    std::string text;
    if (method == "vehicle.list")
        text = vehicleTable(data, snapshotsOf(data, timeoutMs));
    else if (method == "telemetry.snapshot")
        text = snapshotTable(data);
    else if (method == "command.status")
        text = commandOutcome(data);
    else if (data.contains("requestId") && data.contains("action"))
        text = data.value("action", method) + " sent" +
               (data.contains("vehicleIds")
                    ? " to vehicle" + std::string(data["vehicleIds"].size() > 1 ? "s " : " ") + cell(data["vehicleIds"])
                    : "") +
               " (requestId " + scalar(data["requestId"]) + ")\n";
    else
        text = generic(data);
    std::cout << text << std::flush;
}

}  // namespace CliReadable
