#pragma once
// One no-fly zone as the zone document describes it (see NfzZoneManager.h for the document).
// Coordinates are WGS-84 degrees, latitude first; the radius is in metres.

#include <cstdint>
#include <vector>

struct NfzRecord {
    enum class Type { Polygon, Circle };

    struct Point {
        double lat = 0.0;
        double lon = 0.0;
    };

    int64_t id = 0;
    Type type = Type::Polygon;
    std::vector<Point> points;  // polygon vertices in document order
    Point center;  // circle
    double radius = 0.0;  // circle, metres

    // Bounding box in this order: south-west corner, then north-east corner. Filled by the zone
    // manager; degenerate (min == max) for a zero-radius circle or a polygon with one point.
    double minLat = 0.0;
    double minLon = 0.0;
    double maxLat = 0.0;
    double maxLon = 0.0;
};
