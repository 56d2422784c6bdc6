#pragma once
// Chosen columns against time as a PNG: one panel per unit, stacked, drawn by Qt Charts. Needs a
// QApplication (the offscreen platform does).

#include "FlightLog.h"

#include <QImage>
#include <QSize>
#include <QStringList>

namespace flightlog {

// Unknown keys and text-only columns are refused with an error naming them.
bool plotColumns(const FlightLog& log, const QStringList& keys, QSize size, QImage* image, QString* error);

}  // namespace flightlog
