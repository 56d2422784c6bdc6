#pragma once
// What the waypoint table asks the user interface for the distance and direction columns: the
// way from one waypoint to the next. How they are measured is the interface's business.

class MavAbstractWayPointsRelationDataQuery {
public:
    virtual ~MavAbstractWayPointsRelationDataQuery() = default;

    // From the waypoint numbered wpNumber to the one after it: distance in metres and direction
    // in degrees.
    virtual void queryWayPointRelationData(int wpNumber, double& distance, double& direction) = 0;
};
