#pragma once
// The operator console as a list for a view: one row per console line, oldest first, at most
// kMaxLines (the oldest row leaves when a new one would pass it). Fed by the console handler's
// logOutput from the moment it is attached. Roles by name: "seq" (rising line number), "timeMs"
// (since the epoch), "time" (hh:mm:ss), "level" (OstLogLevel as int), "levelText" (debug, info,
// warning, error) and "text". count is the row count. Main thread only.

#include "OstLogLevel.h"

#include <QAbstractListModel>
#include <QString>

#include <deque>

class GcsConsoleHandler;

class GcsConsoleListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role { SeqRole = Qt::UserRole + 1, TimeMsRole, TimeRole, LevelRole, LevelTextRole, TextRole };
    static constexpr int kMaxLines = 2000;

    explicit GcsConsoleListModel(QObject* parent = nullptr);

    void attach(GcsConsoleHandler* console);
    void append(OstLogLevel level, const QString& text);
    int count() const { return int(m_lines.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    struct Line {
        qint64 seq = 0;
        qint64 timeMs = 0;
        OstLogLevel level = OstLogLevel::Info;
        QString text;
    };
    std::deque<Line> m_lines;
    qint64 m_nextSeq = 1;
};
