#include "VehicleUtil.h"

#include "telemetry/MavTeleDataItemBox.h"

QList<std::shared_ptr<MavTeleBaseDataItem>> VehicleUtil::createAllTeleDataItems()
{
    QList<std::shared_ptr<MavTeleBaseDataItem>> items;
    for (int cmd : MavTeleDataItemBox::dataCommands())
        items.append(MavTeleDataItemBox::createDataItem(cmd));
    return items;
}

QList<std::shared_ptr<MavTeleDataElement>> VehicleUtil::createAllTeleDataElements()
{
    QList<std::shared_ptr<MavTeleDataElement>> elements;
    for (const auto& item : createAllTeleDataItems())
        elements.append(item->dataElementList());
    return elements;
}
