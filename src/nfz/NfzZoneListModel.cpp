#include "NfzZoneListModel.h"

#include "NfzRecord.h"
#include "NfzZoneManager.h"

#include <QVariantMap>

NfzZoneListModel::NfzZoneListModel(std::shared_ptr<NfzZoneManager> zones, QObject* parent)
    : QAbstractListModel(parent)
    , m_set(zones)
{
    m_poll.setParent(this);  // names its owner in the main loop's stall log
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &NfzZoneListModel::refresh);
    m_poll.start();
    refresh();
}

NfzZoneListModel::~NfzZoneListModel() = default;

void NfzZoneListModel::refresh()
{
    const auto set = m_set.lock();
    std::vector<NfzRecord> zones = set ? set->zones() : std::vector<NfzRecord>{};
    const int source = set ? int(set->origin().source) : -1;
    const QString file = set ? set->origin().file : QString();
    const QDateTime time = set ? set->origin().fileTime : QDateTime();
    const auto sameIds = [&] {
        if (zones.size() != m_zones.size())
            return false;
        for (size_t i = 0; i < zones.size(); ++i)
            if (zones[i].id != m_zones[i].id)
                return false;
        return true;
    };
    if (source == m_originSource && file == m_originFile && time == m_originTime && sameIds())
        return;
    const int before = count();
    beginResetModel();
    m_zones = std::move(zones);
    m_originSource = source;
    m_originFile = file;
    m_originTime = time;
    endResetModel();
    if (count() != before)
        emit countChanged();
}

void NfzZoneListModel::setInForce(const std::vector<int64_t>& zoneIds)
{
    m_inForce = std::set<int64_t>(zoneIds.begin(), zoneIds.end());
    if (!m_zones.empty())
        emit dataChanged(index(0), index(count() - 1), {InForceRole});
}

int NfzZoneListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant NfzZoneListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= count())
        return QVariant();
    const NfzRecord& z = m_zones[size_t(index.row())];
    const bool circle = z.type == NfzRecord::Type::Circle;
    switch (role) {
    case ZoneIdRole: return qint64(z.id);
    case ShapeRole: return circle ? QStringLiteral("circle") : QStringLiteral("polygon");
    case CenterLatRole: return circle ? z.center.lat : (z.minLat + z.maxLat) / 2;
    case CenterLonRole: return circle ? z.center.lon : (z.minLon + z.maxLon) / 2;
    case RadiusRole: return circle ? z.radius : 0.0;
    case PointsRole: {
        QVariantList points;
        for (const auto& p : z.points)
            points.append(QVariantMap{{QStringLiteral("lat"), p.lat}, {QStringLiteral("lon"), p.lon}});
        return points;
    }
    case InForceRole: return m_inForce.count(z.id) > 0;
    default: return QVariant();
    }
}

QHash<int, QByteArray> NfzZoneListModel::roleNames() const
{
    return {{ZoneIdRole, "zoneId"}, {ShapeRole, "shape"},   {CenterLatRole, "centerLat"}, {CenterLonRole, "centerLon"},
            {RadiusRole, "radius"}, {PointsRole, "points"}, {InForceRole, "inForce"}};
}
