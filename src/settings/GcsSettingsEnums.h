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

    // Outcome of loading custom field names from a file or from given fields.
    enum LoadCustomNameResult {
        LoadCustomNameSuccess = 0,
        LoadCustomNameFileNotExist = 1,
        LoadCustomNameFileOpenFailed = 2,  // the given file, or the cache file when loading given fields
        LoadCustomNameParseFailed = 3,  // unparsable file, or fields that could not be packed
    };
    Q_ENUM(LoadCustomNameResult)

    // Outcome of exporting custom field names to a file.
    enum SaveCustomNameResult {
        SaveCustomNameSuccess = 0,
        SaveCustomNameFileOpenFailed = 1,
        SaveCustomNamePackFailed = 2,
    };
    Q_ENUM(SaveCustomNameResult)
};

using GcsControlDisplayMode = GcsSettingsEnums::GcsControlDisplayMode;
using TelemetryTcpForwardFormat = GcsSettingsEnums::TelemetryTcpForwardFormat;
