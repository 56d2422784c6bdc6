#include "MavAhrsDataItem.h"

using E = MavTeleDataElement;

MavAhrsDataItem::MavAhrsDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    const QString rate = QStringLiteral("deg/s");
    const QString acc = QStringLiteral("m/s^2");
    const QString deg = QStringLiteral("°");
    m_gxElement = addElement(E::AhrsGx, tr("x轴角速度"), rate);
    m_gyElement = addElement(E::AhrsGy, tr("y轴角速度"), rate);
    m_gzElement = addElement(E::AhrsGz, tr("z轴角速度"), rate);
    m_axElement = addElement(E::AhrsAx, tr("x轴加速度"), acc);
    m_ayElement = addElement(E::AhrsAy, tr("y轴加速度"), acc);
    m_azElement = addElement(E::AhrsAz, tr("z轴加速度"), acc);
    m_mxElement = addElement(E::AhrsMx, tr("x轴磁场强度"));
    m_myElement = addElement(E::AhrsMy, tr("y轴磁场强度"));
    m_mzElement = addElement(E::AhrsMz, tr("z轴磁场强度"));
    m_rollElement = addElement(E::AhrsRoll, tr("滚转角"), deg);
    m_pitchElement = addElement(E::AhrsPitch, tr("俯仰角"), deg);
    m_yawElement = addElement(E::AhrsYaw, tr("航向角"), deg);
    m_magYawElement = addElement(E::AhrsMagYaw, tr("磁航向"), deg);
    m_presAltElement = addElement(E::AhrsPresAlt, tr("气压高度"), QStringLiteral("m"));
    m_res0Element = addElement(E::AhrsRes0, tr("预留"));
}

void MavAhrsDataItem::showAttitude()
{
    m_rollElement->setNumber(m_data.roll, 2);
    m_pitchElement->setNumber(m_data.pitch, 2);
    m_yawElement->setNumber(m_data.yaw, 1);
}

void MavAhrsDataItem::updateProtoData(const MavProtoAhrsData_t& data)
{
    m_data = data;
    m_gxElement->setNumber(m_data.gx, 2);
    m_gyElement->setNumber(m_data.gy, 2);
    m_gzElement->setNumber(m_data.gz, 2);
    m_axElement->setNumber(m_data.ax, 2);
    m_ayElement->setNumber(m_data.ay, 2);
    m_azElement->setNumber(m_data.az, 2);
    m_mxElement->setNumber(m_data.mx, 0);
    m_myElement->setNumber(m_data.my, 0);
    m_mzElement->setNumber(m_data.mz, 0);
    showAttitude();
    m_magYawElement->setNumber(m_data.magYaw, 1);
    m_presAltElement->setNumber(m_data.presAlt, 1);
    m_res0Element->setNumber(m_data.res0, 0);
    emit dataChanged(ValuesUpdated);
}

void MavAhrsDataItem::updateFromComprehensiveData(const MavProtoComprehensiveData_t& data)
{
    m_data.roll = data.roll;
    m_data.pitch = data.pitch;
    m_data.yaw = data.yaw;
    m_data.presAlt = data.presAlt;
    showAttitude();
    m_presAltElement->setNumber(m_data.presAlt, 1);
    emit dataChanged(ValuesUpdated);
}

void MavAhrsDataItem::updateFromStatus(float roll, float pitch, float yaw)
{
    m_data.roll = roll;
    m_data.pitch = pitch;
    m_data.yaw = yaw;
    showAttitude();
    emit dataChanged(ValuesUpdated);
}
