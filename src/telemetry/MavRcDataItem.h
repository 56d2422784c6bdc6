#pragma once
// Remote-control data (command 0x24): the stick, mode and auxiliary channels and the sixteen
// motor outputs, all raw 16-bit values.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

#include <array>

class MavRcDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 36;
    static constexpr int MotorCount = MAVPROTO_RC_MOTOR_COUNT;

    explicit MavRcDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const MavProtoRCData_t& data);
    // Takes the first five channels and motor outputs 0 to 9; aux channels and outputs 10 to 15
    // keep theirs.
    void updateFromComprehensiveData(const MavProtoComprehensiveData_t& data);

    const MavProtoRCData_t& protoData() const { return m_data; }

    uint16_t rcAil() const { return m_data.rcAil; }
    uint16_t rcEle() const { return m_data.rcEle; }
    uint16_t rcThr() const { return m_data.rcThr; }
    uint16_t rcRud() const { return m_data.rcRud; }
    uint16_t rcMode() const { return m_data.rcMode; }
    uint16_t rcAux1() const { return m_data.rcAux1; }
    uint16_t rcAux2() const { return m_data.rcAux2; }
    uint16_t rcAux3() const { return m_data.rcAux3; }
    // 0 outside 0..15.
    uint16_t motorOutput(int i) const { return i >= 0 && i < MotorCount ? m_data.motorOutput[i] : 0; }

    MavTeleDataElementPtr rcAilElement() const { return m_rcAilElement; }
    MavTeleDataElementPtr rcEleElement() const { return m_rcEleElement; }
    MavTeleDataElementPtr rcThrElement() const { return m_rcThrElement; }
    MavTeleDataElementPtr rcRudElement() const { return m_rcRudElement; }
    MavTeleDataElementPtr rcModeElement() const { return m_rcModeElement; }
    MavTeleDataElementPtr rcAux1Element() const { return m_rcAux1Element; }
    MavTeleDataElementPtr rcAux2Element() const { return m_rcAux2Element; }
    MavTeleDataElementPtr rcAux3Element() const { return m_rcAux3Element; }
    // Empty outside 0..15.
    MavTeleDataElementPtr motorOutputElement(int i) const
    {
        return i >= 0 && i < MotorCount ? m_motorOutputElements[size_t(i)] : nullptr;
    }

private:
    void showSticks();
    void showMotorOutputs(int count);

    MavProtoRCData_t m_data{};
    MavTeleDataElementPtr m_rcAilElement;
    MavTeleDataElementPtr m_rcEleElement;
    MavTeleDataElementPtr m_rcThrElement;
    MavTeleDataElementPtr m_rcRudElement;
    MavTeleDataElementPtr m_rcModeElement;
    MavTeleDataElementPtr m_rcAux1Element;
    MavTeleDataElementPtr m_rcAux2Element;
    MavTeleDataElementPtr m_rcAux3Element;
    std::array<MavTeleDataElementPtr, MotorCount> m_motorOutputElements;
};

using MavRcDataItemPtr = std::shared_ptr<MavRcDataItem>;
