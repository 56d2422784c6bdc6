#pragma once
// Basic parameters: sensor offsets, battery thresholds, airframe type, firmware version, limits,
// protection strategies and the vehicle id. A new item holds the record's start values (link
// protection 3, yaw rate limit 30, tilt limit 25, all else 0, the version characters included).
// Units are the vehicle firmware's; values are stored and passed on unchanged.

#include "MavProtoParamsRecords.h"

#include <QObject>
#include <QString>

#include <memory>

class MavBasicParamsDataItem : public QObject {
    Q_OBJECT
public:
    explicit MavBasicParamsDataItem(QObject* parent = nullptr);

    MavProtoBasicParams_t protoData() { return m_data; }
    const MavProtoBasicParams_t& protoData() const { return m_data; }
    void updateProtoData(const MavProtoBasicParams_t& data) { m_data = data; }

    float ahrsX() const { return m_data.ahrsX; }
    void setAhrsX(float value) { m_data.ahrsX = value; }
    float ahrsY() const { return m_data.ahrsY; }
    void setAhrsY(float value) { m_data.ahrsY = value; }
    float ahrsZ() const { return m_data.ahrsZ; }
    void setAhrsZ(float value) { m_data.ahrsZ = value; }
    float gpsX() const { return m_data.gpsX; }
    void setGpsX(float value) { m_data.gpsX = value; }
    float gpsY() const { return m_data.gpsY; }
    void setGpsY(float value) { m_data.gpsY = value; }
    float gpsZ() const { return m_data.gpsZ; }
    void setGpsZ(float value) { m_data.gpsZ = value; }
    float vol1() const { return m_data.vol1; }
    void setVol1(float value) { m_data.vol1 = value; }
    float vol2() const { return m_data.vol2; }
    void setVol2(float value) { m_data.vol2 = value; }
    uint8_t mavType() const { return m_data.mavType; }
    void setMavType(uint8_t value) { m_data.mavType = value; }
    uint8_t lowPowerProteStrategy() const { return m_data.lowPowerProteStrategy; }
    void setLowPowerProteStrategy(uint8_t value) { m_data.lowPowerProteStrategy = value; }
    uint16_t maxFlyAlt() const { return m_data.maxFlyAlt; }
    void setMaxFlyAlt(uint16_t value) { m_data.maxFlyAlt = value; }
    uint16_t maxHorDistance() const { return m_data.maxHorDistance; }
    void setMaxHorDistance(uint16_t value) { m_data.maxHorDistance = value; }
    float maxHorSpeed() const { return m_data.maxHorSpeed; }
    void setMaxHorSpeed(float value) { m_data.maxHorSpeed = value; }
    float maxVerSpeed() const { return m_data.maxVerSpeed; }
    void setMaxVerSpeed(float value) { m_data.maxVerSpeed = value; }
    uint8_t workMode() const { return m_data.workMode; }
    void setWorkMode(uint8_t value) { m_data.workMode = value; }
    uint8_t protocolType() const { return m_data.protocolType; }
    void setProtocolType(uint8_t value) { m_data.protocolType = value; }
    float circleRadius() const { return m_data.circleRadius; }
    void setCircleRadius(float value) { m_data.circleRadius = value; }
    uint8_t linkProteStrategy() const { return m_data.linkProteStrategy; }
    void setLinkProteStrategy(uint8_t value) { m_data.linkProteStrategy = value; }
    uint8_t lowPowerProteStrategy2() const { return m_data.lowPowerProteStrategy2; }
    void setLowPowerProteStrategy2(uint8_t value) { m_data.lowPowerProteStrategy2 = value; }
    uint8_t vehicleId() const { return m_data.vehicleId; }
    void setVehicleId(uint8_t value) { m_data.vehicleId = value; }
    uint8_t accelCutoffFreqHz() const { return m_data.accelCutoffFreqHz; }
    void setAccelCutoffFreqHz(uint8_t value) { m_data.accelCutoffFreqHz = value; }
    uint8_t angularRateCutoffFreqHz() const { return m_data.angularRateCutoffFreqHz; }
    void setAngularRateCutoffFreqHz(uint8_t value) { m_data.angularRateCutoffFreqHz = value; }
    float dualAntennaInstallAngleDeg() const { return m_data.dualAntennaInstallAngleDeg; }
    void setDualAntennaInstallAngleDeg(float value) { m_data.dualAntennaInstallAngleDeg = value; }
    uint8_t lithiumBatteryCellCount() const { return m_data.lithiumBatteryCellCount; }
    void setLithiumBatteryCellCount(uint8_t value) { m_data.lithiumBatteryCellCount = value; }
    float returnAltitudeM() const { return m_data.returnAltitudeM; }
    void setReturnAltitudeM(float value) { m_data.returnAltitudeM = value; }
    uint8_t rcSignalAbnormalProtect() const { return m_data.rcSignalAbnormalProtect; }
    void setRcSignalAbnormalProtect(uint8_t value) { m_data.rcSignalAbnormalProtect = value; }
    int16_t yawRateLimitDegS() const { return m_data.yawRateLimitDegS; }
    void setYawRateLimitDegS(int16_t value) { m_data.yawRateLimitDegS = value; }
    int16_t pitchRollMaxAngleLimitDeg() const { return m_data.pitchRollMaxAngleLimitDeg; }
    void setPitchRollMaxAngleLimitDeg(int16_t value) { m_data.pitchRollMaxAngleLimitDeg = value; }
    int16_t reservedParam3() const { return m_data.reservedParam3; }
    void setReservedParam3(int16_t value) { m_data.reservedParam3 = value; }

    // All six characters as Latin-1, embedded NULs included.
    QString version() const { return QString::fromLatin1(m_data.version, sizeof(m_data.version)); }

protected:
    // The version belongs to the firmware and arrives with reads. Overwrites the first
    // min(length, 6) characters (as Latin-1) and keeps the rest.
    void setVersion(const QString& text);

private:
    MavProtoBasicParams_t m_data;
};

using MavBasicParamsDataItemPtr = std::shared_ptr<MavBasicParamsDataItem>;
