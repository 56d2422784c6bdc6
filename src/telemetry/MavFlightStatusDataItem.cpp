#include "MavFlightStatusDataItem.h"

#include "VehicleAlertController.h"

#include <QStringList>

using E = MavTeleDataElement;

namespace {

// A state code and its text; the text is looked up (and translated) only when the code changes.
template <typename TextOf>
void showCode(const MavTeleDataElementPtr& element, int code, TextOf textOf)
{
    if (element->setNumber(code, 0))
        element->setDisplayValue(textOf(code));
}

void showNumber(const MavTeleDataElementPtr& element, double value, int decimals)
{
    element->setNumber(value, decimals);
}

}  // namespace

MavFlightStatusDataItem::MavFlightStatusDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    m_flightModeElement = addElement(E::FlightMode, tr("飞行模式"));
    m_flightStateElement = addElement(E::FlightState, tr("飞行状态"));
    m_rcStateElement = addElement(E::FlightRcState, tr("遥控器状态"));
    m_positionStateElement = addElement(E::FlightPositionState, tr("定位状态"));
    m_headingStateElement = addElement(E::FlightHeadingState, tr("定向状态"));
    m_linkStateElement = addElement(E::FlightLinkState, tr("链路状态"));
    m_armedStateElement = addElement(E::FlightArmedState, tr("解锁状态"));
    m_batteryStateElement = addElement(E::FlightBatteryState, tr("电池状态"));
    m_fcuVolElement = addElement(E::FlightFcuVol, tr("飞控供电电压"), QStringLiteral("V"));
    m_workStateElement = addElement(E::FlightWorkState, tr("工作状态"));
    m_imuSensorStateElement = addElement(E::FlightImuSensorState, tr("IMU传感器状态"));
    m_headingSensorStateElement = addElement(E::FlightHeadingSensorState, tr("方向角传感器状态"));
    m_gnssHdopElement = addElement(E::FlightGnssHdop, tr("GNSS HDOP"));
    m_gnssVdopElement = addElement(E::FlightGnssVdop, tr("GNSS VDOP"));
    m_gnssPositionStateElement = addElement(E::FlightGnssPositionState, tr("GNSS定位状态"));
    m_integratedNavigationStateElement = addElement(E::FlightIntegratedNavigationState, tr("组合导航状态"));
    m_emergencyProtectElement = addElement(E::FlightEmergencyProtect, tr("应急保护"));
    m_totalFlightTimeElement = addElement(E::FlightTotalFlightTime, tr("累计飞行时间"));
    m_currentFlightTimeElement = addElement(E::FlightCurrentFlightTime, tr("本次飞行时间"));
    m_surplusFlightTimeElement = addElement(E::FlightSurplusFlightTime, tr("预计剩余飞行时间"));
    m_takeoffCheckElement = addElement(E::FlightTakeoffCheck, tr("起飞项检查"));
    for (const auto& element : {m_imuSensorStateElement, m_headingSensorStateElement, m_gnssPositionStateElement,
                                m_integratedNavigationStateElement, m_emergencyProtectElement})
        element->setLoggedAsNumber(true);
}

void MavFlightStatusDataItem::updateProtoData(const _MavProtoFlightStatusData_t& data)
{
    m_data = data;
    m_hasFlightStatusFrameData = true;
    syncElements();
    emit dataChanged(ValuesUpdated);
}

void MavFlightStatusDataItem::updateFromComprehensiveData(const MavProtoComprehensiveData_t& data)
{
    m_data.flightMode = data.flightMode;
    m_data.flightState = data.flightState;
    m_data.rcState = data.states.rcState;
    m_data.positionState = data.states.positionState;
    m_data.headingState = data.states.headingState;
    m_data.linkState = data.states.linkState;
    m_data.armedState = data.states.armedState;
    m_data.batteryState = data.states.batteryState;
    m_data.packedState = MavProtoTeleProcesser::encodeComprehensiveStateByte(data.states);
    m_data.fcuVol = data.fcuVol;
    syncElements();
    emit dataChanged(ValuesUpdated);
}

void MavFlightStatusDataItem::syncElements()
{
    showCode(m_flightModeElement, m_data.flightMode, flightModeText);
    showCode(m_flightStateElement, m_data.flightState, flightStateText);
    showCode(m_rcStateElement, m_data.rcState, rcStateText);
    showCode(m_positionStateElement, m_data.positionState, positionStateText);
    showCode(m_headingStateElement, m_data.headingState, headingStateText);
    showCode(m_linkStateElement, m_data.linkState, linkStateText);
    showCode(m_armedStateElement, m_data.armedState, armedStateText);
    showCode(m_batteryStateElement, m_data.batteryState, batteryStateText);
    showNumber(m_fcuVolElement, m_data.fcuVol, 1);
    showCode(m_workStateElement, m_data.workState, workStateText);
    showCode(m_imuSensorStateElement, m_data.imuSensorState, imuSensorStateText);
    showCode(m_headingSensorStateElement, m_data.headingSensorState, headingSensorStateText);
    // Dilutions arrive in tenths; dividing (not multiplying by 0.1) keeps the decimal exact.
    showNumber(m_gnssHdopElement, m_data.gnssHdop / 10.0, 1);
    showNumber(m_gnssVdopElement, m_data.gnssVdop / 10.0, 1);
    showCode(m_gnssPositionStateElement, m_data.gnssPositionState, gnssPositionStateText);
    showCode(m_integratedNavigationStateElement, m_data.integratedNavigationState, integratedNavigationStateText);
    showCode(m_emergencyProtectElement, m_data.emergencyProtect, emergencyProtectText);
    if (m_totalFlightTimeElement->setNumber(m_data.totalFlightTime, 0))
        m_totalFlightTimeElement->setDisplayValue(durationText(m_data.totalFlightTime));
    if (m_currentFlightTimeElement->setNumber(m_data.currentFlightTime, 0))
        m_currentFlightTimeElement->setDisplayValue(durationText(m_data.currentFlightTime));
    if (m_surplusFlightTimeElement->setNumber(m_data.surplusFlightTime, 0))
        m_surplusFlightTimeElement->setDisplayValue(durationText(m_data.surplusFlightTime));
    if (m_takeoffCheckElement->setNumber(m_data.takeoffCheck, 0))
        m_takeoffCheckElement->setDisplayValue(takeoffCheckText(m_data.takeoffCheck));
}

QString MavFlightStatusDataItem::flightModeText(int code)
{
    switch (code) {
    case 0: return tr("姿态模式");
    case 1: return tr("手动模式");
    case 2: return tr("定高模式");
    case 3: return tr("自动模式");
    case 4: return tr("引导模式");
    case 5: return tr("定点模式");
    case 6: return tr("返航模式");
    case 7: return tr("环绕模式");
    case 8: return tr("起飞模式");
    case 9: return tr("降落模式");
    case 10: return tr("光流定点模式");
    case 11: return tr("跟随模式");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::flightStateText(int code)
{
    switch (code) {
    case 0: return tr("未飞行");
    case 1: return tr("爬升中");
    case 2: return tr("悬停中");
    case 3: return tr("航行中");
    case 4: return tr("下降中");
    case 5: return tr("怠速中");
    case 6: return tr("手动飞行中");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::rcStateText(int code)
{
    switch (code) {
    case 0: return tr("丢失");
    case 1: return tr("正常");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::positionStateText(int code)
{
    switch (code) {
    case 0: return tr("未定位");
    case 1: return tr("单点");
    case 2: return tr("伪距差分");
    case 3: return tr("RTK差分");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::headingStateText(int code)
{
    switch (code) {
    case 0: return tr("未定向");
    case 1: return tr("已定向");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::linkStateText(int code)
{
    switch (code) {
    case 0: return tr("链路丢失");
    case 1: return tr("链路正常");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::armedStateText(int code)
{
    switch (code) {
    case 0: return tr("未解锁");
    case 1: return tr("已解锁");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::batteryStateText(int code)
{
    switch (code) {
    case 0: return tr("正常");
    case 1: return tr("电池低电压");
    case 2: return tr("电池严重低电压");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::workStateText(int code)
{
    switch (code) {
    case 1: return tr("初始化失败");
    case 2: return tr("初始化成功");
    case 3: return tr("在地面");
    case 4: return tr("怠速中");
    case 5: return tr("飞行中");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::gnssPositionStateText(int code)
{
    return positionStateText(code);
}

QString MavFlightStatusDataItem::integratedNavigationStateText(int code)
{
    switch (code) {
    case 0: return tr("未就绪");
    case 1: return tr("就绪");
    default: return QString();
    }
}

QString MavFlightStatusDataItem::imuSensorStateText(int bits)
{
    const auto state = quint8(bits);
    QStringList faults;
    if (VehicleAlertController::isImuOverallFault(state))
        faults << tr("IMU总体故障");
    if (VehicleAlertController::isImuUnitFault(state, 0x01))
        faults << tr("IMU1异常");
    if (VehicleAlertController::isImuUnitFault(state, 0x02))
        faults << tr("IMU2异常");
    if (VehicleAlertController::isImuUnitFault(state, 0x04))
        faults << tr("IMU3异常");
    return faults.isEmpty() ? tr("正常") : faults.join(tr("、", "list separator"));
}

QString MavFlightStatusDataItem::headingSensorStateText(int bits)
{
    const auto state = quint8(bits);
    QStringList faults;
    if (VehicleAlertController::isHeadingOverallFault(state))
        faults << tr("方向角传感器总体故障");
    if (VehicleAlertController::isMagSensorFault(state))
        faults << tr("磁力计异常");
    if (VehicleAlertController::isDualAntennaFault(state))
        faults << tr("双天线异常");
    return faults.isEmpty() ? tr("正常") : faults.join(tr("、", "list separator"));
}

QString MavFlightStatusDataItem::emergencyProtectText(int code)
{
    return VehicleAlertController::hasEmergencyProtectAction(quint8(code))
               ? VehicleAlertController::emergencyProtectMessage(quint8(code))
               : tr("未触发");
}

QString MavFlightStatusDataItem::durationText(uint32_t seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString MavFlightStatusDataItem::takeoffCheckText(uint16_t bits)
{
    // Bit 0 set forbids take-off; bits 1..6 set mean the subsystem is healthy.
    const bool forbidden = bits & 0x01;
    QStringList parts;
    parts << (forbidden ? tr("禁止起飞") : tr("允许起飞"));
    parts << ((bits & 0x02) ? tr("IMU正常") : tr("IMU异常"));
    parts << ((bits & 0x04) ? tr("方向角正常") : tr("方向角异常"));
    parts << ((bits & 0x08) ? tr("遥控器正常") : tr("遥控器丢失"));
    parts << ((bits & 0x10) ? tr("GNSS正常") : tr("GNSS丢失"));
    parts << ((bits & 0x20) ? tr("定向信号正常") : tr("定向信号丢失"));
    parts << ((bits & 0x40) ? tr("电池正常") : tr("电池异常"));
    return parts.join(tr("；", "list separator"));
}
