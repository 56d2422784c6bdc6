#pragma once
// The steps and results of a firmware update. Only a holder for the three enumerations.

#include <QObject>

class FirmwareEnums : public QObject {
    Q_OBJECT
public:
    enum class UpdateStep {
        Idle = 0,
        Reset = 1,
        PrepareData = 2,
        UploadingData = 3,
        WaitingFinalAck = 4,
        Finished = 5
    };
    Q_ENUM(UpdateStep)

    enum class UpdateResult {
        Success = 0,
        FailedInnerErr = 1,  // a data frame was due outside UploadingData
        FailedBadVehicle = 2,  // the vehicle was gone when a frame was due
        FailedBusy = 3,  // not produced by the controller
        FailedReset = 4,
        FailedResetTimeout = 5,
        FailedSendFirmInfo = 6,
        FailedSendFirmInfoAckTimeout = 7,
        FailedReadFirmwareFile = 8,  // no longer produced: the image is read before the start
        FailedSendFirmDataAckTimeout = 9,  // also a data ack with an error
        FailedFinalAckTimeout = 10,
        FailedFinalAck = 11,
        FailedLinkLost = 12,  // the vehicle left the list or its link closed
        // Right before the reset, its fresh flight status said flying or armed (or none came).
        FailedNotLandedAtReset = 13,
    };
    Q_ENUM(UpdateResult)

    enum class UpdateStartupResult {
        Ok = 0,
        FailedBusy = 1,
        FailedVehicleNotValid = 2,
        FailedFirmFileNotValid = 3,  // no path, no such file, or an empty one
        FailedVehicleBusy = 4,  // not alive, no fresh flight status, armed or in flight
        FailedChecksumMismatch = 5,  // the image's SHA-256 is not the one given
        FailedReadFirmwareFile = 6,  // exists but cannot be read whole, or over 65535 frames
    };
    Q_ENUM(UpdateStartupResult)

    // The enumerator's name ("UploadingData"), or its number for an unknown value.
    template <typename E>
    static QString name(E value);

private:
    explicit FirmwareEnums(QObject* parent = nullptr)
        : QObject(parent)
    {
    }
};

#include <QMetaEnum>

template <typename E>
QString FirmwareEnums::name(E value)
{
    const char* key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}
