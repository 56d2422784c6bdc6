#pragma once
// Target stabilise data (command 0x23): the controller's set points and its channel outputs.
// The record's two trailing reserved floats are kept but not shown.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

class MavTargetStabilizeDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 35;

    explicit MavTargetStabilizeDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const MavProtoTargetStabilizeData_t& data);
    // Takes targetPosN to targetYaw; the rate set points and channel outputs keep theirs.
    void updateFromComprehensiveData(const MavProtoComprehensiveData_t& data);

    const MavProtoTargetStabilizeData_t& protoData() const { return m_data; }

    double targetPosN() const { return m_data.targetPosN; }
    double targetPosE() const { return m_data.targetPosE; }
    double targetAlt() const { return m_data.targetAlt; }
    double targetVelN() const { return m_data.targetVelN; }
    double targetVelE() const { return m_data.targetVelE; }
    double targetVelZ() const { return m_data.targetVelZ; }
    float targetRoll() const { return m_data.targetRoll; }
    float targetPitch() const { return m_data.targetPitch; }
    float targetYaw() const { return m_data.targetYaw; }
    float targetGyrox() const { return m_data.targetGyrox; }
    float targetGyroy() const { return m_data.targetGyroy; }
    float targetGyroz() const { return m_data.targetGyroz; }
    float rollServoOut() const { return m_data.rollServoOut; }
    float pitchServoOut() const { return m_data.pitchServoOut; }
    float yawServoOut() const { return m_data.yawServoOut; }
    float throttleServoOut() const { return m_data.throttleServoOut; }

    MavTeleDataElementPtr targetPosNElement() const { return m_targetPosNElement; }
    MavTeleDataElementPtr targetPosEElement() const { return m_targetPosEElement; }
    MavTeleDataElementPtr targetAltElement() const { return m_targetAltElement; }
    MavTeleDataElementPtr targetVelNElement() const { return m_targetVelNElement; }
    MavTeleDataElementPtr targetVelEElement() const { return m_targetVelEElement; }
    MavTeleDataElementPtr targetVelZElement() const { return m_targetVelZElement; }
    MavTeleDataElementPtr targetRollElement() const { return m_targetRollElement; }
    MavTeleDataElementPtr targetPitchElement() const { return m_targetPitchElement; }
    MavTeleDataElementPtr targetYawElement() const { return m_targetYawElement; }
    MavTeleDataElementPtr targetGyroxElement() const { return m_targetGyroxElement; }
    MavTeleDataElementPtr targetGyroyElement() const { return m_targetGyroyElement; }
    MavTeleDataElementPtr targetGyrozElement() const { return m_targetGyrozElement; }
    MavTeleDataElementPtr rollServoOutElement() const { return m_rollServoOutElement; }
    MavTeleDataElementPtr pitchServoOutElement() const { return m_pitchServoOutElement; }
    MavTeleDataElementPtr yawServoOutElement() const { return m_yawServoOutElement; }
    MavTeleDataElementPtr throttleServoOutElement() const { return m_throttleServoOutElement; }

private:
    void showComprehensiveFields();

    MavProtoTargetStabilizeData_t m_data{};
    MavTeleDataElementPtr m_targetPosNElement;
    MavTeleDataElementPtr m_targetPosEElement;
    MavTeleDataElementPtr m_targetAltElement;
    MavTeleDataElementPtr m_targetVelNElement;
    MavTeleDataElementPtr m_targetVelEElement;
    MavTeleDataElementPtr m_targetVelZElement;
    MavTeleDataElementPtr m_targetRollElement;
    MavTeleDataElementPtr m_targetPitchElement;
    MavTeleDataElementPtr m_targetYawElement;
    MavTeleDataElementPtr m_targetGyroxElement;
    MavTeleDataElementPtr m_targetGyroyElement;
    MavTeleDataElementPtr m_targetGyrozElement;
    MavTeleDataElementPtr m_rollServoOutElement;
    MavTeleDataElementPtr m_pitchServoOutElement;
    MavTeleDataElementPtr m_yawServoOutElement;
    MavTeleDataElementPtr m_throttleServoOutElement;
};

using MavTargetStabilizeDataItemPtr = std::shared_ptr<MavTargetStabilizeDataItem>;
