#pragma once
// Base of the telemetry data items: one item per telemetry record kind, keeping the last record
// and one display element per shown field. Items live in shared pointers (selfPointer() is empty
// otherwise) and are used on the main thread only.

#include "common/MavCustomNameField.h"
#include "telemetry/MavTeleDataElement.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class MavTeleBaseDataItem : public QObject, public std::enable_shared_from_this<MavTeleBaseDataItem> {
    Q_OBJECT
public:
    // Roles of dataChanged.
    enum DataRole { ValuesUpdated = 0, DisplayNamesChanged = 1 };

    explicit MavTeleBaseDataItem(QObject* parent = nullptr);

    QList<MavTeleDataElementPtr> dataElementList() const { return m_dataElementList; }

    virtual void initDataElements() { }
    virtual int dataCommand() const = 0;
    virtual std::shared_ptr<MavTeleBaseDataItem> selfPointer() = 0;

    // Relabels elements from user-chosen names: each field's eid (decimal) picks the first element
    // with that id, whose displayName becomes the field's customName (empty restores the built-in
    // label). A field that picks an element counts as a change even when the name was already set,
    // so a re-applied name set always refreshes its viewers; one dataChanged(1) per call at most.
    void setCustomNameFields(const std::vector<std::shared_ptr<MavCustomNameField>>& fields);

signals:
    void dataChanged(int dataRole);

protected:
    // Creates an element tagged with this item's command and appends it to the element list.
    // Called from the constructors of the final item classes, where dataCommand() is theirs.
    MavTeleDataElementPtr addElement(MavTeleDataElement::TeleElementId id, const QString& name,
                                     const QString& unit = QString());

    static QString fixed(double value, int decimals) { return QString::number(value, 'f', decimals); }

private:
    QList<MavTeleDataElementPtr> m_dataElementList;
};

using MavTeleBaseDataItemPtr = std::shared_ptr<MavTeleBaseDataItem>;
