#include "NfzZoneManager.h"

#include "nfzgeo.h"

#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <limits>

using nlohmann::json;

namespace {

// Parses one zone; returns an error text without the "zone[i]" prefix, or empty on success.
std::string parseLatLon(const json& v, NfzRecord::Point& out)
{
    if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number())
        return "must be [lat, lon]";
    const double lat = v[0].get<double>();
    const double lon = v[1].get<double>();
    if (!std::isfinite(lat) || lat < -90.0 || lat > 90.0)
        return "latitude must lie in [-90, 90]";
    if (!std::isfinite(lon) || lon < -180.0 || lon > 180.0)
        return "longitude must lie in [-180, 180]";
    out = {lat, lon};
    return {};
}

std::string parseZone(const json& z, NfzRecord& rec)
{
    const auto type = z.find("type");
    if (type == z.end() || !type->is_string())
        return R"("type" must be "polygon" or "circle")";
    const std::string kind = type->get<std::string>();
    if (kind == "polygon") {
        rec.type = NfzRecord::Type::Polygon;
        const auto points = z.find("points");
        if (points == z.end() || !points->is_array() || points->empty())
            return R"("points" must be a non-empty array)";
        rec.points.resize(points->size());
        for (size_t i = 0; i < points->size(); ++i) {
            const std::string err = parseLatLon((*points)[i], rec.points[i]);
            if (!err.empty())
                return "points[" + std::to_string(i) + "] " + err;
        }
        const auto [latLo, latHi] =
            std::minmax_element(rec.points.begin(), rec.points.end(), [](auto& a, auto& b) { return a.lat < b.lat; });
        const auto [lonLo, lonHi] =
            std::minmax_element(rec.points.begin(), rec.points.end(), [](auto& a, auto& b) { return a.lon < b.lon; });
        rec.minLat = latLo->lat;
        rec.maxLat = latHi->lat;
        rec.minLon = lonLo->lon;
        rec.maxLon = lonHi->lon;
        return {};
    }
    if (kind == "circle") {
        rec.type = NfzRecord::Type::Circle;
        const auto center = z.find("center");
        if (center == z.end())
            return R"("center" must be [lat, lon])";
        const std::string err = parseLatLon(*center, rec.center);
        if (!err.empty())
            return "\"center\" " + err;
        const auto radius = z.find("radius");
        if (radius == z.end() || !radius->is_number() || !std::isfinite(radius->get<double>()) ||
            radius->get<double>() < 0.0)
            return R"("radius" must be a finite number >= 0)";
        rec.radius = radius->get<double>();
        rec.minLat = rec.maxLat = rec.center.lat;
        rec.minLon = rec.maxLon = rec.center.lon;
        nfzgeo::bboxFromCircle(rec.center.lat, rec.center.lon, rec.radius, rec.minLat, rec.minLon, rec.maxLat,
                               rec.maxLon);
        return {};
    }
    return R"("type" must be "polygon" or "circle")";
}

}  // namespace

namespace {

bool readFile(const QString& path, QByteArray& bytes, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

}  // namespace

const char* NfzZoneManager::sourceName(Source source)
{
    switch (source) {
    case Source::None: return "none";
    case Source::Cache: return "cache";
    case Source::Backup: return "backup";
    case Source::Document: return "document";
    }
    return "none";
}

namespace {

QDateTime modified(const QString& path)
{
    return QFileInfo(path).lastModified().toUTC();
}

}  // namespace

bool NfzZoneManager::reloadFromFile(const QString& path)
{
    QByteArray bytes;
    QString error;
    Parsed parsed;
    if (readFile(path, bytes, error) && parse(bytes, parsed, error)) {
        take(std::move(parsed), {Source::Cache, path, modified(path), {}});
        return true;
    }
    // A cache broken by a crash or a disk fault: the copy kept before its last replacement.
    const QString backup = path + QStringLiteral(".bak");
    QString backupError;
    if (QFile::exists(backup) && readFile(backup, bytes, backupError) && parse(bytes, parsed, backupError)) {
        const QDateTime when = modified(backup);
        spdlog::warn("<NfzZoneManager> {} unusable ({}); loaded {} zones from {}", path.toStdString(),
                     error.toStdString(), parsed.zones.size(), backup.toStdString());
        const QString warning = QStringLiteral("the zone cache %1 is unusable (%2); the zones are its backup of %3")
                                    .arg(path, error, when.toString(Qt::ISODate));
        take(std::move(parsed), {Source::Backup, backup, when, warning});
        return true;
    }
    return fail(error);
}

bool NfzZoneManager::reloadFromJsonUtf8(const QByteArray& bytes)
{
    Parsed parsed;
    QString error;
    if (!parse(bytes, parsed, error))
        return fail(error);
    take(std::move(parsed), {Source::Document, {}, {}, {}});
    return true;
}

std::optional<size_t> NfzZoneManager::checkDocument(const QByteArray& bytes, QString* error)
{
    Parsed parsed;
    QString why;
    if (!parse(bytes, parsed, why)) {
        if (error)
            *error = why;
        return std::nullopt;
    }
    return parsed.zones.size();
}

std::optional<std::vector<NfzRecord>> NfzZoneManager::readDocument(const QByteArray& bytes, QString* error)
{
    Parsed parsed;
    QString why;
    if (!parse(bytes, parsed, why)) {
        if (error)
            *error = why;
        return std::nullopt;
    }
    return std::move(parsed.zones);
}

bool NfzZoneManager::parse(const QByteArray& bytes, Parsed& out, QString& error)
{
    json doc;
    try {
        doc = json::parse(bytes.constBegin(), bytes.constEnd());
    } catch (const json::exception& e) {
        error = QStringLiteral("invalid JSON: %1").arg(QString::fromUtf8(e.what()));
        return false;
    }
    if (!doc.is_array()) {
        error = QStringLiteral("expected a top-level JSON array");
        return false;
    }

    std::vector<NfzRecord> zones(doc.size());
    std::unordered_map<int64_t, size_t> index;
    for (size_t i = 0; i < doc.size(); ++i) {
        const json& z = doc[i];
        const QString where = QStringLiteral("zone[%1]").arg(i);
        if (!z.is_object()) {
            error = where + QStringLiteral(": not a JSON object");
            return false;
        }
        const auto id = z.find("id");
        const bool intId =
            id != z.end() && id->is_number_integer() &&
            !(id->is_number_unsigned() && id->get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()));
        if (!intId) {
            error = where + QStringLiteral(": \"id\" must be a 64-bit integer");
            return false;
        }
        NfzRecord& rec = zones[i];
        rec.id = id->get<int64_t>();
        const QString named = where + QStringLiteral(" (id %1)").arg(rec.id);
        if (!index.emplace(rec.id, i).second) {
            error = named + QStringLiteral(": duplicate id");
            return false;
        }
        const std::string err = parseZone(z, rec);
        if (!err.empty()) {
            error = named + ": " + QString::fromStdString(err);
            return false;
        }
    }
    out.zones = std::move(zones);
    out.index = std::move(index);
    return true;
}

void NfzZoneManager::take(Parsed&& parsed, Origin origin)
{
    m_origin = std::move(origin);
    m_zones = std::move(parsed.zones);
    m_indexById = std::move(parsed.index);
    m_lastError.clear();
    spdlog::info("<NfzZoneManager> loaded {} zones", m_zones.size());
}

std::optional<NfzRecord> NfzZoneManager::findById(int64_t id) const
{
    const auto it = m_indexById.find(id);
    if (it == m_indexById.end())
        return std::nullopt;
    return m_zones[it->second];
}

std::vector<int64_t> NfzZoneManager::zoneIds() const
{
    std::vector<int64_t> ids;
    ids.reserve(m_zones.size());
    for (const auto& z : m_zones)
        ids.push_back(z.id);
    return ids;
}

bool NfzZoneManager::fail(const QString& error)
{
    m_lastError = error;
    spdlog::warn("<NfzZoneManager> zone document rejected, keeping {} zones: {}", m_zones.size(), error.toStdString());
    return false;
}
