#pragma once
// What the window does, as calls a QML view can make: every action goes to the station's
// vehicle services (svc::VehicleServices) addressed by vehicle, and answers a map
// {ok, message, ...} where message is the service's words, never a code. Outcomes that come
// later (a command's answer, a transfer's end, a parameter read) arrive as signals with their
// words. The operator's selections (active vehicle, active route) are the station's own.
//
// It holds no copy of model data: the window binds to the library's models directly.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CustomTeleDataListModel;
class GcsAppController;
class MavTeleDataTableModel;
class MavTelePlotsManager;
class NfzZoneListModel;
class QQuickWindow;
class VehicleController;
namespace svc {
class VehicleServices;
struct TransferRecord;
struct ZoneTransfer;
}  // namespace svc

class DeskStation : public QObject {
    Q_OBJECT
    Q_PROPERTY(int activeVehicleId READ activeVehicleId NOTIFY activeVehicleChanged)
    Q_PROPERTY(QString activeRouteId READ activeRouteId NOTIFY activeRouteChanged)
    Q_PROPERTY(QString linkText READ linkText NOTIFY linkChanged)
    Q_PROPERTY(QStringList paramGroups READ paramGroups CONSTANT)
    Q_PROPERTY(QString telemetryItem READ telemetryItem WRITE setTelemetryItem NOTIFY telemetryItemChanged)
    Q_PROPERTY(QStringList telemetryItems READ telemetryItems CONSTANT)
public:
    DeskStation(GcsAppController* ctrl, NfzZoneListModel* zones, QObject* parent = nullptr);

    int activeVehicleId() const;  // -1 without one
    QString activeRouteId() const;
    QString linkText() const;
    QStringList paramGroups() const;
    std::shared_ptr<VehicleController> activeVehicle() const;
    // The active vehicle's views: which telemetry item the table shows, the custom list, the plots.
    void bindViews(MavTeleDataTableModel* table, CustomTeleDataListModel* list, MavTelePlotsManager* plots);
    QString telemetryItem() const { return m_telemetryItem; }
    void setTelemetryItem(const QString& item);
    QStringList telemetryItems() const;

    Q_INVOKABLE QVariantMap selectVehicle(int vehicleId);
    Q_INVOKABLE QVariantMap connectUdp(int localPort, int vehiclePort);
    // takeoff, land, returnHome, suspend, resume; the answer follows as commandFinished.
    Q_INVOKABLE QVariantMap command(const QString& action, int vehicleId, double altM = 30, int climbMps = 3);

    Q_INVOKABLE QVariantMap selectRoute(const QString& routeId);
    Q_INVOKABLE QVariantMap newRoute(const QString& name);
    Q_INVOKABLE QVariantMap deleteRoute(const QString& routeId);
    // Appends a waypoint to the active route (a new route when there is none).
    Q_INVOKABLE QVariantMap addWayPoint(double lat, double lon);
    Q_INVOKABLE QVariantMap removeWayPoint(int index);
    // field: alt, vel, hoverTime, lat, lon, nextWp.
    Q_INVOKABLE QVariantMap editWayPoint(int index, const QString& field, double value);
    // polygon: [{lat, lon}], at least 3 corners.
    Q_INVOKABLE QVariantMap createSurvey(const QString& name, const QVariantList& polygon, double spacingM);
    // The active route against the vehicle's limits and the zones: {passed, findings: [{wayPoint, text, kind}]}.
    Q_INVOKABLE QVariantMap checkRoute(int vehicleId);
    Q_INVOKABLE QVariantMap upload(int vehicleId, bool verify, bool force = false);
    Q_INVOKABLE QVariantMap download(int vehicleId);
    Q_INVOKABLE QVariantMap startMission(int vehicleId, bool force = false);
    Q_INVOKABLE QVariantMap missionState(int vehicleId) const;

    Q_INVOKABLE QVariantMap zoneStatus() const;
    Q_INVOKABLE QVariantMap importZones(const QString& path, bool allowShrink);
    Q_INVOKABLE QVariantMap syncZones(bool allowShrink);
    Q_INVOKABLE QVariantMap uploadZones(int vehicleId);

    Q_INVOKABLE QVariantMap readParams(int vehicleId, const QString& group);
    // {readSinceAlive, fields: [{name, value, unit, min, max, step}]}
    Q_INVOKABLE QVariantMap paramValues(int vehicleId, const QString& group) const;
    // values: {name: number}; writes the whole group as last read with these changed.
    Q_INVOKABLE QVariantMap writeParams(int vehicleId, const QString& group, const QVariantMap& values);

    // The window as a PNG at an absolute path: {path, width, height} or the reason.
    QVariantMap screenshot(QQuickWindow* window, const QString& path) const;

signals:
    void activeVehicleChanged();
    void telemetryItemChanged();
    void activeRouteChanged();
    void linkChanged();
    void commandFinished(int vehicleId, const QString& action, bool ok, const QString& text);
    void transferFinished(int vehicleId, const QString& kind, bool ok, const QString& text);
    void zoneTransferFinished(int vehicleId, bool ok, const QString& text);

private:
    svc::VehicleServices& services() const;
    std::shared_ptr<VehicleController> vehicle(int vehicleId, QVariantMap& refusal) const;
    void pollOutcomes();
    void onTransferFinished(const svc::TransferRecord& record);
    void onZoneTransferFinished(const svc::ZoneTransfer& transfer);
    void rebindViews();

    QPointer<GcsAppController> m_ctrl;
    QPointer<NfzZoneListModel> m_zones;
    QPointer<MavTeleDataTableModel> m_table;
    QPointer<CustomTeleDataListModel> m_list;
    QPointer<MavTelePlotsManager> m_plots;
    QString m_telemetryItem = QStringLiteral("position");
    struct Pending {
        int vehicleId = 0;
        QString action;
    };
    std::map<int64_t, Pending> m_pending;  // request id -> what the window waits for
    QTimer m_poll;
};
