#pragma once
// The no-fly-zone methods of the CLI: nfz.sync, nfz.import, nfz.status, nfz.upload,
// nfz.bindManual.
//
// Choices where the contract is open:
// - nfz.upload without "zoneIds" sends every zone of the set, in document order; an empty set
//   is refused like an empty list ("zoneIds must not be empty").
// - nfz.import refuses a file the zone parser rejects, an empty one or one without a zone with
//   InvalidArgs and the reason; a cache that cannot be written is CommandRejected.
// - nfz.bindManual checks the four corners as returnHome checks its point; vertex numbers follow
//   the order given.
// - Zone geometry is judged by NfzVehicleController: a zone it refuses is InvalidArgs with its
//   reason (naming the zone), a vehicle updating its firmware CommandRejected. An accepted
//   upload answers the ids sent larger than drawn as "enlargedZoneIds".
// - nfz.sync {"allowShrink": true} writes a reply even when it holds fewer than half the known
//   zones; without it such a sync ends ZoneSetShrank (nfz.status lastSync.message says N to M).

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& nfzMethods();

}  // namespace gcscli
