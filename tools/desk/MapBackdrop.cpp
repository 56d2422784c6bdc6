#include "MapBackdrop.h"

#include <QFileInfo>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kEarthRadiusM = 6378137.0;
constexpr double kPi = 3.14159265358979323846;
double rad(double deg)
{
    return deg * kPi / 180.0;
}
}  // namespace

MapBackdrop::MapBackdrop(QQuickItem* parent)
    : QQuickPaintedItem(parent)
{
    m_clock.start();
    // Trails move at the fleet's pace; a repaint at most every 250 ms is enough for them.
    m_repaint.setSingleShot(true);
    m_repaint.setInterval(250);
    connect(&m_repaint, &QTimer::timeout, this, [this] { update(); });
    connect(this, &MapBackdrop::viewChanged, this, [this] { update(); });
}

void MapBackdrop::setModel(QAbstractItemModel* model)
{
    if (model == m_model)
        return;
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    m_model = model;
    m_trails.clear();
    if (model) {
        const auto names = model->roleNames();
        m_idRole = names.key("vehicleId", -1);
        m_latRole = names.key("lat", -1);
        m_lonRole = names.key("lon", -1);
        m_knownRole = names.key("positionKnown", -1);
        m_linkRole = names.key("linkState", -1);
        connect(model, &QAbstractItemModel::dataChanged, this, &MapBackdrop::record);
        connect(model, &QAbstractItemModel::modelReset, this, [this] { m_trails.clear(); });
    }
    emit modelChanged();
}

void MapBackdrop::record(const QModelIndex& first, const QModelIndex& last)
{
    if (!m_model || m_idRole < 0 || m_latRole < 0 || m_lonRole < 0)
        return;
    const qint64 now = m_clock.elapsed();
    const qint64 oldest = now - qint64(m_trailSeconds) * 1000;
    for (int row = first.row(); row <= last.row(); ++row) {
        const QModelIndex i = m_model->index(row, 0);
        const int id = i.data(m_idRole).toInt();
        m_alive[id] = i.data(m_linkRole).toString() == QLatin1String("alive");
        if (m_knownRole >= 0 && !i.data(m_knownRole).toBool())
            continue;
        auto& trail = m_trails[id];
        const double lat = i.data(m_latRole).toDouble(), lon = i.data(m_lonRole).toDouble();
        if (!trail.isEmpty() && trail.back().lat == lat && trail.back().lon == lon)
            continue;
        trail.append({lat, lon, now});
        int drop = 0;
        while (drop < trail.size() && (trail[drop].ms < oldest || trail.size() - drop > kMaxTrailPoints))
            ++drop;
        trail.remove(0, drop);
    }
    if (!m_repaint.isActive())
        m_repaint.start();
}

QPointF MapBackdrop::toScreen(double lat, double lon) const
{
    const double x = rad(lon - m_refLon) * kEarthRadiusM * std::cos(rad(m_refLat));
    const double y = rad(lat - m_refLat) * kEarthRadiusM;
    return {width() / 2 + (x - m_centerX) / m_mpp, height() / 2 - (y - m_centerY) / m_mpp};
}

void MapBackdrop::paint(QPainter* painter)
{
    painter->fillRect(QRectF(0, 0, width(), height()), QColor(0x1d, 0x25, 0x2c));
    m_tilesDrawn = 0;
    if (!m_tilesDir.isEmpty())
        paintTiles(painter);
    if (m_tilesDrawn == 0)
        paintGrid(painter);
    // Plain polylines: a fleet of trails is the costliest part of this item in the software
    // renderer, and antialiasing triples it (bench_desk).
    QPolygonF line;
    for (auto it = m_trails.cbegin(); it != m_trails.cend(); ++it) {
        if (it.value().size() < 2)
            continue;
        line.resize(0);
        for (const auto& p : it.value())
            line.append(toScreen(p.lat, p.lon));
        const QColor colour = m_alive.value(it.key()) ? QColor(0x4f, 0xc3, 0xf7, 150) : QColor(0x9e, 0x9e, 0x9e, 120);
        painter->setPen(QPen(colour, 1.5));
        painter->drawPolyline(line);
    }
    emit painted();
}

void MapBackdrop::paintGrid(QPainter* painter)
{
    if (!(m_mpp > 0) || !(m_gridMeters > 0))
        return;
    const double step = m_gridMeters / m_mpp;
    if (step < 8)
        return;
    painter->setPen(QPen(QColor(0x2c, 0x37, 0x40), 1));
    // Lines at whole multiples of the step in metres from the reference point.
    const double left = m_centerX - width() / 2 * m_mpp, top = m_centerY + height() / 2 * m_mpp;
    for (double x = std::ceil(left / m_gridMeters) * m_gridMeters; (x - left) / m_mpp < width(); x += m_gridMeters)
        painter->drawLine(QPointF((x - left) / m_mpp, 0), QPointF((x - left) / m_mpp, height()));
    for (double y = std::floor(top / m_gridMeters) * m_gridMeters; (top - y) / m_mpp < height(); y -= m_gridMeters)
        painter->drawLine(QPointF(0, (top - y) / m_mpp), QPointF(width(), (top - y) / m_mpp));
}

void MapBackdrop::paintTiles(QPainter* painter)
{
    // The web mercator zoom whose pixels are nearest to the view's metres per pixel.
    const double mppAtZ0 = 156543.03392 * std::cos(rad(m_refLat));
    const int z = std::clamp(int(std::lround(std::log2(mppAtZ0 / m_mpp))), 0, 19);
    const double n = std::pow(2.0, z);
    const auto tileX = [&](double lon) { return (lon + 180.0) / 360.0 * n; };
    const auto tileY = [&](double lat) { return (1.0 - std::asinh(std::tan(rad(lat))) / kPi) / 2.0 * n; };
    const auto lonOf = [&](double tx) { return tx / n * 360.0 - 180.0; };
    const auto latOf = [&](double ty) { return std::atan(std::sinh(kPi * (1 - 2 * ty / n))) * 180.0 / kPi; };
    // The screen's corners in degrees.
    const auto corner = [&](double px, double py) {
        const double x = m_centerX + (px - width() / 2) * m_mpp, y = m_centerY - (py - height() / 2) * m_mpp;
        return QPointF(m_refLon + x / (kEarthRadiusM * std::cos(rad(m_refLat))) * 180.0 / kPi,
                       m_refLat + y / kEarthRadiusM * 180.0 / kPi);
    };
    const QPointF nw = corner(0, 0), se = corner(width(), height());
    const int x0 = int(std::floor(tileX(nw.x()))), x1 = int(std::floor(tileX(se.x())));
    const int y0 = int(std::floor(tileY(nw.y()))), y1 = int(std::floor(tileY(se.y())));
    if ((x1 - x0 + 1) * (y1 - y0 + 1) > 400)
        return;
    for (int tx = x0; tx <= x1; ++tx) {
        for (int ty = y0; ty <= y1; ++ty) {
            if (tx < 0 || ty < 0 || tx >= n || ty >= n)
                continue;
            const QString path = QStringLiteral("%1/%2/%3/%4.png").arg(m_tilesDir).arg(z).arg(tx).arg(ty);
            QImage* image = m_tiles.object(path);
            if (!image) {
                if (!QFileInfo::exists(path))
                    continue;
                image = new QImage(path);
                if (image->isNull()) {
                    delete image;
                    continue;
                }
                m_tiles.insert(path, image);
            }
            const QPointF a = toScreen(latOf(ty), lonOf(tx)), b = toScreen(latOf(ty + 1), lonOf(tx + 1));
            painter->drawImage(QRectF(a, b), *image);
            ++m_tilesDrawn;
        }
    }
}
