#include "MavTelePlotsManager.h"

#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include <QDateTime>

#include <utility>

#include <spdlog/spdlog.h>

MavTelePlotsManager::MavTelePlotsManager(QObject* parent, Clock clock)
    : QObject(parent)
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); }))
{
}

void MavTelePlotsManager::addPlot(MavTeleDataElement::TeleElementId id)
{
    if (m_plotIds.contains(id))
        return;
    m_pendingSeries.insert(id, {});
    m_plotIds.append(id);
    emit dataPlotAdded(id);
    emit plotIdsChanged();
}

void MavTelePlotsManager::removePlot(MavTeleDataElement::TeleElementId id)
{
    if (!m_plotIds.removeOne(id))
        return;
    m_pendingSeries.remove(id);
    emit dataPlotRemoved(id);
    emit plotIdsChanged();
}

void MavTelePlotsManager::setPlots(const QList<MavTeleDataElement::TeleElementId>& ids)
{
    const auto current = m_plotIds;
    for (auto id : current) {
        if (!ids.contains(id))
            removePlot(id);
    }
    for (auto id : ids)
        addPlot(id);
}

void MavTelePlotsManager::clearPlots()
{
    m_plotIds.clear();
    m_pendingSeries.clear();
    emit dataPlotsCleared();
    emit plotIdsChanged();
}

QList<int> MavTelePlotsManager::plotIds() const
{
    QList<int> ids;
    for (auto id : m_plotIds)
        ids.append(int(id));
    return ids;
}

void MavTelePlotsManager::setPlotIds(const QList<int>& ids)
{
    QList<MavTeleDataElement::TeleElementId> typed;
    for (int id : ids)
        typed.append(MavTeleDataElement::TeleElementId(id));
    setPlots(typed);
}

void MavTelePlotsManager::setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle)
{
    if (m_vehicle.lock() == vehicle)
        return;
    disconnect(m_teleConnection);
    m_vehicle = vehicle;
    if (!vehicle)
        return;
    if (auto tele = vehicle->teleCtrler()) {
        m_teleConnection = connect(tele.get(), &MavTelemetryController::teleDataChanged, this,
                                   &MavTelePlotsManager::handleTeleDataUpdated);
    } else {
        spdlog::warn("<TelePlots> vehicle {} has no telemetry controller, nothing to plot", vehicle->vehicleId());
    }
}

void MavTelePlotsManager::handleTeleDataUpdated(std::shared_ptr<MavTeleBaseDataItem> ptrTeleDataItem, int dataRole)
{
    if (!ptrTeleDataItem || dataRole != MavTeleBaseDataItem::ValuesUpdated)
        return;
    const qint64 now = m_clock();
    const double x = double(now) / 1000.0;
    for (const auto& element : ptrTeleDataItem->dataElementList()) {
        if (element && m_plotIds.contains(element->id()))
            m_pendingSeries[element->id()].append(QPointF(x, element->value().toDouble()));
    }
    if (now - m_lastEmitMs < kBatchIntervalMs)
        return;
    m_lastEmitMs = now;
    const auto batch = std::exchange(m_pendingSeries, {});
    emit plotsDataReady(batch);
    for (auto it = batch.cbegin(); it != batch.cend(); ++it)
        if (!it.value().isEmpty())
            emit pointsReady(int(it.key()), it.value());
}
