#pragma once
// Results of starting a calibration step. Only a holder for the two enumerations.

#include <QObject>

class MavParamsEnums : public QObject {
    Q_OBJECT
public:
    enum CaliAccMeterOpRet {
        AccCaliRequestSent = 0,
        AccCaliVehicleGone = 1,
        AccCaliMagComInProgress = 2,  // the compass calibration excludes this one
        AccCaliAlreadyInProgress = 3,  // a start while an accelerometer calibration runs
    };
    Q_ENUM(CaliAccMeterOpRet)

    enum CaliMagComOpRet {
        MagCaliRequestSent = 0,
        MagCaliVehicleGone = 1,
        MagCaliAccMeterInProgress = 2,  // the accelerometer calibration excludes this one
        MagCaliAlreadyInProgress = 3,  // a start while a compass calibration runs
    };
    Q_ENUM(CaliMagComOpRet)

private:
    explicit MavParamsEnums(QObject* parent = nullptr)
        : QObject(parent)
    {
    }
};
