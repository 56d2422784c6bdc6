#pragma once
// Every element of one telemetry item as a table of name, value and unit. Value updates
// refresh the value column, relabelling refreshes the name column; the rows never change for a
// given item, so only a new item resets the table. Roles by name: "display" (the cell's text),
// "edit", and "elementId" (the row's telemetry element id, the same in every column, fixed for
// the item: a plot picker's value). count is the row count.

#include <QAbstractTableModel>
#include <QList>

#include <memory>

class MavTeleBaseDataItem;
class MavTeleDataElement;

class MavTeleDataTableModel : public QAbstractTableModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Column { NameColumn = 0, ValueColumn = 1, UnitColumn = 2, ColumnCount = 3 };
    enum Role { ElementIdRole = Qt::UserRole + 1 };

    explicit MavTeleDataTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return int(m_elements.size()); }

    // An empty pointer keeps the current item.
    void setTeleDataItem(const std::shared_ptr<MavTeleBaseDataItem>& item);
    std::shared_ptr<MavTeleBaseDataItem> teleDataItem() const { return m_item; }

signals:
    void countChanged();

private slots:
    void handleTeleDataChanged(int dataRole);

private:
    std::shared_ptr<MavTeleBaseDataItem> m_item;
    QList<std::shared_ptr<MavTeleDataElement>> m_elements;
    QMetaObject::Connection m_itemConnection;
};
