#pragma once
// What a new zone set takes away from the one it replaces: zones whose id is gone, and zones
// kept under their id with a smaller area. A sync or import that would take anything away is
// refused unless the operator allows it (NfzSyncController), since a zone that vanishes
// unseen is airspace the operator still believes closed.
//
// Choices:
// - Areas are in square metres: a circle's is pi r^2, a polygon's the shoelace area of its
//   vertices on a local flat projection around its first vertex (exact enough to compare a zone
//   with its own new version). A zone that changes shape or moves but keeps its area is not
//   smaller; one without area (degenerate) is never smaller than before.
// - A new area below the old by more than one part in a million counts as smaller, so a zone
//   sent again with its coordinates rounded differently is not flagged.

#include "NfzRecord.h"

#include <QString>

#include <cstdint>
#include <vector>

struct NfzZoneShrink {
    struct Smaller {
        int64_t id = 0;
        double areaBeforeM2 = 0;
        double areaAfterM2 = 0;
    };
    std::vector<int64_t> removed;  // ids, in the old set's order
    std::vector<Smaller> smaller;

    bool empty() const { return removed.empty() && smaller.empty(); }
    // "zones 3, 4 removed; zone 7 smaller (1200 m² to 800 m²)".
    QString text() const;

    static NfzZoneShrink compare(const std::vector<NfzRecord>& before, const std::vector<NfzRecord>& after);
    static double areaM2(const NfzRecord& zone);
};
