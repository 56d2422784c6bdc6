#pragma once
// Static texts around vehicles: result codes, command names, formation commands.

#include <QCoreApplication>
#include <QList>
#include <QString>

#include <memory>

class GcsLoginManager;
class MavParamsController;
struct VehicleMessage;
class MavTeleBaseDataItem;
class MavTeleDataElement;
class VehicleController;

// Result codes produced on the station side.
namespace GcsRet {
constexpr int Success = 0;
constexpr int Unsupported = 3;
constexpr int WrongReplyLength = -2001;
constexpr int FirmwareUpdating = -2010;  // refused: the vehicle is updating its firmware
constexpr int Timeout = 5000;
constexpr int CloudCallFailed = 5001;
}  // namespace GcsRet

class VehicleUtil {
    Q_DECLARE_TR_FUNCTIONS(VehicleUtil)
public:
    static QString gcsRetToString(int ret);
    static QString cmdToText(int cmd);
    static QString formationCtrlCmdToText(quint8 value);
    static bool checkVehicleValid(const std::shared_ptr<VehicleController>& vehicle);
    // Null for a null vehicle or one without a parameters controller.
    static std::shared_ptr<MavParamsController> getParamsCtrler(const std::shared_ptr<VehicleController>& vehicle);
    // Fresh telemetry items in the order AHRS, position, target stabilise, RC, flight status,
    // reserved, and the elements of such fresh items in that order.
    static QList<std::shared_ptr<MavTeleBaseDataItem>> createAllTeleDataItems();
    static QList<std::shared_ptr<MavTeleDataElement>> createAllTeleDataElements();
    // Client id, user id and token of the account's session; false (message untouched) without
    // a login manager.
    static bool fillVehicleMessageWithAuth(VehicleMessage& message, const std::shared_ptr<GcsLoginManager>& loginMgr);
};
