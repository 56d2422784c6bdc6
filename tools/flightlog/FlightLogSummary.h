#pragma once
// What a person asks of a flight first: how long, how high, how fast, how far, how the battery
// and the satellites held, and what went wrong.
//
// Airborne means a flight state of climbing, hovering, cruising, descending or manual flight;
// take-off is the first airborne row and landing the first row after it that is not airborne.
// Alerts are the rows where a state turns bad: battery low or critical, RC or link lost, position
// fix lost, emergency protection set.

#include "FlightLog.h"

#include <nlohmann/json.hpp>

#include <string>

namespace flightlog {

nlohmann::json summarize(const FlightLog& log);
// The summary as an aligned two-column table.
std::string summaryText(const nlohmann::json& summary);

}  // namespace flightlog
