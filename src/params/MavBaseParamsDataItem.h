#pragma once
// Base of the parameter items that carry display elements (the reserved group). Items live in
// shared pointers and are used on the thread of the parameters controller that owns them.

#include "common/MavCustomNameField.h"
#include "params/MavParamsDataElement.h"

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class MavBaseParamsDataItem : public QObject, public std::enable_shared_from_this<MavBaseParamsDataItem> {
    Q_OBJECT
public:
    // Roles of dataChanged.
    enum DataRole { ValuesUpdated = 0, DisplayNamesChanged = 1 };

    explicit MavBaseParamsDataItem(QObject* parent = nullptr);

    // In id order.
    QList<MavParamsDataElementPtr> dataElementList() const { return m_dataElementList; }

    // Relabels elements from user-chosen names: each field's eid (decimal) picks the first element
    // with that id, whose displayName becomes the field's customName (empty restores the built-in
    // name). An eid that is not a number picks nothing (it must not fall back to element 0). Any
    // pick counts as a change, so a re-applied name set still refreshes viewers; one
    // dataChanged(DisplayNamesChanged) per call at most.
    void setCustomNameFields(const std::vector<MavCustomNameFieldPtr>& fields);

    virtual std::shared_ptr<MavBaseParamsDataItem> selfPointer() = 0;

signals:
    void dataChanged(int dataRole);

protected:
    void appendElement(const MavParamsDataElementPtr& element) { m_dataElementList.append(element); }

private:
    QList<MavParamsDataElementPtr> m_dataElementList;
};

using MavBaseParamsDataItemPtr = std::shared_ptr<MavBaseParamsDataItem>;
