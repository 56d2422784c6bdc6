#pragma once
// One alert record: raised or changed (state Active) or cleared, with the rule's key and the
// values that decided it.

#include <QMetaType>
#include <QString>

#include <cstdint>

enum class VehicleAlertLevel : int { Info = 0, Warning = 1, Critical = 2 };
enum class VehicleAlertState : int { Active = 0, Cleared = 1 };

struct VehicleAlert {
    QString key;
    QString sourceField;
    VehicleAlertLevel level = VehicleAlertLevel::Info;
    VehicleAlertState state = VehicleAlertState::Active;
    QString currentValue;
    QString expectedValue;
    QString thresholdValue;
    int64_t timestampMs = 0;
    int vehicleId = 0;
    QString vehicleCode;
    // The link alert: when the vehicle was last heard (ms since the epoch), so its message can
    // say how long it has been silent at the moment it is read; 0 for the other rules.
    int64_t silentSinceMs = 0;

    static QString levelText(VehicleAlertLevel level)
    {
        switch (level) {
        case VehicleAlertLevel::Info: return QStringLiteral("Info");
        case VehicleAlertLevel::Warning: return QStringLiteral("Warning");
        case VehicleAlertLevel::Critical: return QStringLiteral("Critical");
        }
        return QStringLiteral("Info");
    }
};

Q_DECLARE_METATYPE(VehicleAlert)
