#pragma once
// Small helpers shared by the core platform library's users.

#include <QString>

namespace OstFunctions {

// A new random (version 4) UUID as text: "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case
// when withoutBraces is true, the same enclosed in "{" and "}" otherwise.
QString createUuid(bool withoutBraces);

}  // namespace OstFunctions
