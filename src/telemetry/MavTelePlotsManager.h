#pragma once
// Collects time series of the plotted telemetry elements of the active vehicle and hands them to
// the plots in batches: a value update adds one point (seconds since the epoch, value) per
// plotted element of the updated item, and the points gathered so far leave in one
// plotsDataReady once 500 ms have passed since the last batch. Each point is delivered once.
//
// Whether an id is plotted rests on the plotted list alone, never on the pending series (which
// every batch empties): addPlot of a plotted id does nothing, so no id is plotted twice, and
// removePlot of a plotted id always removes it, also right after a batch.
//
// The clock (milliseconds since the epoch) can be injected so batching runs on a fake clock.
//
// For a QML view: plotIds (the plotted element ids, settable), and each batch also as one
// pointsReady(elementId, points) per plotted element with points, right after plotsDataReady.

#include "telemetry/MavTeleDataElement.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointF>

#include <functional>
#include <memory>

class MavTeleBaseDataItem;
class VehicleController;

class MavTelePlotsManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<int> plotIds READ plotIds WRITE setPlotIds NOTIFY plotIdsChanged)
public:
    using Clock = std::function<qint64()>;
    static constexpr qint64 kBatchIntervalMs = 500;

    explicit MavTelePlotsManager(QObject* parent = nullptr, Clock clock = Clock());

    void addPlot(MavTeleDataElement::TeleElementId id);
    void removePlot(MavTeleDataElement::TeleElementId id);
    void setPlots(const QList<MavTeleDataElement::TeleElementId>& ids);
    void clearPlots();
    QList<MavTeleDataElement::TeleElementId> plots() const { return m_plotIds; }
    QList<int> plotIds() const;
    void setPlotIds(const QList<int>& ids);

    // Plotted ids and pending points stay when the vehicle changes.
    void setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle);

signals:
    void dataPlotAdded(MavTeleDataElement::TeleElementId id);
    void dataPlotRemoved(MavTeleDataElement::TeleElementId id);
    void dataPlotsCleared();
    void plotsDataReady(QHash<MavTeleDataElement::TeleElementId, QList<QPointF>> plotsData);
    void pointsReady(int elementId, const QList<QPointF>& points);
    void plotIdsChanged();

private slots:
    void handleTeleDataUpdated(std::shared_ptr<MavTeleBaseDataItem> ptrTeleDataItem, int dataRole);

private:
    QList<MavTeleDataElement::TeleElementId> m_plotIds;
    QHash<MavTeleDataElement::TeleElementId, QList<QPointF>> m_pendingSeries;
    qint64 m_lastEmitMs = 0;
    std::weak_ptr<VehicleController> m_vehicle;
    QMetaObject::Connection m_teleConnection;
    Clock m_clock;
};
