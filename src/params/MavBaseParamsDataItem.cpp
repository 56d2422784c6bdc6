#include "MavBaseParamsDataItem.h"

#include <spdlog/spdlog.h>

MavBaseParamsDataItem::MavBaseParamsDataItem(QObject* parent) : QObject(parent) {}

void MavBaseParamsDataItem::setCustomNameFields(const std::vector<MavCustomNameFieldPtr>& fields)
{
    bool changed = false;
    for (const auto& field : fields) {
        if (!field)
            continue;
        bool ok = false;
        const int id = field->eid.toInt(&ok, 10);
        if (!ok) {
            spdlog::warn("<Params> custom name key '{}' is not an element id", field->eid.toStdString());
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
