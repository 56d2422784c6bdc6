#include "NfzZoneShrink.h"

#include <QStringList>

#include <cmath>
#include <numbers>
#include <unordered_map>

namespace {

constexpr double kEarthRadiusM = 6378137.0;  // the zone manager's sphere
constexpr double kDegToRad = std::numbers::pi / 180.0;

QString idList(const std::vector<int64_t>& ids)
{
    QStringList out;
    for (const int64_t id : ids)
        out << QString::number(id);
    return out.join(QStringLiteral(", "));
}

}  // namespace

double NfzZoneShrink::areaM2(const NfzRecord& zone)
{
    if (zone.type == NfzRecord::Type::Circle)
        return std::isfinite(zone.radius) && zone.radius > 0 ? std::numbers::pi * zone.radius * zone.radius : 0.0;
    if (zone.points.size() < 3)
        return 0.0;
    const auto& o = zone.points.front();
    const double kx = kEarthRadiusM * kDegToRad * std::cos(o.lat * kDegToRad), ky = kEarthRadiusM * kDegToRad;
    double twice = 0;
    for (size_t i = 0, j = zone.points.size() - 1; i < zone.points.size(); j = i++) {
        const double xi = (zone.points[i].lon - o.lon) * kx, yi = (zone.points[i].lat - o.lat) * ky;
        const double xj = (zone.points[j].lon - o.lon) * kx, yj = (zone.points[j].lat - o.lat) * ky;
        twice += xj * yi - xi * yj;
    }
    return std::abs(twice) / 2;
}

NfzZoneShrink NfzZoneShrink::compare(const std::vector<NfzRecord>& before, const std::vector<NfzRecord>& after)
{
    std::unordered_map<int64_t, const NfzRecord*> next;
    for (const auto& z : after)
        next.emplace(z.id, &z);
    NfzZoneShrink out;
    for (const auto& old : before) {
        const auto it = next.find(old.id);
        if (it == next.end()) {
            out.removed.push_back(old.id);
            continue;
        }
        const double was = areaM2(old), now = areaM2(*it->second);
        if (now < was * (1 - 1e-6))
            out.smaller.push_back({old.id, was, now});
    }
    return out;
}

QString NfzZoneShrink::text() const
{
    QStringList parts;
    if (!removed.empty())
        parts << QStringLiteral("%1 %2 removed")
                     .arg(removed.size() == 1 ? QStringLiteral("zone") : QStringLiteral("zones"), idList(removed));
    for (const auto& s : smaller)
        parts << QStringLiteral("zone %1 smaller (%2 m² to %3 m²)")
                     .arg(s.id)
                     .arg(std::round(s.areaBeforeM2), 0, 'f', 0)
                     .arg(std::round(s.areaAfterM2), 0, 'f', 0);
    return parts.join(QStringLiteral("; "));
}
