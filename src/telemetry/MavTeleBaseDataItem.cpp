#include "MavTeleBaseDataItem.h"

#include <spdlog/spdlog.h>

MavTeleBaseDataItem::MavTeleBaseDataItem(QObject* parent) : QObject(parent) {}

MavTeleDataElementPtr MavTeleBaseDataItem::addElement(MavTeleDataElement::TeleElementId id, const QString& name,
                                                      const QString& unit)
{
    auto element = std::make_shared<MavTeleDataElement>(id, name, QString(), unit, short(dataCommand()));
    m_dataElementList.append(element);
    return element;
}

void MavTeleBaseDataItem::setCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields)
{
    bool changed = false;
    for (const auto& field : fields) {
        if (!field)
            continue;
        bool ok = false;
        const int id = field->eid.toInt(&ok, 10);
        if (!ok) {
            spdlog::warn("<Tele> custom name key '{}' is not an element id", field->eid.toStdString());
            continue;
        }
        for (const auto& element : m_dataElementList) {
            if (int(element->id()) == id) {
                element->setDisplayName(field->customName);
                changed = true;
                break;
            }
        }
    }
    if (changed)
        emit dataChanged(DisplayNamesChanged);
}
