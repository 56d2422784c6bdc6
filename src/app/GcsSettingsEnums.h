#pragma once
// Enumerations stored by the settings store.

#include <QObject>

class GcsSettingsEnums {
    Q_GADGET
public:
    enum SystemType { Desktop = 1 };
    Q_ENUM(SystemType)

    // 1 sends control commands to every controllable local vehicle; anything else to the
    // active vehicle only.
    enum GcsControlDisplayMode { ActiveVehicleOnly = 0, AllLocalVehicles = 1 };
    Q_ENUM(GcsControlDisplayMode)

    // Output of the telemetry TCP forward service; 0 is the raw frames as received.
    enum TelemetryTcpForwardFormat { RawFrames = 0 };
    Q_ENUM(TelemetryTcpForwardFormat)
};

using GcsControlDisplayMode = GcsSettingsEnums::GcsControlDisplayMode;
using TelemetryTcpForwardFormat = GcsSettingsEnums::TelemetryTcpForwardFormat;
