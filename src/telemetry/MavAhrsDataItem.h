#pragma once
// Attitude and heading reference data (command 0x21): rates, accelerations, magnetometer,
// attitude angles and barometric altitude.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

class MavAhrsDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 33;

    explicit MavAhrsDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const MavProtoAhrsData_t& data);
    // Takes roll, pitch, yaw and pressure altitude; every other field keeps its value.
    void updateFromComprehensiveData(const MavProtoComprehensiveData_t& data);
    // Attitude of a vehicle watched only remotely.
    void updateFromStatus(float roll, float pitch, float yaw);

    const MavProtoAhrsData_t& protoData() const { return m_data; }

    float gx() const { return m_data.gx; }
    float gy() const { return m_data.gy; }
    float gz() const { return m_data.gz; }
    float ax() const { return m_data.ax; }
    float ay() const { return m_data.ay; }
    float az() const { return m_data.az; }
    int16_t mx() const { return m_data.mx; }
    int16_t my() const { return m_data.my; }
    int16_t mz() const { return m_data.mz; }
    float roll() const { return m_data.roll; }
    float pitch() const { return m_data.pitch; }
    float yaw() const { return m_data.yaw; }
    float magYaw() const { return m_data.magYaw; }
    float presAlt() const { return m_data.presAlt; }
    int16_t res0() const { return m_data.res0; }

    MavTeleDataElementPtr gxElement() const { return m_gxElement; }
    MavTeleDataElementPtr gyElement() const { return m_gyElement; }
    MavTeleDataElementPtr gzElement() const { return m_gzElement; }
    MavTeleDataElementPtr axElement() const { return m_axElement; }
    MavTeleDataElementPtr ayElement() const { return m_ayElement; }
    MavTeleDataElementPtr azElement() const { return m_azElement; }
    MavTeleDataElementPtr mxElement() const { return m_mxElement; }
    MavTeleDataElementPtr myElement() const { return m_myElement; }
    MavTeleDataElementPtr mzElement() const { return m_mzElement; }
    MavTeleDataElementPtr rollElement() const { return m_rollElement; }
    MavTeleDataElementPtr pitchElement() const { return m_pitchElement; }
    MavTeleDataElementPtr yawElement() const { return m_yawElement; }
    MavTeleDataElementPtr magYawElement() const { return m_magYawElement; }
    MavTeleDataElementPtr presAltElement() const { return m_presAltElement; }
    MavTeleDataElementPtr res0Element() const { return m_res0Element; }

private:
    void showAttitude();

    MavProtoAhrsData_t m_data{};
    MavTeleDataElementPtr m_gxElement;
    MavTeleDataElementPtr m_gyElement;
    MavTeleDataElementPtr m_gzElement;
    MavTeleDataElementPtr m_axElement;
    MavTeleDataElementPtr m_ayElement;
    MavTeleDataElementPtr m_azElement;
    MavTeleDataElementPtr m_mxElement;
    MavTeleDataElementPtr m_myElement;
    MavTeleDataElementPtr m_mzElement;
    MavTeleDataElementPtr m_rollElement;
    MavTeleDataElementPtr m_pitchElement;
    MavTeleDataElementPtr m_yawElement;
    MavTeleDataElementPtr m_magYawElement;
    MavTeleDataElementPtr m_presAltElement;
    MavTeleDataElementPtr m_res0Element;
};

using MavAhrsDataItemPtr = std::shared_ptr<MavAhrsDataItem>;
