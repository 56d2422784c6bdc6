#include "VehicleFrameRoutes.h"

#include <algorithm>

void VehicleFrameRoutes::join(int id, VehicleController* vehicle)
{
    if (id >= 0 && id < int(m_slots.size()))
        m_slots[size_t(id)] = vehicle;
}

void VehicleFrameRoutes::leave(int id, const VehicleController* vehicle)
{
    if (id >= 0 && id < int(m_slots.size()) && m_slots[size_t(id)] == vehicle)
        m_slots[size_t(id)] = nullptr;
}

int VehicleFrameRoutes::size() const
{
    return int(std::count_if(m_slots.begin(), m_slots.end(), [](const VehicleController* v) { return v != nullptr; }));
}
