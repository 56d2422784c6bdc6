#pragma once
// velmora-cli's default output: short answers a pilot reads at a glance instead of the response
// envelope. With --json (setJsonMode) every answer is printed as the indented envelope instead, the
// form scripts parse. Errors always go to stderr as "error CODE: message".

#include <nlohmann/json.hpp>

#include <string>

namespace CliReadable {

void setJsonMode(bool on);
bool jsonMode();

// Prints an answer of `method`: the envelope with --json, else the readable text on stdout or the
// error line on stderr. vehicle.list asks the station for each vehicle's flight mode and state.
void print(const std::string& method, const nlohmann::json& envelope, int timeoutMs);

// The readable forms, each ending in a newline.
std::string errorLine(const nlohmann::json& envelope);
std::string commandOutcome(const nlohmann::json& status);
std::string transferOutcome(const std::string& kind, const nlohmann::json& outcome);
std::string vehicleTable(const nlohmann::json& list, const nlohmann::json& snapshots);
std::string snapshotTable(const nlohmann::json& snapshot);
std::string generic(const nlohmann::json& data);

// "0.2 s", "3 min" or "never" for a link age in milliseconds (null: never heard).
std::string ageText(const nlohmann::json& ageMs);

}  // namespace CliReadable
