#pragma once
// What the CLI endpoint hands to the command router: the station (its vehicle services and the
// station-wide controllers, see svc::StationPort) and the endpoint's memory of zone and account
// work (may be absent).

class GcsCliOutcomeRecorder;
namespace svc {
class StationPort;
}

struct GcsCliServiceContext {
    svc::StationPort* station = nullptr;
    GcsCliOutcomeRecorder* outcomes = nullptr;
};
