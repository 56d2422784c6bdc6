#pragma once
// Geometry helpers for no-fly-zone records.
//
// Distances use a spherical earth of radius 6378137 m in a local flat projection around the
// zone, which is accurate to well under a metre for zones of a few kilometres.

#include "NfzRecord.h"

#include <array>

namespace nfzgeo {

// True for a polygon record whose vertices trace a circle: at least 12 distinct vertices, all
// within 5 % of their mean distance from the centroid. The cloud sends some circular zones in
// that form; a vehicle gets their bounding box rather than hundreds of vertices.
bool isPolylineCirclePolygon(const NfzRecord& record);

// True when the record's box is finite, inside [-90, 90] x [-180, 180] and not degenerate
// (min < max on both axes).
bool nfzRecordBboxValid(const NfzRecord& record);

// Bounding box of a circle, in NfzRecord's box order. False (outputs untouched) for a radius
// that is not a positive finite number or a centre out of range. Bounds are clamped to
// [-90, 90] x [-180, 180] (a circle across the antimeridian is cut there); a circle reaching a
// pole spans every longitude.
bool bboxFromCircle(double centerLat, double centerLon, double radiusM,
                    double& minLat, double& minLon, double& maxLat, double& maxLon);

// The four corners of a box given as (minLat, maxLat, minLon, maxLon), counter-clockwise from
// the south-west corner: SW, SE, NE, NW. Corner i is (lats[i], lons[i]).
void bboxToFourVertices(double minLat, double maxLat, double minLon, double maxLon,
                        std::array<double, 4>& lats, std::array<double, 4>& lons);

}  // namespace nfzgeo
