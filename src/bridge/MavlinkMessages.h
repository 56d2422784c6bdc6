#pragma once
// The MAVLink 2 messages the bridge speaks, each as its payload in wire order (fields sorted by
// size, extensions last, as the protocol lays them out), with its id, full payload length and
// CRC_EXTRA. The structs are packed and the host is little-endian (as the wire), so a payload is
// the struct's bytes: a shorter received payload is zero-extended, and a sent one loses its
// trailing zero bytes in the frame (MavlinkCodec does both).

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "MAVLink payloads are copied as host structs");

namespace mavlink {

// Message ids.
enum MsgId : uint32_t {
    kHeartbeat = 0,
    kSysStatus = 1,
    kSystemTime = 2,
    kSetMode = 11,
    kParamRequestRead = 20,
    kParamRequestList = 21,
    kParamValue = 22,
    kParamSet = 23,
    kGpsRawInt = 24,
    kAttitude = 30,
    kGlobalPositionInt = 33,
    kMissionRequest = 40,
    kMissionRequestList = 43,
    kMissionCount = 44,
    kMissionSetCurrent = 41,
    kMissionCurrent = 42,
    kMissionItemReached = 46,
    kMissionClearAll = 45,
    kMissionAck = 47,
    kMissionRequestInt = 51,
    kMissionItemInt = 73,
    kMissionItem = 39,
    kTimesync = 111,
    kVfrHud = 74,
    kCommandInt = 75,
    kCommandLong = 76,
    kCommandAck = 77,
    kBatteryStatus = 147,
    kAutopilotVersion = 148,
    kHomePosition = 242,
    kMessageInterval = 244,
    kExtendedSysState = 245,
    kStatusText = 253,
    kProtocolVersion = 300,
    kAvailableModes = 435,
    kCurrentMode = 436,
};

#pragma pack(push, 1)
struct Heartbeat {
    static constexpr uint32_t kId = kHeartbeat;
    static constexpr uint8_t kCrcExtra = 50;
    uint32_t customMode = 0;
    uint8_t type = 0;
    uint8_t autopilot = 0;
    uint8_t baseMode = 0;
    uint8_t systemStatus = 0;
    uint8_t mavlinkVersion = 3;
};
static_assert(sizeof(Heartbeat) == 9);

struct SysStatus {
    static constexpr uint32_t kId = kSysStatus;
    static constexpr uint8_t kCrcExtra = 124;
    uint32_t sensorsPresent = 0;
    uint32_t sensorsEnabled = 0;
    uint32_t sensorsHealth = 0;
    uint16_t load = 0;
    uint16_t voltageBattery = UINT16_MAX;  // mV; UINT16_MAX: unknown
    int16_t currentBattery = -1;  // cA; -1: unknown
    uint16_t dropRateComm = 0;
    uint16_t errorsComm = 0;
    uint16_t errorsCount[4] = {0, 0, 0, 0};
    int8_t batteryRemaining = -1;
    uint32_t sensorsPresentExtended = 0;
    uint32_t sensorsEnabledExtended = 0;
    uint32_t sensorsHealthExtended = 0;
};
static_assert(sizeof(SysStatus) == 43);

struct SystemTime {
    static constexpr uint32_t kId = kSystemTime;
    static constexpr uint8_t kCrcExtra = 137;
    uint64_t timeUnixUsec = 0;
    uint32_t timeBootMs = 0;
};
static_assert(sizeof(SystemTime) == 12);

struct Timesync {
    static constexpr uint32_t kId = kTimesync;
    static constexpr uint8_t kCrcExtra = 34;
    int64_t tc1 = 0;  // ns; 0 in a request
    int64_t ts1 = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
};
static_assert(sizeof(Timesync) == 18);

struct ProtocolVersion {
    static constexpr uint32_t kId = kProtocolVersion;
    static constexpr uint8_t kCrcExtra = 217;
    uint16_t version = 200;
    uint16_t minVersion = 200;
    uint16_t maxVersion = 200;
    uint8_t specVersionHash[8] = {};
    uint8_t libraryVersionHash[8] = {};
};
static_assert(sizeof(ProtocolVersion) == 22);

struct SetMode {
    static constexpr uint32_t kId = kSetMode;
    static constexpr uint8_t kCrcExtra = 89;
    uint32_t customMode = 0;
    uint8_t targetSystem = 0;
    uint8_t baseMode = 0;
};
static_assert(sizeof(SetMode) == 6);

struct ParamRequestRead {
    static constexpr uint32_t kId = kParamRequestRead;
    static constexpr uint8_t kCrcExtra = 214;
    int16_t paramIndex = -1;  // -1: by name
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    char paramId[16] = {};  // not terminated when 16 long
};
static_assert(sizeof(ParamRequestRead) == 20);

struct ParamRequestList {
    static constexpr uint32_t kId = kParamRequestList;
    static constexpr uint8_t kCrcExtra = 159;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
};
static_assert(sizeof(ParamRequestList) == 2);

struct ParamValue {
    static constexpr uint32_t kId = kParamValue;
    static constexpr uint8_t kCrcExtra = 220;
    float paramValue = 0;
    uint16_t paramCount = 0;
    uint16_t paramIndex = 0;
    char paramId[16] = {};
    uint8_t paramType = 0;
};
static_assert(sizeof(ParamValue) == 25);

struct ParamSet {
    static constexpr uint32_t kId = kParamSet;
    static constexpr uint8_t kCrcExtra = 168;
    float paramValue = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    char paramId[16] = {};
    uint8_t paramType = 0;
};
static_assert(sizeof(ParamSet) == 23);

struct GpsRawInt {
    static constexpr uint32_t kId = kGpsRawInt;
    static constexpr uint8_t kCrcExtra = 24;
    uint64_t timeUsec = 0;
    int32_t lat = 0;  // degE7
    int32_t lon = 0;
    int32_t alt = 0;  // mm above sea level
    uint16_t eph = UINT16_MAX;  // HDOP x 100
    uint16_t epv = UINT16_MAX;
    uint16_t vel = UINT16_MAX;  // cm/s
    uint16_t cog = UINT16_MAX;  // cdeg
    uint8_t fixType = 0;
    uint8_t satellitesVisible = UINT8_MAX;
    int32_t altEllipsoid = 0;
    uint32_t hAcc = 0;
    uint32_t vAcc = 0;
    uint32_t velAcc = 0;
    uint32_t hdgAcc = 0;
    uint16_t yaw = 0;
};
static_assert(sizeof(GpsRawInt) == 52);

struct Attitude {
    static constexpr uint32_t kId = kAttitude;
    static constexpr uint8_t kCrcExtra = 39;
    uint32_t timeBootMs = 0;
    float roll = 0;  // rad
    float pitch = 0;
    float yaw = 0;
    float rollSpeed = 0;  // rad/s
    float pitchSpeed = 0;
    float yawSpeed = 0;
};
static_assert(sizeof(Attitude) == 28);

struct GlobalPositionInt {
    static constexpr uint32_t kId = kGlobalPositionInt;
    static constexpr uint8_t kCrcExtra = 104;
    uint32_t timeBootMs = 0;
    int32_t lat = 0;  // degE7
    int32_t lon = 0;
    int32_t alt = 0;  // mm above sea level
    int32_t relativeAlt = 0;  // mm above home
    int16_t vx = 0;  // cm/s north
    int16_t vy = 0;  // east
    int16_t vz = 0;  // down
    uint16_t hdg = UINT16_MAX;  // cdeg
};
static_assert(sizeof(GlobalPositionInt) == 28);

struct MissionRequest {  // also MISSION_REQUEST_INT, same layout
    static constexpr uint32_t kId = kMissionRequest;
    static constexpr uint8_t kCrcExtra = 230;
    uint16_t seq = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t missionType = 0;
};
static_assert(sizeof(MissionRequest) == 5);

struct MissionRequestInt : MissionRequest {
    static constexpr uint32_t kId = kMissionRequestInt;
    static constexpr uint8_t kCrcExtra = 196;
};
static_assert(sizeof(MissionRequestInt) == 5);

struct MissionRequestList {
    static constexpr uint32_t kId = kMissionRequestList;
    static constexpr uint8_t kCrcExtra = 132;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t missionType = 0;
};
static_assert(sizeof(MissionRequestList) == 3);

struct MissionSetCurrent {
    static constexpr uint32_t kId = kMissionSetCurrent;
    static constexpr uint8_t kCrcExtra = 28;
    uint16_t seq = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
};
static_assert(sizeof(MissionSetCurrent) == 4);

struct MissionClearAll : MissionRequestList {
    static constexpr uint32_t kId = kMissionClearAll;
    static constexpr uint8_t kCrcExtra = 232;
};

struct MissionCount {
    static constexpr uint32_t kId = kMissionCount;
    static constexpr uint8_t kCrcExtra = 221;
    uint16_t count = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t missionType = 0;
    uint32_t opaqueId = 0;
};
static_assert(sizeof(MissionCount) == 9);

struct MissionAck {
    static constexpr uint32_t kId = kMissionAck;
    static constexpr uint8_t kCrcExtra = 153;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t type = 0;
    uint8_t missionType = 0;
    uint32_t opaqueId = 0;
};
static_assert(sizeof(MissionAck) == 8);

struct MissionItemInt {
    static constexpr uint32_t kId = kMissionItemInt;
    static constexpr uint8_t kCrcExtra = 38;
    float param1 = 0;
    float param2 = 0;
    float param3 = 0;
    float param4 = 0;
    int32_t x = 0;  // degE7
    int32_t y = 0;
    float z = 0;  // m
    uint16_t seq = 0;
    uint16_t command = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t frame = 0;
    uint8_t current = 0;
    uint8_t autocontinue = 1;
    uint8_t missionType = 0;
};
static_assert(sizeof(MissionItemInt) == 38);

// The legacy item: positions as float degrees.
struct MissionItem {
    static constexpr uint32_t kId = kMissionItem;
    static constexpr uint8_t kCrcExtra = 254;
    float param1 = 0;
    float param2 = 0;
    float param3 = 0;
    float param4 = 0;
    float x = 0;  // deg
    float y = 0;
    float z = 0;  // m
    uint16_t seq = 0;
    uint16_t command = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t frame = 0;
    uint8_t current = 0;
    uint8_t autocontinue = 1;
    uint8_t missionType = 0;
};
static_assert(sizeof(MissionItem) == 38);

struct VfrHud {
    static constexpr uint32_t kId = kVfrHud;
    static constexpr uint8_t kCrcExtra = 20;
    float airspeed = 0;
    float groundspeed = 0;
    float alt = 0;  // m above sea level
    float climb = 0;
    int16_t heading = 0;  // deg 0..360
    uint16_t throttle = 0;
};
static_assert(sizeof(VfrHud) == 20);

struct CommandInt {
    static constexpr uint32_t kId = kCommandInt;
    static constexpr uint8_t kCrcExtra = 158;
    float param1 = 0;
    float param2 = 0;
    float param3 = 0;
    float param4 = 0;
    int32_t x = 0;
    int32_t y = 0;
    float z = 0;
    uint16_t command = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t frame = 0;
    uint8_t current = 0;
    uint8_t autocontinue = 0;
};
static_assert(sizeof(CommandInt) == 35);

struct CommandLong {
    static constexpr uint32_t kId = kCommandLong;
    static constexpr uint8_t kCrcExtra = 152;
    float param[7] = {0, 0, 0, 0, 0, 0, 0};
    uint16_t command = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
    uint8_t confirmation = 0;
};
static_assert(sizeof(CommandLong) == 33);

struct CommandAck {
    static constexpr uint32_t kId = kCommandAck;
    static constexpr uint8_t kCrcExtra = 143;
    uint16_t command = 0;
    uint8_t result = 0;
    uint8_t progress = 0;
    int32_t resultParam2 = 0;
    uint8_t targetSystem = 0;
    uint8_t targetComponent = 0;
};
static_assert(sizeof(CommandAck) == 10);

struct AutopilotVersion {
    static constexpr uint32_t kId = kAutopilotVersion;
    static constexpr uint8_t kCrcExtra = 178;
    uint64_t capabilities = 0;
    uint64_t uid = 0;
    uint32_t flightSwVersion = 0;
    uint32_t middlewareSwVersion = 0;
    uint32_t osSwVersion = 0;
    uint32_t boardVersion = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t flightCustomVersion[8] = {};
    uint8_t middlewareCustomVersion[8] = {};
    uint8_t osCustomVersion[8] = {};
    uint8_t uid2[18] = {};
};
static_assert(sizeof(AutopilotVersion) == 78);

struct HomePosition {
    static constexpr uint32_t kId = kHomePosition;
    static constexpr uint8_t kCrcExtra = 104;
    int32_t latitude = 0;  // degE7
    int32_t longitude = 0;
    int32_t altitude = 0;  // mm above sea level
    float x = 0;
    float y = 0;
    float z = 0;
    float q[4] = {1, 0, 0, 0};
    float approachX = 0;
    float approachY = 0;
    float approachZ = 0;
    uint64_t timeUsec = 0;
};
static_assert(sizeof(HomePosition) == 60);

struct MessageInterval {
    static constexpr uint32_t kId = kMessageInterval;
    static constexpr uint8_t kCrcExtra = 95;
    int32_t intervalUs = 0;
    uint16_t messageId = 0;
};
static_assert(sizeof(MessageInterval) == 6);

struct MissionCurrent {
    static constexpr uint32_t kId = kMissionCurrent;
    static constexpr uint8_t kCrcExtra = 28;
    uint16_t seq = 0;
    uint16_t total = 0;  // 0: not known
    uint8_t missionState = 0;  // MISSION_STATE; 0: unknown
    uint8_t missionMode = 0;
    uint32_t missionId = 0;
    uint32_t fenceId = 0;
    uint32_t rallyPointsId = 0;
};
static_assert(sizeof(MissionCurrent) == 18);

struct MissionItemReached {
    static constexpr uint32_t kId = kMissionItemReached;
    static constexpr uint8_t kCrcExtra = 11;
    uint16_t seq = 0;
};
static_assert(sizeof(MissionItemReached) == 2);

struct BatteryStatus {
    static constexpr uint32_t kId = kBatteryStatus;
    static constexpr uint8_t kCrcExtra = 154;
    int32_t currentConsumed = -1;  // mAh; -1: unknown
    int32_t energyConsumed = -1;  // hJ; -1: unknown
    int16_t temperature = INT16_MAX;  // cdegC; INT16_MAX: unknown
    uint16_t voltages[10] = {UINT16_MAX, UINT16_MAX, UINT16_MAX, UINT16_MAX, UINT16_MAX,
                             UINT16_MAX, UINT16_MAX, UINT16_MAX, UINT16_MAX, UINT16_MAX};  // mV
    int16_t currentBattery = -1;  // cA; -1: unknown
    uint8_t id = 0;
    uint8_t batteryFunction = 0;
    uint8_t type = 0;
    int8_t batteryRemaining = -1;  // %; -1: unknown
    int32_t timeRemaining = 0;  // s; 0: unknown
    uint8_t chargeState = 0;  // MAV_BATTERY_CHARGE_STATE; 0: unknown
    uint16_t voltagesExt[4] = {0, 0, 0, 0};
    uint8_t mode = 0;
    uint32_t faultBitmask = 0;
};
static_assert(sizeof(BatteryStatus) == 54);

struct AvailableModes {
    static constexpr uint32_t kId = kAvailableModes;
    static constexpr uint8_t kCrcExtra = 134;
    uint32_t customMode = 0;
    uint32_t properties = 0;  // MAV_MODE_PROPERTY bits
    uint8_t numberModes = 0;
    uint8_t modeIndex = 0;  // 1..numberModes
    uint8_t standardMode = 0;  // MAV_STANDARD_MODE; 0: none
    char modeName[35] = {};
};
static_assert(sizeof(AvailableModes) == 46);

struct CurrentMode {
    static constexpr uint32_t kId = kCurrentMode;
    static constexpr uint8_t kCrcExtra = 193;
    uint32_t customMode = 0;
    uint32_t intendedCustomMode = 0;
    uint8_t standardMode = 0;
};
static_assert(sizeof(CurrentMode) == 9);

struct ExtendedSysState {
    static constexpr uint32_t kId = kExtendedSysState;
    static constexpr uint8_t kCrcExtra = 130;
    uint8_t vtolState = 0;
    uint8_t landedState = 0;  // MAV_LANDED_STATE; 0: unknown
};
static_assert(sizeof(ExtendedSysState) == 2);

struct StatusText {
    static constexpr uint32_t kId = kStatusText;
    static constexpr uint8_t kCrcExtra = 83;
    uint8_t severity = 0;
    char text[50] = {};
    uint16_t id = 0;
    uint8_t chunkSeq = 0;
};
static_assert(sizeof(StatusText) == 54);
#pragma pack(pop)

// What the codec needs of a message id: its full payload length and CRC_EXTRA.
struct MsgInfo {
    uint32_t id;
    uint8_t length;
    uint8_t crcExtra;
};

template <typename M>
constexpr MsgInfo infoOf()
{
    return {M::kId, uint8_t(sizeof(M)), M::kCrcExtra};
}

inline constexpr MsgInfo kMessages[] = {
    infoOf<Heartbeat>(),
    infoOf<SysStatus>(),
    infoOf<SystemTime>(),
    infoOf<Timesync>(),
    infoOf<ProtocolVersion>(),
    infoOf<SetMode>(),
    infoOf<ParamRequestRead>(),
    infoOf<ParamRequestList>(),
    infoOf<ParamValue>(),
    infoOf<ParamSet>(),
    infoOf<GpsRawInt>(),
    infoOf<Attitude>(),
    infoOf<GlobalPositionInt>(),
    infoOf<MissionRequest>(),
    infoOf<MissionRequestList>(),
    infoOf<MissionCount>(),
    infoOf<MissionClearAll>(),
    infoOf<MissionSetCurrent>(),
    infoOf<MissionCurrent>(),
    infoOf<MissionItemReached>(),
    infoOf<MissionAck>(),
    infoOf<MissionRequestInt>(),
    infoOf<MissionItemInt>(),
    infoOf<MissionItem>(),
    infoOf<VfrHud>(),
    infoOf<CommandInt>(),
    infoOf<CommandLong>(),
    infoOf<CommandAck>(),
    infoOf<AutopilotVersion>(),
    infoOf<HomePosition>(),
    infoOf<MessageInterval>(),
    infoOf<ExtendedSysState>(),
    infoOf<BatteryStatus>(),
    infoOf<AvailableModes>(),
    infoOf<CurrentMode>(),
    infoOf<StatusText>(),
};

constexpr const MsgInfo* findMessage(uint32_t id)
{
    for (const auto& m : kMessages)
        if (m.id == id)
            return &m;
    return nullptr;
}

// Enumerations used here (values of the common message set).
namespace mav {
constexpr uint8_t kTypeGeneric = 0, kTypeFixedWing = 1, kTypeQuadrotor = 2, kTypeCoaxial = 3, kTypeHelicopter = 4,
                  kTypeGcs = 6, kTypeHexarotor = 13, kTypeOctorotor = 14, kTypeVtolTiltrotor = 21,
                  kTypeVtolFixedrotor = 22, kTypeVtolTailsitter = 23;
constexpr uint8_t kAutopilotGeneric = 0, kAutopilotInvalid = 8, kAutopilotPx4 = 12;
constexpr uint8_t kLandedUndefined = 0, kLandedOnGround = 1, kLandedInAir = 2, kLandedTakeoff = 3, kLandedLanding = 4;
constexpr uint8_t kModeFlagCustomModeEnabled = 1, kModeFlagSafetyArmed = 128;
constexpr uint8_t kStateStandby = 3, kStateActive = 4, kStateCritical = 5;
// MAV_SYS_STATUS_SENSOR bits.
constexpr uint32_t kSensorGyro = 1, kSensorAccel = 2, kSensorMag = 4, kSensorGps = 32, kSensorRcReceiver = 65536,
                   kSensorGyro2 = 131072, kSensorAccel2 = 262144, kSensorAhrs = 2097152, kSensorBattery = 33554432,
                   kSensorPrearmCheck = 268435456;
// MAV_STANDARD_MODE and MAV_MODE_PROPERTY.
constexpr uint8_t kStdModeNone = 0, kStdModePositionHold = 1, kStdModeOrbit = 2, kStdModeAltitudeHold = 4,
                  kStdModeSafeRecovery = 5, kStdModeMission = 6, kStdModeLand = 7, kStdModeTakeoff = 8;
constexpr uint32_t kModePropertyNotUserSelectable = 2, kModePropertyAutoMode = 4;
constexpr uint8_t kBatteryFunctionAll = 1, kBatteryTypeLipo = 1;
constexpr uint8_t kChargeOk = 1, kChargeLow = 2, kChargeCritical = 3;
constexpr uint8_t kMissionStateUnknown = 0, kMissionStateNone = 1, kMissionStateNotStarted = 2, kMissionStateActive = 3,
                  kMissionStatePaused = 4, kMissionStateComplete = 5;
constexpr uint8_t kSeverityCritical = 2, kSeverityError = 3, kSeverityWarning = 4, kSeverityInfo = 6;
constexpr uint8_t kFixNone = 1, kFix3d = 3, kFixDgps = 4, kFixRtkFixed = 6;
constexpr uint8_t kResultAccepted = 0, kResultDenied = 2, kResultUnsupported = 3, kResultFailed = 4,
                  kResultInProgress = 5;
constexpr uint8_t kMissionAccepted = 0, kMissionError = 1, kMissionUnsupportedFrame = 2, kMissionUnsupported = 3,
                  kMissionNoSpace = 4, kMissionInvalidParam2 = 7, kMissionInvalidParam5X = 10,
                  kMissionInvalidParam7 = 12, kMissionInvalidSequence = 13, kMissionDenied = 14,
                  kMissionOperationCancelled = 15;
constexpr uint8_t kMissionTypeMission = 0, kMissionTypeFence = 1, kMissionTypeRally = 2, kMissionTypeAll = 255;
constexpr uint8_t kFrameGlobal = 0, kFrameMission = 2, kFrameGlobalRelativeAlt = 3, kFrameGlobalInt = 5,
                  kFrameGlobalRelativeAltInt = 6;
constexpr uint16_t kCmdNavWaypoint = 16, kCmdNavReturnToLaunch = 20, kCmdNavLand = 21, kCmdNavTakeoff = 22,
                   kCmdDoSetMode = 176, kCmdDoChangeSpeed = 178, kCmdDoReposition = 192, kCmdDoPauseContinue = 193,
                   kCmdDoSetMissionCurrent = 224, kCmdMissionStart = 300, kCmdComponentArmDisarm = 400,
                   kCmdGetHomePosition = 410, kCmdSetMessageInterval = 511, kCmdRequestMessage = 512,
                   kCmdDoSetStandardMode = 262, kCmdRequestAutopilotCapabilities = 520,
                   kCmdFencePolygonVertexExclusion = 5002, kCmdFenceCircleExclusion = 5004;
constexpr uint8_t kParamUint8 = 1, kParamInt8 = 2, kParamUint16 = 3, kParamInt16 = 4, kParamUint32 = 5, kParamInt32 = 6,
                  kParamReal32 = 9;
constexpr uint64_t kCapParamEncodeBytewise = 2;
constexpr uint64_t kCapMissionInt = 4, kCapCommandInt = 8, kCapMavlink2 = 8192, kCapMissionFence = 16384;
}  // namespace mav

}  // namespace mavlink
