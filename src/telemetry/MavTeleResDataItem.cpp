#include "MavTeleResDataItem.h"

using E = MavTeleDataElement;

MavTeleResDataItem::MavTeleResDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    for (int k = 0; k < ValueCount; ++k)
        m_resElements[size_t(k)] = addElement(E::TeleElementId(E::Res0 + k), tr("res%1").arg(k));
}

void MavTeleResDataItem::updateProtoData(const MavProtoResData_t& data)
{
    m_data = data;
    for (int k = 0; k < ValueCount; ++k)
        m_resElements[size_t(k)]->setNumber(m_data.res[k], 2);
    emit dataChanged(ValuesUpdated);
}
