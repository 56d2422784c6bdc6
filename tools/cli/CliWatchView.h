#pragma once
// The text of one "watch" screen: the active vehicle's attitude, position and flight status from
// "telemetry.snapshot" and its active alerts from "alerts.active". Either envelope may be an
// error (no station yet, no active vehicle); the screen then says so instead of the values.

#include <nlohmann/json.hpp>

#include <string>

class CliWatchView {
public:
    static std::string render(const nlohmann::json& snapshotEnvelope, const nlohmann::json& alertsEnvelope,
                              int intervalMs);
};
