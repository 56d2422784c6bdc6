#pragma once
// A survey-area route: the area polygon as (latitude, longitude) pairs in degrees, the spacing
// of the parallel scan lines in metres and their angle in degrees (counter-clockwise from east).
// MavAreaRouteGenerator turns it into waypoint positions. Setters signal only real changes.

#include "mission/MavFlightRouteAbstractConfig.h"

#include <QList>

#include <utility>

class MavAreaRouteConfig : public MavFlightRouteAbstractConfig {
    Q_OBJECT
public:
    using MavFlightRouteAbstractConfig::MavFlightRouteAbstractConfig;

    MavFlightRouteType type() const override { return MavFlightRouteType::Area; }

    QList<std::pair<double, double>> polygonVertices() const { return m_polygonVertices; }
    void setPolygonVertices(const QList<std::pair<double, double>>& vertices);
    double lineSpacing() const { return m_lineSpacing; }
    void setLineSpacing(double spacing);
    double angle() const { return m_angle; }
    void setAngle(double angle);

signals:
    void polygonVerticesChanged();
    void lineSpacingChanged();
    void angleChanged();

private:
    QList<std::pair<double, double>> m_polygonVertices;
    double m_lineSpacing = 50.0;
    double m_angle = 0.0;
};
