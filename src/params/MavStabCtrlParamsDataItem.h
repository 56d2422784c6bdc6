#pragma once
// Multirotor attitude gains: angle loop, feed-forward and rate loop, in the vehicle's units.

#include "MavProtoParamsRecords.h"

#include <QObject>

#include <memory>

class MavStabCtrlParamsDataItem : public QObject {
    Q_OBJECT
public:
    explicit MavStabCtrlParamsDataItem(QObject* parent = nullptr);

    MavProtoStabilizeCtrlParams_t protoData() { return m_data; }
    const MavProtoStabilizeCtrlParams_t& protoData() const { return m_data; }
    void updateProtoData(const MavProtoStabilizeCtrlParams_t& data) { m_data = data; }

    float rollP() const { return m_data.rollP; }
    void setRollP(float value) { m_data.rollP = value; }
    float pitchP() const { return m_data.pitchP; }
    void setPitchP(float value) { m_data.pitchP = value; }
    float yawP() const { return m_data.yawP; }
    void setYawP(float value) { m_data.yawP = value; }
    float rollI() const { return m_data.rollI; }
    void setRollI(float value) { m_data.rollI = value; }
    float pitchI() const { return m_data.pitchI; }
    void setPitchI(float value) { m_data.pitchI = value; }
    float yawI() const { return m_data.yawI; }
    void setYawI(float value) { m_data.yawI = value; }
    float rollD() const { return m_data.rollD; }
    void setRollD(float value) { m_data.rollD = value; }
    float pitchD() const { return m_data.pitchD; }
    void setPitchD(float value) { m_data.pitchD = value; }
    float yawD() const { return m_data.yawD; }
    void setYawD(float value) { m_data.yawD = value; }
    float rpKf() const { return m_data.rpKf; }
    void setRpKf(float value) { m_data.rpKf = value; }
    float yawKf() const { return m_data.yawKf; }
    void setYawKf(float value) { m_data.yawKf = value; }
    float rollRateP() const { return m_data.rollRateP; }
    void setRollRateP(float value) { m_data.rollRateP = value; }
    float pitchRateP() const { return m_data.pitchRateP; }
    void setPitchRateP(float value) { m_data.pitchRateP = value; }
    float yawRateP() const { return m_data.yawRateP; }
    void setYawRateP(float value) { m_data.yawRateP = value; }
    float rollRateI() const { return m_data.rollRateI; }
    void setRollRateI(float value) { m_data.rollRateI = value; }
    float pitchRateI() const { return m_data.pitchRateI; }
    void setPitchRateI(float value) { m_data.pitchRateI = value; }
    float yawRateI() const { return m_data.yawRateI; }
    void setYawRateI(float value) { m_data.yawRateI = value; }
    float rollRateD() const { return m_data.rollRateD; }
    void setRollRateD(float value) { m_data.rollRateD = value; }
    float pitchRateD() const { return m_data.pitchRateD; }
    void setPitchRateD(float value) { m_data.pitchRateD = value; }
    float yawRateD() const { return m_data.yawRateD; }
    void setYawRateD(float value) { m_data.yawRateD = value; }

private:
    MavProtoStabilizeCtrlParams_t m_data{};
};

using MavStabCtrlParamsDataItemPtr = std::shared_ptr<MavStabCtrlParamsDataItem>;
