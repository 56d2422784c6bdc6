#pragma once
// The parameter groups by name ("basic", "stab", "pos", "res", "fixedStab", "fixedPos"), field by
// field under the names of the natural-unit records in MavProtoParamsRecords.h, with each field's
// unit and the range and step of its wire form.
//
// Values are read from and written to the records the parameters controller holds. Each value
// is given rounded to its wire step (a float record holds 0.1 as 0.100000001); fields with a
// step of 1 hold whole numbers. The basic group also carries the firmware version as text.
// Main thread only, like the controller.

#include <optional>
#include <string>
#include <utility>
#include <vector>

class MavParamsController;

namespace ParamTable {

struct Field {
    std::string name;
    std::string unit;  // "" for unitless fields
    double step = 1;  // the wire step; 1 or more: a whole number
    double value = 0;  // as last read, rounded to the step (0 without a controller)
    double min = 0, max = 0;  // the range the wire form carries, in the field's unit
};
using Values = std::vector<std::pair<std::string, double>>;

const std::vector<std::string>& groupNames();
bool hasGroup(const std::string& group);

// The group's fields in wire order; with a null controller only names, units and steps.
std::vector<Field> fields(MavParamsController* params, const std::string& group);
// The firmware version the basic group carries; nothing for other groups.
std::optional<std::string> firmwareVersion(MavParamsController& params, const std::string& group);

// Checks every entry of `values` (non-empty) against the group's fields; on success returns ""
// and, when params is given, changes exactly those fields in the controller's record. On
// failure returns the refusal text and changes nothing.
std::string apply(MavParamsController* params, const std::string& group, const Values& values);

}  // namespace ParamTable
