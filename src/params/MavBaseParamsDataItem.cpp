#include "MavBaseParamsDataItem.h"

#include <spdlog/spdlog.h>

MavBaseParamsDataItem::MavBaseParamsDataItem(QObject* parent)
    : QObject(parent)
{
}

void MavBaseParamsDataItem::setCustomNameFields(const std::vector<MavCustomNameFieldPtr>& fields)
{
    const bool changed = applyCustomNameFields(fields, m_dataElementList, "<Params>");
    if (changed)
        emit dataChanged(DisplayNamesChanged);
}
