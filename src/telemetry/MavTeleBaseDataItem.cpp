#include "MavTeleBaseDataItem.h"

#include <spdlog/spdlog.h>

MavTeleBaseDataItem::MavTeleBaseDataItem(QObject* parent)
    : QObject(parent)
{
}

MavTeleDataElementPtr MavTeleBaseDataItem::addElement(MavTeleDataElement::TeleElementId id, const QString& name,
                                                      const QString& unit)
{
    auto element = std::make_shared<MavTeleDataElement>(id, name, QString(), unit, short(dataCommand()));
    m_dataElementList.append(element);
    return element;
}

void MavTeleBaseDataItem::setCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    const bool changed = applyCustomNameFields(fields, m_dataElementList, "<Tele>");
    if (changed)
        emit dataChanged(DisplayNamesChanged);
}
