#pragma once
// Geometry helpers for no-fly-zone records.
//
// Distances use a spherical earth of radius 6378137 m in a local flat projection around the
// zone, which is accurate to well under a metre for zones of a few kilometres. Polygon helpers
// work in the plane of (longitude, latitude) degrees, the plane the vehicle reads its zones in,
// so a hull or box computed here contains the zone as the vehicle draws it. They assume a zone
// that does not cross the 180th meridian (check crossesAntimeridian first).

#include "NfzRecord.h"

#include <array>
#include <vector>

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
// [-90, 90] x [-180, 180] (a circle across the antimeridian is cut there, so whoever must not
// shrink a zone checks circleCrossesAntimeridian first); a circle reaching a pole spans every
// longitude.
bool bboxFromCircle(double centerLat, double centerLon, double radiusM, double& minLat, double& minLon, double& maxLat,
                    double& maxLon);

// The four corners of a box given as (minLat, maxLat, minLon, maxLon), counter-clockwise from
// the south-west corner: SW, SE, NE, NW. Corner i is (lats[i], lons[i]).
void bboxToFourVertices(double minLat, double maxLat, double minLon, double maxLon, std::array<double, 4>& lats,
                        std::array<double, 4>& lons);

using Ring = std::vector<NfzRecord::Point>;

// The ring without repeated consecutive vertices and without a closing copy of the first.
Ring openRing(const Ring& points);

// True when an edge of the closed ring spans more than 180 degrees of longitude: the zone is
// then taken to cross the 180th meridian (the shorter way round), as a map draws it.
bool crossesAntimeridian(const Ring& ring);
// True when the circle reaches past longitude -180 or 180 (a circle around a pole does not: it
// spans every longitude).
bool circleCrossesAntimeridian(double centerLat, double centerLon, double radiusM);

// True for an open ring (see openRing) of at least 3 vertices whose edges meet only where
// consecutive edges share their vertex: no crossing, touching or overlapping edges, no vertex
// visited twice, no zero-area spike. Edges are pruned by their longitude span, so typical
// zones cost far less than the quadratic worst case.
bool isSimplePolygon(const Ring& ring);

// Smallest convex polygon holding the points, counter-clockwise (longitude east, latitude
// north), without collinear or repeated vertices.
Ring convexHull(Ring points);

// Area of a closed ring in square degrees, always >= 0.
double ringArea(const Ring& ring);

}  // namespace nfzgeo
