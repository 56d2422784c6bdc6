#pragma once
// The user's own pick of telemetry fields for one vehicle, as a one-column list (name, value,
// unit by role). With an active vehicle the rows are that vehicle's elements in telemetry order
// and refresh whenever one of their items updates or is relabelled; without one the rows come
// from the application-wide item box in the order chosen, and stay as they are. Roles by name:
// "name", "value", "unit", "elementId"; count is the row count.

#include "telemetry/MavTeleDataElement.h"

#include <QAbstractListModel>
#include <QList>

#include <cstdint>
#include <memory>
#include <set>

class MavTeleBaseDataItem;
class MavTeleDataItemBox;
class MavTelemetryController;
class VehicleController;

class CustomTeleDataListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role { DisplayNameRole = Qt::UserRole + 1, DisplayValueRole, UnitRole, ElementIdRole };

    explicit CustomTeleDataListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    using QObject::parent;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return int(m_elements.size()); }

    void setTeleDataItemBox(const std::shared_ptr<MavTeleDataItemBox>& box);
    void setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle);
    void setTeleDataEids(const QList<MavTeleDataElement::TeleElementId>& eids);
    QList<MavTeleDataElement::TeleElementId> teleDataEids() const { return m_eids; }

signals:
    void countChanged();

private slots:
    void handleTeleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item);

private:
    void rebuild();

    std::weak_ptr<VehicleController> m_vehicle;
    std::weak_ptr<MavTelemetryController> m_teleCtrler;
    QMetaObject::Connection m_teleConnection;
    QList<MavTeleDataElement::TeleElementId> m_eids;
    QList<std::shared_ptr<MavTeleDataElement>> m_elements;
    std::set<int16_t> m_commands;
    std::shared_ptr<MavTeleDataItemBox> m_box;
};
