#pragma once
// Position data (command 0x22): home and current position, RTK and fused relative distances and
// speeds, dual-antenna heading and satellite counts.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

class MavPosDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 34;

    explicit MavPosDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const MavProtoPosData_t& data);
    // Takes lat, lon, alt, the RTK distances, the three speeds and posSatNum; home, the fused
    // values, rtkYaw and rtkSatNum keep theirs.
    void updateFromComprehensiveData(const MavProtoComprehensiveData_t& data);

    const MavProtoPosData_t& protoData() const { return m_data; }

    double homeLat() const { return m_data.homeLat; }
    double homeLon() const { return m_data.homeLon; }
    double lat() const { return m_data.lat; }
    double lon() const { return m_data.lon; }
    double alt() const { return m_data.alt; }
    double rtkNorthLine() const { return m_data.rtkNorthLine; }
    double rtkEastLine() const { return m_data.rtkEastLine; }
    double rtkUpLine() const { return m_data.rtkUpLine; }
    float northSpd() const { return m_data.northSpd; }
    float eastSpd() const { return m_data.eastSpd; }
    float upSpd() const { return m_data.upSpd; }
    double ekfNorthLine() const { return m_data.ekfNorthLine; }
    double ekfEastLine() const { return m_data.ekfEastLine; }
    double ekfUpLine() const { return m_data.ekfUpLine; }
    float ekfNorthSpd() const { return m_data.ekfNorthSpd; }
    float ekfEastSpd() const { return m_data.ekfEastSpd; }
    float ekfUpSpd() const { return m_data.ekfUpSpd; }
    float rtkYaw() const { return m_data.rtkYaw; }
    uint8_t posSatNum() const { return m_data.posSatNum; }
    uint8_t rtkSatNum() const { return m_data.rtkSatNum; }

    MavTeleDataElementPtr homeLatElement() const { return m_homeLatElement; }
    MavTeleDataElementPtr homeLonElement() const { return m_homeLonElement; }
    MavTeleDataElementPtr latElement() const { return m_latElement; }
    MavTeleDataElementPtr lonElement() const { return m_lonElement; }
    MavTeleDataElementPtr altElement() const { return m_altElement; }
    MavTeleDataElementPtr rtkNorthLineElement() const { return m_rtkNorthLineElement; }
    MavTeleDataElementPtr rtkEastLineElement() const { return m_rtkEastLineElement; }
    MavTeleDataElementPtr rtkUpLineElement() const { return m_rtkUpLineElement; }
    MavTeleDataElementPtr northSpdElement() const { return m_northSpdElement; }
    MavTeleDataElementPtr eastSpdElement() const { return m_eastSpdElement; }
    MavTeleDataElementPtr upSpdElement() const { return m_upSpdElement; }
    MavTeleDataElementPtr ekfNorthLineElement() const { return m_ekfNorthLineElement; }
    MavTeleDataElementPtr ekfEastLineElement() const { return m_ekfEastLineElement; }
    MavTeleDataElementPtr ekfUpLineElement() const { return m_ekfUpLineElement; }
    MavTeleDataElementPtr ekfNorthSpdElement() const { return m_ekfNorthSpdElement; }
    MavTeleDataElementPtr ekfEastSpdElement() const { return m_ekfEastSpdElement; }
    MavTeleDataElementPtr ekfUpSpdElement() const { return m_ekfUpSpdElement; }
    MavTeleDataElementPtr rtkYawElement() const { return m_rtkYawElement; }
    MavTeleDataElementPtr posSatNumElement() const { return m_posSatNumElement; }
    MavTeleDataElementPtr rtkSatNumElement() const { return m_rtkSatNumElement; }

private:
    void showComprehensiveFields();

    MavProtoPosData_t m_data{};
    MavTeleDataElementPtr m_homeLatElement;
    MavTeleDataElementPtr m_homeLonElement;
    MavTeleDataElementPtr m_latElement;
    MavTeleDataElementPtr m_lonElement;
    MavTeleDataElementPtr m_altElement;
    MavTeleDataElementPtr m_rtkNorthLineElement;
    MavTeleDataElementPtr m_rtkEastLineElement;
    MavTeleDataElementPtr m_rtkUpLineElement;
    MavTeleDataElementPtr m_northSpdElement;
    MavTeleDataElementPtr m_eastSpdElement;
    MavTeleDataElementPtr m_upSpdElement;
    MavTeleDataElementPtr m_ekfNorthLineElement;
    MavTeleDataElementPtr m_ekfEastLineElement;
    MavTeleDataElementPtr m_ekfUpLineElement;
    MavTeleDataElementPtr m_ekfNorthSpdElement;
    MavTeleDataElementPtr m_ekfEastSpdElement;
    MavTeleDataElementPtr m_ekfUpSpdElement;
    MavTeleDataElementPtr m_rtkYawElement;
    MavTeleDataElementPtr m_posSatNumElement;
    MavTeleDataElementPtr m_rtkSatNumElement;
};

using MavPosDataItemPtr = std::shared_ptr<MavPosDataItem>;
