#include "FlightLogPlot.h"

#include "FlightLogColumns.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGraphicsScene>
#include <QLineSeries>
#include <QPainter>
#include <QValueAxis>

#include <cmath>
#include <map>

namespace flightlog {

bool plotColumns(const FlightLog& log, const QStringList& keys, QSize size, QImage* image, QString* error)
{
    // Units keep the order of their first column, so the first panel is the first one asked for.
    std::vector<std::pair<QString, std::vector<int>>> panels;
    for (const QString& key : keys) {
        const int c = columnByKey(key.toStdString());
        if (c < 0) {
            *error = QStringLiteral("unknown column key \"%1\" (see --help for the keys)").arg(key);
            return false;
        }
        const QString unit = QString::fromUtf8(columns()[size_t(c)].unit);
        auto it = std::find_if(panels.begin(), panels.end(), [&](const auto& p) { return p.first == unit; });
        if (it == panels.end())
            panels.push_back({unit, {c}});
        else
            it->second.push_back(c);
    }
    if (panels.empty() || log.rowCount() == 0) {
        *error = panels.empty() ? QStringLiteral("no column to plot") : QStringLiteral("the log has no rows to plot");
        return false;
    }
    QImage out(size, QImage::Format_ARGB32);
    out.fill(Qt::white);
    QPainter painter(&out);
    const int panelHeight = size.height() / int(panels.size());
    for (size_t i = 0; i < panels.size(); ++i) {
        auto* chart = new QChart;
        for (const int c : panels[i].second) {
            auto* series = new QLineSeries;
            series->setName(QString::fromUtf8(columns()[size_t(c)].key));
            QList<QPointF> points;
            points.reserve(qsizetype(log.rowCount()));
            for (size_t r = 0; r < log.rowCount(); ++r) {
                const double v = log.value(r, c);
                if (!std::isnan(v))
                    points.append(QPointF(double(log.timeMs(r)), v));
            }
            series->replace(points);
            chart->addSeries(series);
        }
        auto* x = new QDateTimeAxis;
        x->setFormat(QStringLiteral("hh:mm:ss"));
        auto* y = new QValueAxis;
        y->setTitleText(panels[i].first.isEmpty() ? QStringLiteral("value") : panels[i].first);
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        for (auto* s : chart->series()) {
            s->attachAxis(x);
            s->attachAxis(y);
        }
        x->setRange(QDateTime::fromMSecsSinceEpoch(log.timeMs(0)),
                    QDateTime::fromMSecsSinceEpoch(log.timeMs(log.rowCount() - 1)));
        // A scene of its own sizes the chart at once; a view never shown would wait for a resize event.
        QGraphicsScene scene;
        scene.addItem(chart);  // owns the chart
        const int top = int(i) * panelHeight;
        const int height = i + 1 == panels.size() ? size.height() - top : panelHeight;
        const QRectF box(0, 0, size.width(), height);
        chart->setGeometry(box);
        scene.setSceneRect(box);
        scene.render(&painter, QRectF(0, top, size.width(), height), box);
    }
    painter.end();
    *image = out;
    return true;
}

}  // namespace flightlog
