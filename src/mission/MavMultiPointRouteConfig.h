#pragma once
// A route whose waypoints the user places one by one; it has no settings of its own.

#include "mission/MavFlightRouteAbstractConfig.h"

class MavMultiPointRouteConfig : public MavFlightRouteAbstractConfig {
    Q_OBJECT
public:
    using MavFlightRouteAbstractConfig::MavFlightRouteAbstractConfig;

    MavFlightRouteType type() const override { return MavFlightRouteType::MultiPoint; }
};
