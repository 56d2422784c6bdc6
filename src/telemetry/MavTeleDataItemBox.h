#pragma once
// One telemetry item of each kind for the application as a whole (not tied to a vehicle), created
// on first use, with an index of their elements by id. Main thread only.
//
// Custom names of the reserved values come from the custom name fields manager: the box applies
// its telemetry names to the reserved item when the manager is set, whenever the manager
// refreshes them, and when the reserved item is created later. Without a live manager the last
// names handed to setResTeleCustomNameFields are used instead.

#include "common/MavCustomNameField.h"
#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTeleDataElement.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class MavCustomNameFieldsConfigManager;

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

    // Held weakly; a second manager replaces the first.
    void setCustomNameFieldsConfigManager(const std::shared_ptr<MavCustomNameFieldsConfigManager>& mgr);
    void setResTeleCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields);

private slots:
    void handleResTeleFieldsRefreshed();

private:
    std::vector<std::shared_ptr<MavCustomNameField>> currentResTeleFields() const;
    void applyResTeleFields();

    QHash<int, std::shared_ptr<MavTeleBaseDataItem>> m_dataItems;
    QHash<int, std::shared_ptr<MavTeleDataElement>> m_dataElements;
    std::vector<std::shared_ptr<MavCustomNameField>> m_resTeleFields;
    std::weak_ptr<MavCustomNameFieldsConfigManager> m_customNameFieldsConfigMgr;
};

using MavTeleDataItemBoxPtr = std::shared_ptr<MavTeleDataItemBox>;
