#pragma once
// The station's no-fly zones as a list for a map: one row per zone of the zone set, in document
// order. The zone set is no QObject, so the model looks at it every kPollMs (and on refresh())
// and resets when its origin, count or ids changed. A zone is "in force" when it went to a
// vehicle in the last zone transfer that succeeded (setInForce). Roles by name: "zoneId",
// "shape" ("circle" or "polygon"), "centerLat", "centerLon", "radius" (m), "points" (a list of
// {lat, lon}), "inForce". count is the row count. Main thread only.

#include "NfzRecord.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

class NfzZoneManager;

class NfzZoneListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role {
        ZoneIdRole = Qt::UserRole + 1,
        ShapeRole,
        CenterLatRole,
        CenterLonRole,
        RadiusRole,
        PointsRole,
        InForceRole,
    };
    static constexpr int kPollMs = 1000;

    explicit NfzZoneListModel(std::shared_ptr<NfzZoneManager> zones, QObject* parent = nullptr);
    ~NfzZoneListModel() override;

    Q_INVOKABLE void refresh();
    void setInForce(const std::vector<int64_t>& zoneIds);
    int count() const { return int(m_zones.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    std::weak_ptr<NfzZoneManager> m_set;
    std::vector<NfzRecord> m_zones;
    QString m_originFile;
    QDateTime m_originTime;
    int m_originSource = -1;
    std::set<int64_t> m_inForce;
    QTimer m_poll;
};
