#pragma once
// Route records of the vehicle link protocol: the waypoint record the station stores and sends
// byte for byte, and the small records of route upload and download.
//
// MavProtoWayPointData_t is laid out in natural alignment (not packed): 56 bytes, offsets checked
// below. Its padding and the unused bits of the flags byte are zero in a fresh record, so two
// records with equal fields compare equal with memcmp and travel the same bytes.

#include <cstddef>
#include <cstdint>

enum MavProtoWayPointType : uint32_t {
    MAVPROTO_WP_TAKEOFF = 0x11,
    MAVPROTO_WP_PASS = 0x22,
    MAVPROTO_WP_HOVER = 0x23,
    MAVPROTO_WP_ORBIT = 0x25,
    MAVPROTO_WP_RETURN = 0x44,
    MAVPROTO_WP_LAND = 0x88,
};

enum MavProtoHeadingDirection : uint8_t {
    MAVPROTO_HEADING_KEEP = 0,
    MAVPROTO_HEADING_TO_NEXT_WP = 1,
    MAVPROTO_HEADING_FIXED = 2,
};

enum MavProtoTraceMode : uint8_t {
    MAVPROTO_TRACE_STOP_AND_TURN = 0,
    MAVPROTO_TRACE_COORDINATED_TURN = 1,
};

enum MavProtoWayPointHeightType : uint8_t {
    MAVPROTO_HEIGHT_RELATIVE = 0,
    MAVPROTO_HEIGHT_ABOVE_SEA = 1,
    MAVPROTO_HEIGHT_ELLIPSOID = 2,
};

struct MavProtoWayPointData_t {
    uint8_t number = 1;  // 1-based position within the route
    uint8_t pad0[3] = {0, 0, 0};
    MavProtoWayPointType type = MAVPROTO_WP_PASS;
    double lon = 0;  // degrees
    double lat = 0;  // degrees
    double alt = 0;  // m
    float vel = 0;  // m/s
    float radius = 0;  // m
    // bits 0-1 heading direction, bit 2 trace mode, bits 3-4 height type, bits 5-7 zero
    uint8_t flags = 0;
    uint8_t pad1 = 0;
    uint16_t hoverTime = 0;  // s
    uint8_t nextWp = 0;
    uint8_t pad2[3] = {0, 0, 0};
    float heading = 0;  // degrees
    uint8_t routeNumber = 0;
    uint8_t pad3[3] = {0, 0, 0};

    MavProtoHeadingDirection headingDirection() const { return MavProtoHeadingDirection(flags & 0x03); }
    MavProtoTraceMode traceMode() const { return MavProtoTraceMode((flags >> 2) & 0x01); }
    MavProtoWayPointHeightType heightType() const { return MavProtoWayPointHeightType((flags >> 3) & 0x03); }
    void setHeadingDirection(uint8_t v) { flags = uint8_t((flags & ~0x03) | (v & 0x03)); }
    void setTraceMode(uint8_t v) { flags = uint8_t((flags & ~0x04) | ((v & 0x01) << 2)); }
    void setHeightType(uint8_t v) { flags = uint8_t((flags & ~0x18) | ((v & 0x03) << 3)); }
};
static_assert(sizeof(MavProtoWayPointData_t) == 56);
static_assert(offsetof(MavProtoWayPointData_t, number) == 0);
static_assert(offsetof(MavProtoWayPointData_t, type) == 4);
static_assert(offsetof(MavProtoWayPointData_t, lon) == 8);
static_assert(offsetof(MavProtoWayPointData_t, lat) == 16);
static_assert(offsetof(MavProtoWayPointData_t, alt) == 24);
static_assert(offsetof(MavProtoWayPointData_t, vel) == 32);
static_assert(offsetof(MavProtoWayPointData_t, radius) == 36);
static_assert(offsetof(MavProtoWayPointData_t, flags) == 40);
static_assert(offsetof(MavProtoWayPointData_t, hoverTime) == 42);
static_assert(offsetof(MavProtoWayPointData_t, nextWp) == 44);
static_assert(offsetof(MavProtoWayPointData_t, heading) == 48);
static_assert(offsetof(MavProtoWayPointData_t, routeNumber) == 52);

#pragma pack(push, 1)
// Upload basic parameters (0x42): repeat count, waypoint count, 15, route number.
struct MavProtoUpWayPointBasicParam_t {
    uint8_t repeatTimes = 0;
    uint8_t wayPointCount = 0;
    uint8_t reserved = 15;
    uint8_t routeNumber = 0;
};
static_assert(sizeof(MavProtoUpWayPointBasicParam_t) == 4);

// Download basic parameters (0x40 acknowledgement): the two trailing bytes are the vehicle's,
// kept as received.
struct MavProtoDownWayPointBasicParam_t {
    uint8_t repeatTimes = 0;
    uint8_t wayPointCount = 0;
    uint8_t reserved0 = 0;
    uint8_t reserved1 = 0;
};
static_assert(sizeof(MavProtoDownWayPointBasicParam_t) == 4);

// One waypoint asked for (0x41 request).
struct MavProtoDownWayPointDataReq_t {
    uint8_t number = 0;
    uint8_t routeNumber = 0;
};
static_assert(sizeof(MavProtoDownWayPointDataReq_t) == 2);
#pragma pack(pop)
