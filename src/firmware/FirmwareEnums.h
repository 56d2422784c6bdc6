#pragma once
// The steps and results of a firmware update. Only a holder for the three enumerations.

#include <QObject>

class FirmwareEnums : public QObject {
    Q_OBJECT
public:
    enum class UpdateStep { Idle = 0, Reset = 1, PrepareData = 2, UploadingData = 3, WaitingFinalAck = 4, Finished = 5 };
    Q_ENUM(UpdateStep)

    enum class UpdateResult {
        Success = 0,
        FailedInnerErr = 1,     // a data frame was due outside UploadingData
        FailedBadVehicle = 2,   // the vehicle was gone when a frame was due
        FailedBusy = 3,         // not produced by the controller
        FailedReset = 4,
        FailedResetTimeout = 5,
        FailedSendFirmInfo = 6,
        FailedSendFirmInfoAckTimeout = 7,
        FailedReadFirmwareFile = 8,  // unreadable, or its size changed since the reset ack
        FailedSendFirmDataAckTimeout = 9,  // also a data ack with an error
        FailedFinalAckTimeout = 10,
        FailedFinalAck = 11,
    };
    Q_ENUM(UpdateResult)

    enum class UpdateStartupResult { Ok = 0, FailedBusy = 1, FailedVehicleNotValid = 2, FailedFirmFileNotValid = 3 };
    Q_ENUM(UpdateStartupResult)

    // The enumerator's name ("UploadingData"), or its number for an unknown value.
    template <typename E>
    static QString name(E value);

private:
    explicit FirmwareEnums(QObject* parent = nullptr) : QObject(parent) {}
};

#include <QMetaEnum>

template <typename E>
QString FirmwareEnums::name(E value)
{
    const char* key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}
