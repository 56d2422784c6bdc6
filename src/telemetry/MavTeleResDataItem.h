#pragma once
// Reserved telemetry values (command 0x2F): thirty floats whose meaning depends on the vehicle's
// firmware; users give them names through custom name fields.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

#include <array>

class MavTeleResDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 47;
    static constexpr int ValueCount = MAVPROTO_RES_VALUE_COUNT;

    explicit MavTeleResDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const MavProtoResData_t& data);

    const MavProtoResData_t& protoData() const { return m_data; }
    // Empty outside 0..29.
    MavTeleDataElementPtr resElement(int k) const
    {
        return k >= 0 && k < ValueCount ? m_resElements[size_t(k)] : nullptr;
    }

private:
    MavProtoResData_t m_data{};
    std::array<MavTeleDataElementPtr, ValueCount> m_resElements;
};

using MavTeleResDataItemPtr = std::shared_ptr<MavTeleResDataItem>;
