#include "MavRcDataItem.h"

using E = MavTeleDataElement;

MavRcDataItem::MavRcDataItem(QObject* parent) : MavTeleBaseDataItem(parent)
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
    m_rcAilElement->setValue(QString::number(m_data.rcAil));
    m_rcEleElement->setValue(QString::number(m_data.rcEle));
    m_rcThrElement->setValue(QString::number(m_data.rcThr));
    m_rcRudElement->setValue(QString::number(m_data.rcRud));
    m_rcModeElement->setValue(QString::number(m_data.rcMode));
}

void MavRcDataItem::showMotorOutputs(int count)
{
    for (int i = 0; i < count; ++i)
        m_motorOutputElements[size_t(i)]->setValue(QString::number(m_data.motorOutput[i]));
}

void MavRcDataItem::updateProtoData(const MavProtoRCData_t& data)
{
    m_data = data;
    showSticks();
    m_rcAux1Element->setValue(QString::number(m_data.rcAux1));
    m_rcAux2Element->setValue(QString::number(m_data.rcAux2));
    m_rcAux3Element->setValue(QString::number(m_data.rcAux3));
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
