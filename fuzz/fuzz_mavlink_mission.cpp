// What the MAVLink bridge makes of the mission items a ground station uploads: each input is a
// run of MISSION_ITEM_INT payloads (38 bytes each, as cut from frames), mapped to the points of
// a route. The mapping either fails with a MAV_MISSION_RESULT and the sequence of the item at
// fault, or gives points that route.create can take (finite lat, lon and alt).

#include "bridge/MavlinkMissionServer.h"
#include "fleet/FleetVehicleState.h"
#include "FuzzSupport.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    std::vector<mavlink::MissionItemInt> items(size / sizeof(mavlink::MissionItemInt));
    if (!items.empty())
        std::memcpy(static_cast<void*>(items.data()), data, items.size() * sizeof(mavlink::MissionItemInt));
    FleetReadModel::VehicleState vehicle;
    vehicle.lat = 22.5;
    vehicle.lon = 113.9;
    vehicle.homeLat = 22.49;
    vehicle.homeLon = 113.89;
    vehicle.returnAltitude = 40;
    const auto mapped = mavlinkmission::pointsFromItems(items, vehicle, 5);
    if (mapped.error == 0) {
        if (mapped.points.empty())
            std::abort();
        for (const auto& p : mapped.points)
            for (const double v : {double(p.data.lat), double(p.data.lon), double(p.data.alt)})
                if (!std::isfinite(v))
                    std::abort();
    } else if (mapped.badSeq < 0 || size_t(mapped.badSeq) > items.size()) {
        std::abort();
    }
    return 0;
}
