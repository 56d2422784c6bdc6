#pragma once
// Every element of one telemetry item as a table of name, value and unit. Value updates
// refresh the value column, relabelling refreshes the name column; the rows never change for a
// given item, so only a new item resets the table.

#include <QAbstractTableModel>
#include <QList>

#include <memory>

class MavTeleBaseDataItem;
class MavTeleDataElement;

class MavTeleDataTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn = 0, ValueColumn = 1, UnitColumn = 2, ColumnCount = 3 };

    explicit MavTeleDataTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // An empty pointer keeps the current item.
    void setTeleDataItem(const std::shared_ptr<MavTeleBaseDataItem>& item);
    std::shared_ptr<MavTeleBaseDataItem> teleDataItem() const { return m_item; }

private slots:
    void handleTeleDataChanged(int dataRole);

private:
    std::shared_ptr<MavTeleBaseDataItem> m_item;
    QList<std::shared_ptr<MavTeleDataElement>> m_elements;
    QMetaObject::Connection m_itemConnection;
};
