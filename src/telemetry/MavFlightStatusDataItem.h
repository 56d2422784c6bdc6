#pragma once
// Flight status data (command 0x25): flight mode and state, the health states, supply voltage,
// GNSS quality, flight times and the take-off check bits.
//
// State codes show their number as value and a readable text as display value; a code without a
// text leaves the display value empty, so displayValue() falls back to the number. Flight times
// show seconds as value and "H:MM:SS" as display value. Every update, full or comprehensive,
// rewrites all elements from the record.

#include "MavProtoTeleProcesser.h"
#include "telemetry/MavTeleBaseDataItem.h"

class MavFlightStatusDataItem final : public MavTeleBaseDataItem {
    Q_OBJECT
public:
    static constexpr int Command = 37;

    explicit MavFlightStatusDataItem(QObject* parent = nullptr);

    int dataCommand() const override { return Command; }
    std::shared_ptr<MavTeleBaseDataItem> selfPointer() override { return weak_from_this().lock(); }

    void updateProtoData(const _MavProtoFlightStatusData_t& data);
    // Takes mode, state, the six state bytes and fcuVol, and rebuilds the packed state byte from
    // the six; does not count as a flight status frame for hasFlightStatusFrameData().
    void updateFromComprehensiveData(const MavProtoComprehensiveData_t& data);

    // True once a whole flight status record has been received.
    bool hasFlightStatusFrameData() const { return m_hasFlightStatusFrameData; }

    const _MavProtoFlightStatusData_t& protoData() const { return m_data; }

    uint8_t flightMode() const { return m_data.flightMode; }
    uint8_t flightState() const { return m_data.flightState; }
    uint8_t rcState() const { return m_data.rcState; }
    uint8_t positionState() const { return m_data.positionState; }
    uint8_t headingState() const { return m_data.headingState; }
    uint8_t linkState() const { return m_data.linkState; }
    uint8_t armedState() const { return m_data.armedState; }
    uint8_t batteryState() const { return m_data.batteryState; }
    float fcuVol() const { return m_data.fcuVol; }
    uint8_t workState() const { return m_data.workState; }
    uint8_t imuSensorState() const { return m_data.imuSensorState; }
    uint8_t headingSensorState() const { return m_data.headingSensorState; }
    uint8_t gnssHdop() const { return m_data.gnssHdop; }
    uint8_t gnssVdop() const { return m_data.gnssVdop; }
    uint16_t gnssPositionState() const { return m_data.gnssPositionState; }
    uint8_t integratedNavigationState() const { return m_data.integratedNavigationState; }
    uint8_t emergencyProtect() const { return m_data.emergencyProtect; }
    uint32_t totalFlightTime() const { return m_data.totalFlightTime; }
    uint32_t currentFlightTime() const { return m_data.currentFlightTime; }
    uint32_t surplusFlightTime() const { return m_data.surplusFlightTime; }
    uint16_t takeoffCheck() const { return m_data.takeoffCheck; }

    MavTeleDataElementPtr flightModeElement() const { return m_flightModeElement; }
    MavTeleDataElementPtr flightStateElement() const { return m_flightStateElement; }
    MavTeleDataElementPtr rcStateElement() const { return m_rcStateElement; }
    MavTeleDataElementPtr positionStateElement() const { return m_positionStateElement; }
    MavTeleDataElementPtr headingStateElement() const { return m_headingStateElement; }
    MavTeleDataElementPtr linkStateElement() const { return m_linkStateElement; }
    MavTeleDataElementPtr armedStateElement() const { return m_armedStateElement; }
    MavTeleDataElementPtr batteryStateElement() const { return m_batteryStateElement; }
    MavTeleDataElementPtr fcuVolElement() const { return m_fcuVolElement; }
    MavTeleDataElementPtr workStateElement() const { return m_workStateElement; }
    MavTeleDataElementPtr imuSensorStateElement() const { return m_imuSensorStateElement; }
    MavTeleDataElementPtr headingSensorStateElement() const { return m_headingSensorStateElement; }
    MavTeleDataElementPtr gnssHdopElement() const { return m_gnssHdopElement; }
    MavTeleDataElementPtr gnssVdopElement() const { return m_gnssVdopElement; }
    MavTeleDataElementPtr gnssPositionStateElement() const { return m_gnssPositionStateElement; }
    MavTeleDataElementPtr integratedNavigationStateElement() const { return m_integratedNavigationStateElement; }
    MavTeleDataElementPtr emergencyProtectElement() const { return m_emergencyProtectElement; }
    MavTeleDataElementPtr totalFlightTimeElement() const { return m_totalFlightTimeElement; }
    MavTeleDataElementPtr currentFlightTimeElement() const { return m_currentFlightTimeElement; }
    MavTeleDataElementPtr surplusFlightTimeElement() const { return m_surplusFlightTimeElement; }
    MavTeleDataElementPtr takeoffCheckElement() const { return m_takeoffCheckElement; }

    // Readable texts of the state codes; an empty string for a code without one.
    static QString flightModeText(int code);
    static QString flightStateText(int code);
    static QString rcStateText(int code);
    static QString positionStateText(int code);
    static QString headingStateText(int code);
    static QString linkStateText(int code);
    static QString armedStateText(int code);
    static QString batteryStateText(int code);
    static QString workStateText(int code);
    // The fix kind of the GNSS receiver, on the scale of positionState.
    static QString gnssPositionStateText(int code);
    static QString integratedNavigationStateText(int code);
    // The units a mask says are faulty, "正常" when none is.
    static QString imuSensorStateText(int bits);
    static QString headingSensorStateText(int bits);
    static QString emergencyProtectText(int code);
    // "H:MM:SS"; hours are not padded and not wrapped at a day.
    static QString durationText(uint32_t seconds);
    // One text per bit 0..6, joined by "；"; bits 7..15 are ignored.
    static QString takeoffCheckText(uint16_t bits);

private:
    void syncElements();

    _MavProtoFlightStatusData_t m_data{};
    bool m_hasFlightStatusFrameData = false;
    MavTeleDataElementPtr m_flightModeElement;
    MavTeleDataElementPtr m_flightStateElement;
    MavTeleDataElementPtr m_rcStateElement;
    MavTeleDataElementPtr m_positionStateElement;
    MavTeleDataElementPtr m_headingStateElement;
    MavTeleDataElementPtr m_linkStateElement;
    MavTeleDataElementPtr m_armedStateElement;
    MavTeleDataElementPtr m_batteryStateElement;
    MavTeleDataElementPtr m_fcuVolElement;
    MavTeleDataElementPtr m_workStateElement;
    MavTeleDataElementPtr m_imuSensorStateElement;
    MavTeleDataElementPtr m_headingSensorStateElement;
    MavTeleDataElementPtr m_gnssHdopElement;
    MavTeleDataElementPtr m_gnssVdopElement;
    MavTeleDataElementPtr m_gnssPositionStateElement;
    MavTeleDataElementPtr m_integratedNavigationStateElement;
    MavTeleDataElementPtr m_emergencyProtectElement;
    MavTeleDataElementPtr m_totalFlightTimeElement;
    MavTeleDataElementPtr m_currentFlightTimeElement;
    MavTeleDataElementPtr m_surplusFlightTimeElement;
    MavTeleDataElementPtr m_takeoffCheckElement;
};

using MavFlightStatusDataItemPtr = std::shared_ptr<MavFlightStatusDataItem>;
