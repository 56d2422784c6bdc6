#pragma once
// The text of one "watch" screen: the active vehicle's attitude, position and flight status from
// "telemetry.snapshot" (its "display" values: scaled, rounded, states as text, with units) and
// its active alerts from "alerts.active" with their messages. Either envelope may be an
// error (no station yet, no active vehicle); the screen then says so instead of the values.
// The link line shows whether the station's link is open and how long ago the vehicle's last
// telemetry frame and heartbeat arrived; a closed link or no telemetry for kLinkLostAfterMs turns
// the header into "LINK LOST" and the (stale) values grey.

#include <nlohmann/json.hpp>

#include <string>

class CliWatchView {
public:
    static constexpr int kLinkLostAfterMs = 3000;

    static std::string render(const nlohmann::json& snapshotEnvelope, const nlohmann::json& alertsEnvelope,
                              int intervalMs);
};
