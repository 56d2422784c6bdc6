#pragma once
// The parameter groups as the CLI names them ("basic", "stab", "pos", "res", "fixedStab",
// "fixedPos"), field by field under the names of the natural-unit records in
// MavProtoParamsRecords.h, with each field's unit and the range and step of its wire form.
//
// Values are read from and written to the records the parameters controller holds. Each value
// is given rounded to its wire step (a float record holds 0.1 as 0.100000001); integer fields
// come out as integers, the firmware version as a string. Main thread only, like the controller.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

class MavParamsController;

namespace GcsCliParamsTable {

const std::vector<std::string>& groupNames();
bool hasGroup(const std::string& group);

// {field: value} and {field: unit} of a group ("" for unitless fields).
nlohmann::json values(MavParamsController& params, const std::string& group);
nlohmann::json units(const std::string& group);

// Checks every entry of `values` (a non-empty object of field -> number) against the group's
// fields; on success returns "" and, when params is given, changes exactly those fields in the
// controller's record. On failure returns the refusal text and changes nothing.
std::string apply(MavParamsController* params, const std::string& group, const nlohmann::json& values);

}  // namespace GcsCliParamsTable
