#pragma once
// The one table of the recorder's column titles and the keys, units and kinds the tool gives them.
// A log's title row must hold every title below (in any order); other titles are refused.

#include <string>
#include <string_view>
#include <vector>

namespace flightlog {

enum class Kind {
    Number,  // the cell is the number as recorded
    State,  // the recorder wrote the state's Chinese text, or the code when it had no text
    Duration,  // "h:mm:ss"
    TakeoffCheck,  // the check texts joined by "；"
};

// Which state table a State column reads.
enum class StateSet { None, FlightMode, FlightState, Rc, Position, Heading, Link, Armed, Battery, Work };

struct Column {
    const char* title;  // as the recorder writes it (UTF-8)
    const char* key;  // English snake_case
    const char* unit;  // "" when none
    Kind kind = Kind::Number;
    StateSet states = StateSet::None;
};

const std::vector<Column>& columns();
// Index into columns(), or -1.
int columnByKey(std::string_view key);
int columnByTitle(std::string_view title);

// The source text of a text the station showed in English (a title, a state), through the
// library's English catalogue; empty when the catalogue does not know it. A station running in
// English records English titles and states; the tables below hold the source texts.
std::string sourceText(std::string_view english);

// A recorded state text (or a plain code) as its code; false when it is neither.
bool stateCode(StateSet set, std::string_view cell, double& code);
// The English text of a code; "" for a code without one.
std::string stateText(StateSet set, int code);
bool takeoffCheckBits(std::string_view cell, double& bits);
std::string takeoffCheckText(int bits);

}  // namespace flightlog
