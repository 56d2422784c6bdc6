#pragma once
// Which vehicle a received frame belongs to, by its sender id: one slot per 8-bit id, so a
// frame reaches its own vehicle in constant time whatever the fleet size. The multi-vehicle
// manager keeps it as vehicles join and leave (an id change is a leave and a join). Main thread.

#include <array>
#include <cstdint>

class VehicleController;

class VehicleFrameRoutes {
public:
    // A second vehicle under the same id replaces the first.
    void join(int id, VehicleController* vehicle);
    // Only clears the slot if it still names this vehicle.
    void leave(int id, const VehicleController* vehicle);
    VehicleController* find(uint8_t id) const { return m_slots[id]; }
    int size() const;

private:
    std::array<VehicleController*, 256> m_slots{};
};
