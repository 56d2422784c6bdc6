#include "MavRcDataItem.h"

using E = MavTeleDataElement;

MavRcDataItem::MavRcDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    m_rcAilElement = addElement(E::RcAil, tr("副翼"));
    m_rcEleElement = addElement(E::RcEle, tr("升降舵"));
    m_rcThrElement = addElement(E::RcThr, tr("油门"));
    m_rcRudElement = addElement(E::RcRud, tr("方向舵"));
    m_rcModeElement = addElement(E::RcMode, tr("mode"));
    m_rcAux1Element = addElement(E::RcAux1, tr("aux1"));
    m_rcAux2Element = addElement(E::RcAux2, tr("aux2"));
    m_rcAux3Element = addElement(E::RcAux3, tr("aux3"));
    for (int i = 0; i < MotorCount; ++i)
        m_motorOutputElements[size_t(i)] = addElement(E::TeleElementId(E::RcMotorOutput0 + i), tr("电机%1").arg(i + 1));
}

void MavRcDataItem::showSticks()
{
    m_rcAilElement->setNumber(m_data.rcAil, 0);
    m_rcEleElement->setNumber(m_data.rcEle, 0);
    m_rcThrElement->setNumber(m_data.rcThr, 0);
    m_rcRudElement->setNumber(m_data.rcRud, 0);
    m_rcModeElement->setNumber(m_data.rcMode, 0);
}

void MavRcDataItem::showMotorOutputs(int count)
{
    for (int i = 0; i < count; ++i)
        m_motorOutputElements[size_t(i)]->setNumber(m_data.motorOutput[i], 0);
}

void MavRcDataItem::updateProtoData(const MavProtoRCData_t& data)
{
    m_data = data;
    showSticks();
    m_rcAux1Element->setNumber(m_data.rcAux1, 0);
    m_rcAux2Element->setNumber(m_data.rcAux2, 0);
    m_rcAux3Element->setNumber(m_data.rcAux3, 0);
    showMotorOutputs(MotorCount);
    emit dataChanged(ValuesUpdated);
}

void MavRcDataItem::updateFromComprehensiveData(const MavProtoComprehensiveData_t& data)
{
    m_data.rcAil = data.rcAil;
    m_data.rcEle = data.rcEle;
    m_data.rcThr = data.rcThr;
    m_data.rcRud = data.rcRud;
    m_data.rcMode = data.rcMode;
    for (int i = 0; i < MAVPROTO_COMPREHENSIVE_MOTOR_COUNT; ++i)
        m_data.motorOutput[i] = data.motorOutput[i];
    showSticks();
    showMotorOutputs(MAVPROTO_COMPREHENSIVE_MOTOR_COUNT);
    emit dataChanged(ValuesUpdated);
}
