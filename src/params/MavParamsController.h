#pragma once
// The six parameter groups of one vehicle: read, write, read-all after the vehicle comes alive,
// reset all; the accelerometer and compass calibrations (which exclude each other); the vehicle
// code (read, cloud activation, cloud-generated replacement); and the move of the vehicle to a
// new id after a basic write changes it. Outcomes are signals with result codes; every command
// sent and every reply is echoed to the console.
//
// One class, its implementation split by concern:
//   MavParamsController.cpp     the group table (command, data item, packer, decoder, signals)
//                               that drives reads, writes, replies and responses; reset all;
//                               reply dispatch and time-outs; the id move after a basic write
//   MavParamsCalibration.cpp    accelerometer and compass calibration steps and their acks
//   MavParamsVehicleCode.cpp    vehicle code read and write, cloud activation and replacement
//
// A parameter reply without a pending request never reaches here (the queue drops it).
//
// A vehicle coming alive (handleVehicleAliveChanged) has its six groups and its code read again
// only when it was silent longer than the "params/rereadAfterSilenceMs" setting, or when a group
// was never read successfully (the code: never answered); a lossy link that drops a vehicle for
// a moment thus does not trigger a burst of reads. An empty vehicle code is logged at info level
// once per controller: a vehicle without a code is normal.

#include "GcsAccountEnums.h"
#include "MavParamsEnums.h"
#include "MavProtoDefs.h"
#include "MavProtoParamsRecords.h"
#include "OstAbstractLink.h"
#include "OstLogLevel.h"

#include <QMap>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class GcsLoginManager;
class GcsHttp;
class IGcsConsole;
class MavBasicParamsDataItem;
class MavCmdRequestMessage;
class MavFixedPosCtrlParamsDataItem;
class MavFixedStabCtrlParamsDataItem;
class MavPosCtrlParamsDataItem;
class MavResParamsDataItem;
class MavStabCtrlParamsDataItem;
class VehicleController;
struct GenerateVehicleCodeReq;
class MavCustomNameField;

class MavParamsController : public QObject {
    Q_OBJECT
public:
    explicit MavParamsController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent = nullptr);
    ~MavParamsController() override;

    std::shared_ptr<MavBasicParamsDataItem> basicParamsDataItem() const { return m_basic; }
    std::shared_ptr<MavStabCtrlParamsDataItem> stabCtrlParamsDataItem() const { return m_stab; }
    std::shared_ptr<MavPosCtrlParamsDataItem> posCtrlParamsDataItem() const { return m_pos; }
    std::shared_ptr<MavResParamsDataItem> resParamsDataItem() const { return m_res; }
    std::shared_ptr<MavFixedStabCtrlParamsDataItem> fixedStabCtrlParamsDataItem() const { return m_fixedStab; }
    std::shared_ptr<MavFixedPosCtrlParamsDataItem> fixedPosCtrlParamsDataItem() const { return m_fixedPos; }
    int accMeterCaliStep() const { return m_accMeterCaliStep; }
    int accMeterCaliRet() const { return m_accMeterCaliRet; }
    // True once a read of the basic group succeeded: its values are then the vehicle's.
    bool basicParamsKnown() const { return m_basicKnown; }
    int magComCaliStep() const { return m_magComCaliStep; }
    int magComCaliRet() const { return m_magComCaliRet; }
    QString vehicleCode() const { return m_vehicleCode; }
    bool vehicleCodeIsActive() const { return m_vehicleCodeIsActive; }
    bool batchReadingParams() const { return m_batchReadingParams; }

    void readBasicParams();
    void readStabCtrlParams();
    void readPosCtrlParams();
    void readResParams();
    void readFixedStabCtrlParams();
    void readFixedPosCtrlParams();
    void readAllParams();
    // Called by the vehicle on each change of its alive state; reads again per the rule above.
    void handleVehicleAliveChanged(bool alive);
    // Monotonic milliseconds for the silence measure; a test passes a fake clock.
    void setClock(std::function<int64_t()> nowMs) { m_nowMs = std::move(nowMs); }

    void writeBasicParams();
    void writeStabCtrlParams();
    void writePosCtrlParams();
    void writeResParams();
    void writeFixedStabCtrlParams();
    void writeFixedPosCtrlParams();
    void writeBasicParams(const MavProtoBasicParamsWire_t& wire);
    void writeStabCtrlParams(const MavProtoAttitudeGainWire_t& wire);
    void writePosCtrlParams(const MavProtoPositionGainWire_t& wire);
    void writeResParams(const MavProtoResParamsWire_t& wire);
    void writeFixedStabCtrlParams(const MavProtoAttitudeGainWire_t& wire);
    void writeFixedPosCtrlParams(const MavProtoPositionGainWire_t& wire);

    MavParamsEnums::CaliAccMeterOpRet calibrateAccMeter(MavProtoAccMeterCalibrateStep step);
    MavParamsEnums::CaliMagComOpRet calibrateMagCompass(MavProtoMagCompassCalibrateStep step);
    void resetCaliAccMeter();
    void resetCaliMagCom();
    void resetAllParams();
    void readVehicleCode();
    void resetVehicleCode(const GenerateVehicleCodeReq& req);

    void setGcsConsole(std::shared_ptr<IGcsConsole> console) { m_console = console; }
    // The cloud client the vehicle code is activated through; none: the code stays local.
    void setHttp(std::weak_ptr<GcsHttp> http) { m_http = std::move(http); }
    void setLoginManager(std::shared_ptr<GcsLoginManager> loginMgr);
    void setResParamsCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields);
    static const QMap<int, QString>& getMavTypeMap();

signals:
    void basicParamsReadResp(int ret);
    void basicParamsWriteResp(int ret);
    void stabCtrlParamsReadResp(int ret);
    void stabCtrlParamsWriteResp(int ret);
    void posCtrlParamsReadResp(int ret);
    void posCtrlParamsWriteResp(int ret);
    void resParamsReadResp(int ret);
    void resParamsWriteResp(int ret);
    void fixedStabCtrlParamsReadResp(int ret);
    void fixedStabCtrlParamsWriteResp(int ret);
    void fixedPosCtrlParamsReadResp(int ret);
    void fixedPosCtrlParamsWriteResp(int ret);
    void caliAccMeterResp(int step, int ret);
    void caliMagCompassResp(int step, int ret);
    void resetAllParamsResp(int ret);
    void vehicleCodeReadResp(int ret);
    void vehicleCodeWriteResp(int ret);
    void vehicleCodeResetResp(int ret, int httpCode);
    void vehicleMqttActivated(bool active);

private slots:
    void handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);
    void handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req);
    void handleLoginStateChanged(GcsAccountEnums::LoginState s);
    void mockCaliAccMeterResult(int step, int ret);
    void mockCaliMagComResult(int step, int ret);

private:
    // The six groups' table; forGroup calls f with the row of cmd, false when cmd is no group's.
    static const auto& groups();
    template <typename F>
    bool forGroup(uint8_t cmd, F&& f);
    // wire is a caller's wire record, or nullptr for the data item's own record.
    template <typename WirePtr>
    void writeGroup(uint8_t cmd, WirePtr wire);
    // Read request of a group (or the vehicle code): empty payload, expected reply length.
    void sendRead(uint8_t cmd, const char* goneLog = "vehicleCtrler is null");
    // A packed write of a group or the vehicle code: a 1-byte result is expected.
    void sendWriteReq(const std::shared_ptr<VehicleController>& vehicle, const MavPFramePtr& frame, uint8_t cmd);
    void sendReq(const std::shared_ptr<VehicleController>& vehicle, const MavPFramePtr& frame, int checkType,
                 uint8_t expectedDataLen, uint32_t timeoutMs, const QString& consoleText);
    void handleCaliAck(uint8_t cmd, const _MavPFrame_t& frame);
    // The write's result (reads answer 0): a refused write is echoed as an error.
    int handleVehicleCodeReply(const _MavPFrame_t& frame, bool read);
    void migrateVehicleIdAfterBasicWrite(const _MavPFrame_t& frame);
    void notifyBatchReadAttemptFinished();
    void requestActivateVehicleCode();
    // A line the station sent (sent) or the vehicle's answer, naming the vehicle.
    void echo(OstLogLevel level, bool sent, const QString& text);

    std::weak_ptr<VehicleController> m_vehicle;
    std::shared_ptr<MavBasicParamsDataItem> m_basic;
    std::shared_ptr<MavStabCtrlParamsDataItem> m_stab;
    std::shared_ptr<MavPosCtrlParamsDataItem> m_pos;
    std::shared_ptr<MavResParamsDataItem> m_res;
    std::shared_ptr<MavFixedPosCtrlParamsDataItem> m_fixedPos;
    std::shared_ptr<MavFixedStabCtrlParamsDataItem> m_fixedStab;
    int m_accMeterCaliStep = 0;
    int m_accMeterCaliRet = 0;
    bool m_basicKnown = false;
    int m_magComCaliStep = 0;
    int m_magComCaliRet = 0;
    QString m_vehicleCode;
    std::weak_ptr<IGcsConsole> m_console;
    bool m_vehicleCodeIsActive = false;
    std::weak_ptr<GcsHttp> m_http;
    std::weak_ptr<GcsLoginManager> m_loginMgr;
    QMetaObject::Connection m_loginConnection;
    bool m_batchReadingParams = false;
    int m_pendingBatchReads = 0;
    std::function<int64_t()> m_nowMs;
    int64_t m_silentSinceMs = -1;  // -1: not silent since the last return
    uint32_t m_groupsReadOk = 0;  // bit cmd set once that group's read succeeded
    bool m_vehicleCodeAnswered = false;
    bool m_emptyCodeLogged = false;
};
