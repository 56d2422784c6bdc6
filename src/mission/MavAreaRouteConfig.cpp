#include "MavAreaRouteConfig.h"

void MavAreaRouteConfig::setPolygonVertices(const QList<std::pair<double, double>>& vertices)
{
    if (m_polygonVertices == vertices)
        return;
    m_polygonVertices = vertices;
    emit polygonVerticesChanged();
}

void MavAreaRouteConfig::setLineSpacing(double spacing)
{
    if (m_lineSpacing == spacing)
        return;
    m_lineSpacing = spacing;
    emit lineSpacingChanged();
}

void MavAreaRouteConfig::setAngle(double angle)
{
    if (m_angle == angle)
        return;
    m_angle = angle;
    emit angleChanged();
}
