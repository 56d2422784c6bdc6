#include "MavTeleDataTableModel.h"

#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTeleDataElement.h"

#include <QFont>

namespace {
constexpr int kFontPixelSize = 14;
}  // namespace

MavTeleDataTableModel::MavTeleDataTableModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

int MavTeleDataTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_elements.size());
}

int MavTeleDataTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MavTeleDataTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_elements.size())
        return QVariant();
    const auto& element = m_elements.at(index.row());
    if (!element)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case NameColumn: return element->displayName();
        case ValueColumn: return element->displayValue();
        case UnitColumn: return element->unit();
        default: return QVariant();
        }
    case Qt::FontRole: {
        QFont font;
        font.setPixelSize(kFontPixelSize);
        return font;
    }
    case Qt::TextAlignmentRole: return int(Qt::AlignLeft);
    case ElementIdRole: return int(element->id());
    default: return QVariant();
    }
}

QHash<int, QByteArray> MavTeleDataTableModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"}, {Qt::EditRole, "edit"}, {ElementIdRole, "elementId"}};
}

QVariant MavTeleDataTableModel::headerData(int section, Qt::Orientation, int role) const
{
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (section) {
        case NameColumn: return tr("名称");
        case ValueColumn: return tr("值");
        case UnitColumn: return tr("单位");
        default: return QVariant();
        }
    case Qt::TextAlignmentRole: return int(Qt::AlignLeft);
    default: return QVariant();
    }
}

void MavTeleDataTableModel::setTeleDataItem(const std::shared_ptr<MavTeleBaseDataItem>& item)
{
    if (!item || item == m_item)
        return;
    disconnect(m_itemConnection);
    m_item = item;
    const int before = count();
    beginResetModel();
    m_elements = item->dataElementList();
    endResetModel();
    if (count() != before)
        emit countChanged();
    m_itemConnection =
        connect(item.get(), &MavTeleBaseDataItem::dataChanged, this, &MavTeleDataTableModel::handleTeleDataChanged);
}

void MavTeleDataTableModel::handleTeleDataChanged(int dataRole)
{
    if (qobject_cast<MavTeleBaseDataItem*>(sender()) != m_item.get() || m_elements.isEmpty())
        return;
    const int column = dataRole == MavTeleBaseDataItem::ValuesUpdated ? ValueColumn : NameColumn;
    const int last = int(m_elements.size()) - 1;
    emit dataChanged(index(0, column), index(last, column), {});
}
