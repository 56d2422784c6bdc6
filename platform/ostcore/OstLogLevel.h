#pragma once
// Levels of operator-visible console lines.

#include <QMetaType>

enum class OstLogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3 };

Q_DECLARE_METATYPE(OstLogLevel)
