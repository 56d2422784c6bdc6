#pragma once
// One telemetry item of each kind for the application as a whole (not tied to a vehicle), created
// on first use, with an index of their elements by id. Main thread only.
//
// Custom names of the reserved values are handed in with setResTeleCustomNameFields; the box
// keeps the last set so a reserved item created later gets it too.

#include "params/MavCustomNameField.h"
#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTeleDataElement.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class MavTeleDataItemBox : public QObject {
    Q_OBJECT
public:
    explicit MavTeleDataItemBox(QObject* parent = nullptr);

    // The six telemetry commands that have an item, in item order: 33, 34, 35, 36, 37, 47.
    static const QList<int>& dataCommands();
    // A fresh item for one of dataCommands(), owned by a shared pointer; empty for any other.
    static std::shared_ptr<MavTeleBaseDataItem> createDataItem(int dataCommand);

    // The item of the command, created on first use; empty for a command without an item.
    std::shared_ptr<MavTeleBaseDataItem> getDataItem(int dataCommand);
    // The element with the id, creating all items first if it is not indexed yet; empty if none.
    std::shared_ptr<MavTeleDataElement> getDataElement(int elementId);

    void setResTeleCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields);

private:
    QHash<int, std::shared_ptr<MavTeleBaseDataItem>> m_dataItems;
    QHash<int, std::shared_ptr<MavTeleDataElement>> m_dataElements;
    std::vector<std::shared_ptr<MavCustomNameField>> m_resTeleFields;
};

using MavTeleDataItemBoxPtr = std::shared_ptr<MavTeleDataItemBox>;
