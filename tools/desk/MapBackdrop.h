#pragma once
// What lies under the map's items, painted in one pass: raster tiles from a local folder
// (z/x/y.png, web mercator) when given, else a metric grid; and each vehicle's trail of the last
// trailSeconds. The trail is the view's own history of the positions the fleet model reported
// (a model holds the present only); at most kMaxTrailPoints a vehicle.

#include <QAbstractItemModel>
#include <QCache>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QTimer>
#include <QVector>

class MapBackdrop : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QAbstractItemModel* model READ model WRITE setModel NOTIFY modelChanged)
    Q_PROPERTY(double refLat MEMBER m_refLat NOTIFY viewChanged)
    Q_PROPERTY(double refLon MEMBER m_refLon NOTIFY viewChanged)
    Q_PROPERTY(double centerX MEMBER m_centerX NOTIFY viewChanged)
    Q_PROPERTY(double centerY MEMBER m_centerY NOTIFY viewChanged)
    Q_PROPERTY(double mpp MEMBER m_mpp NOTIFY viewChanged)
    Q_PROPERTY(double gridMeters MEMBER m_gridMeters NOTIFY viewChanged)
    Q_PROPERTY(QString tilesDir MEMBER m_tilesDir NOTIFY viewChanged)
    Q_PROPERTY(int trailSeconds MEMBER m_trailSeconds NOTIFY viewChanged)
    Q_PROPERTY(int tilesDrawn READ tilesDrawn NOTIFY painted)
public:
    static constexpr int kMaxTrailPoints = 600;

    explicit MapBackdrop(QQuickItem* parent = nullptr);

    QAbstractItemModel* model() const { return m_model; }
    void setModel(QAbstractItemModel* model);
    int tilesDrawn() const { return m_tilesDrawn; }
    void paint(QPainter* painter) override;

signals:
    void modelChanged();
    void viewChanged();
    void painted();

private:
    struct TrailPoint {
        double lat, lon;
        qint64 ms;
    };
    void record(const QModelIndex& first, const QModelIndex& last);
    QPointF toScreen(double lat, double lon) const;
    void paintTiles(QPainter* painter);
    void paintGrid(QPainter* painter);

    QPointer<QAbstractItemModel> m_model;
    int m_idRole = -1, m_latRole = -1, m_lonRole = -1, m_knownRole = -1, m_linkRole = -1;
    QHash<int, QVector<TrailPoint>> m_trails;  // vehicle id -> oldest first
    QHash<int, bool> m_alive;
    double m_refLat = 0, m_refLon = 0, m_centerX = 0, m_centerY = 0, m_mpp = 1, m_gridMeters = 100;
    QString m_tilesDir;
    int m_trailSeconds = 180;
    int m_tilesDrawn = 0;
    QCache<QString, QImage> m_tiles{256};
    QElapsedTimer m_clock;
    QTimer m_repaint;
};
