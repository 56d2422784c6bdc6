#include "GcsConsoleListModel.h"

#include "common/GcsConsoleHandler.h"

#include <QDateTime>

GcsConsoleListModel::GcsConsoleListModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

void GcsConsoleListModel::attach(GcsConsoleHandler* console)
{
    if (console)
        connect(console, &GcsConsoleHandler::logOutput, this, &GcsConsoleListModel::append);
}

void GcsConsoleListModel::append(OstLogLevel level, const QString& text)
{
    const bool full = m_lines.size() >= size_t(kMaxLines);
    if (full) {
        beginRemoveRows(QModelIndex(), 0, 0);
        m_lines.pop_front();
        endRemoveRows();
    }
    const int row = int(m_lines.size());
    beginInsertRows(QModelIndex(), row, row);
    m_lines.push_back({m_nextSeq++, QDateTime::currentMSecsSinceEpoch(), level, text});
    endInsertRows();
    if (!full)
        emit countChanged();
}

int GcsConsoleListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant GcsConsoleListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return QVariant();
    const Line& line = m_lines[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case TextRole: return line.text;
    case SeqRole: return line.seq;
    case TimeMsRole: return line.timeMs;
    case TimeRole: return QDateTime::fromMSecsSinceEpoch(line.timeMs).toString(QStringLiteral("hh:mm:ss"));
    case LevelRole: return int(line.level);
    case LevelTextRole:
        switch (line.level) {
        case OstLogLevel::Debug: return QStringLiteral("debug");
        case OstLogLevel::Info: return QStringLiteral("info");
        case OstLogLevel::Warning: return QStringLiteral("warning");
        case OstLogLevel::Error: return QStringLiteral("error");
        }
        return QVariant();
    default: return QVariant();
    }
}

QHash<int, QByteArray> GcsConsoleListModel::roleNames() const
{
    return {{SeqRole, "seq"},     {TimeMsRole, "timeMs"},       {TimeRole, "time"},
            {LevelRole, "level"}, {LevelTextRole, "levelText"}, {TextRole, "text"}};
}
