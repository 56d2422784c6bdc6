#pragma once
// One displayed telemetry field: its id, label, unit and the current value already formatted.
// Items own their elements and rewrite value (and, for state codes, displayValue) on each update;
// displayName is the user's label for the field and wins over the built-in one when set.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class MavTeleBaseDataItem;

class MavTeleDataElement {
    Q_GADGET
public:
    // The values are the wire-independent element ids that lists, plots, alerts and custom names
    // refer to; 409 and 410 are not used.
    enum TeleElementId : int32_t {
        AhrsGx = 1,
        AhrsGy = 2,
        AhrsGz = 3,
        AhrsAx = 4,
        AhrsAy = 5,
        AhrsAz = 6,
        AhrsMx = 7,
        AhrsMy = 8,
        AhrsMz = 9,
        AhrsRoll = 10,
        AhrsPitch = 11,
        AhrsYaw = 12,
        AhrsMagYaw = 13,
        AhrsPresAlt = 14,
        AhrsRes0 = 15,

        PosHomeLat = 100,
        PosHomeLon = 101,
        PosLat = 102,
        PosLon = 103,
        PosAlt = 104,
        PosRtkNorthLine = 105,
        PosRtkEastLine = 106,
        PosRtkUpLine = 107,
        PosNorthSpd = 108,
        PosEastSpd = 109,
        PosUpSpd = 110,
        PosEkfNorthLine = 111,
        PosEkfEastLine = 112,
        PosEkfUpLine = 113,
        PosEkfNorthSpd = 114,
        PosEkfEastSpd = 115,
        PosEkfUpSpd = 116,
        PosRtkYaw = 117,
        PosSatNum = 118,
        PosRtkSatNum = 119,

        TargetPosN = 200,
        TargetPosE = 201,
        TargetAlt = 202,
        TargetVelN = 203,
        TargetVelE = 204,
        TargetVelZ = 205,
        TargetRoll = 206,
        TargetPitch = 207,
        TargetYaw = 208,
        TargetGyroX = 209,
        TargetGyroY = 210,
        TargetGyroZ = 211,
        TargetRollServoOut = 212,
        TargetPitchServoOut = 213,
        TargetYawServoOut = 214,
        TargetThrottleServoOut = 215,

        RcAil = 300,
        RcEle = 301,
        RcThr = 302,
        RcRud = 303,
        RcMode = 304,
        RcAux1 = 305,
        RcAux2 = 306,
        RcAux3 = 307,
        RcMotorOutput0 = 308,
        RcMotorOutput1 = 309,
        RcMotorOutput2 = 310,
        RcMotorOutput3 = 311,
        RcMotorOutput4 = 312,
        RcMotorOutput5 = 313,
        RcMotorOutput6 = 314,
        RcMotorOutput7 = 315,
        RcMotorOutput8 = 316,
        RcMotorOutput9 = 317,
        RcMotorOutput10 = 318,
        RcMotorOutput11 = 319,
        RcMotorOutput12 = 320,
        RcMotorOutput13 = 321,
        RcMotorOutput14 = 322,
        RcMotorOutput15 = 323,

        FlightMode = 400,
        FlightState = 401,
        FlightRcState = 402,
        FlightPositionState = 403,
        FlightHeadingState = 404,
        FlightLinkState = 405,
        FlightArmedState = 406,
        FlightBatteryState = 407,
        FlightFcuVol = 408,
        FlightWorkState = 411,
        FlightImuSensorState = 412,
        FlightHeadingSensorState = 413,
        FlightGnssHdop = 414,
        FlightGnssVdop = 415,
        FlightGnssPositionState = 416,
        FlightIntegratedNavigationState = 417,
        FlightEmergencyProtect = 418,
        FlightTotalFlightTime = 419,
        FlightCurrentFlightTime = 420,
        FlightSurplusFlightTime = 421,
        FlightTakeoffCheck = 422,

        Res0 = 500,
        Res1 = 501,
        Res2 = 502,
        Res3 = 503,
        Res4 = 504,
        Res5 = 505,
        Res6 = 506,
        Res7 = 507,
        Res8 = 508,
        Res9 = 509,
        Res10 = 510,
        Res11 = 511,
        Res12 = 512,
        Res13 = 513,
        Res14 = 514,
        Res15 = 515,
        Res16 = 516,
        Res17 = 517,
        Res18 = 518,
        Res19 = 519,
        Res20 = 520,
        Res21 = 521,
        Res22 = 522,
        Res23 = 523,
        Res24 = 524,
        Res25 = 525,
        Res26 = 526,
        Res27 = 527,
        Res28 = 528,
        Res29 = 529,
    };
    Q_ENUM(TeleElementId)

    MavTeleDataElement() = default;
    MavTeleDataElement(TeleElementId id, const QString& name, const QString& value, const QString& unit,
                       short dataCommand);

    TeleElementId id() const { return m_id; }
    QString name() const { return m_name; }
    // The user's label when one is set, else the built-in one.
    QString displayName() const { return m_displayName.isEmpty() ? m_name : m_displayName; }
    // A number set with setNumber is formatted here, on first read: most values are never read
    // before the next frame replaces them, and formatting them all was most of a large fleet's cost.
    QString value() const
    {
        if (m_valueStale) {
            m_value = QString::number(m_number, 'f', m_decimals);
            m_valueStale = false;
        }
        return m_value;
    }
    // The readable text of a state code when the item knows one, else the value itself.
    QString displayValue() const { return m_displayValue.isEmpty() ? value() : m_displayValue; }

    // What displayValue() would give, without formatting: a flight data row taken on the main
    // thread and written out on another.
    struct Cell {
        QString text;  // used when !isNumber
        double number = 0.0;
        int decimals = 0;
        bool isNumber = false;
    };
    Cell displayCell() const
    {
        if (!m_displayValue.isEmpty() && !(m_loggedAsNumber && m_hasNumber))
            return Cell{m_displayValue};
        if (m_hasNumber)
            return Cell{QString(), m_number, m_decimals, true};
        return Cell{m_value};
    }
    static QString format(const Cell& cell)
    {
        return cell.isNumber ? QString::number(cell.number, 'f', cell.decimals) : cell.text;
    }
    QString unit() const { return m_unit; }
    short dataCommand() const { return m_dataCommand; }
    std::shared_ptr<MavTeleBaseDataItem> dataItem() const { return m_dataItem.lock(); }

    void setName(const QString& name) { m_name = name; }
    void setValue(const QString& value)
    {
        m_hasNumber = false;
        m_valueStale = false;
        m_value = value;
    }
    // The value as a number shown with `decimals` decimals; true when it changed.
    bool setNumber(double number, int decimals)
    {
        if (m_hasNumber && number == m_number && decimals == m_decimals)
            return false;
        m_hasNumber = true;
        m_number = number;
        m_decimals = decimals;
        m_valueStale = true;
        return true;
    }
    void setUnit(const QString& unit) { m_unit = unit; }
    void setDisplayName(const QString& displayName) { m_displayName = displayName; }
    void setDisplayValue(const QString& displayValue) { m_displayValue = displayValue; }
    // Bit masks and codes whose words are for people: flight logs keep their number, which a
    // later reader can still take apart bit by bit.
    void setLoggedAsNumber(bool on) { m_loggedAsNumber = on; }
    void setDataCommand(short dataCommand) { m_dataCommand = dataCommand; }
    void setDataItem(const std::weak_ptr<MavTeleBaseDataItem>& item) { m_dataItem = item; }

protected:
    void setId(TeleElementId id) { m_id = id; }

private:
    TeleElementId m_id = TeleElementId(0);
    QString m_name;
    QString m_displayName;
    mutable QString m_value;
    mutable bool m_valueStale = false;
    bool m_hasNumber = false;
    bool m_loggedAsNumber = false;
    double m_number = 0.0;
    int m_decimals = 0;
    QString m_displayValue;
    QString m_unit;
    std::weak_ptr<MavTeleBaseDataItem> m_dataItem;
    short m_dataCommand = -1;
};

using MavTeleDataElementPtr = std::shared_ptr<MavTeleDataElement>;
