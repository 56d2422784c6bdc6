#include "MavlinkBridge.h"

#include "OstMainLoopGate.h"

#include "bridge/MavlinkMissionServer.h"
#include "bridge/MavlinkParamServer.h"

#include "services/CommandService.h"
#include "services/MissionService.h"
#include "services/ParamService.h"
#include "services/StationPort.h"
#include "services/VehicleServices.h"
#include "fleet/FleetReadModel.h"
#include "fleet/FleetVehicleState.h"
#include "params/MavParamsController.h"
#include "settings/GcsSettings.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlert.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QFile>
#include <QFileInfo>

#include <QScopeGuard>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <numbers>

using nlohmann::json;
using namespace mavlink;

namespace {

constexpr double kDegToRad = std::numbers::pi / 180.0;
constexpr int64_t kProgressAfterMs = 1000;
constexpr int64_t kCommandGiveUpMs = 30000;
constexpr float kTakeoffSpeed = 3.0f;
constexpr double kMinReturnAltitude = 30.0;
constexpr int kAirframeReadsPerTick = 5;

uint8_t mavType(int airframe)
{
    if (airframe < 0)
        return mav::kTypeGeneric;
    switch (airframe) {
    case 0x01:
    case 0x04:
    case 0x05: return mav::kTypeQuadrotor;
    case 0x02:
    case 0x06:
    case 0x07: return mav::kTypeHexarotor;
    case 0x03:
    case 0x08:
    case 0x09: return mav::kTypeOctorotor;
    case 0x21: return mav::kTypeCoaxial;
    case 0x20:
    case 0x22: return mav::kTypeHelicopter;
    case 0x30: return mav::kTypeFixedWing;
    case 0x40:
    case 0x41:
    case 0x42: return mav::kTypeVtolFixedrotor;
    case 0x50: return mav::kTypeVtolTiltrotor;
    case 0x51: return mav::kTypeVtolTailsitter;
    }
    return mav::kTypeGeneric;
}

// What the full flight status record says of each part, as SYS_STATUS sensor bits: present and
// enabled as far as the record tells of them, healthy only when it says so. Nothing is claimed
// before the first record.
void sensorHealth(const FleetReadModel::VehicleState& s, mavlink::SysStatus& m)
{
    if (!s.statusKnown)
        return;
    uint32_t health = 0;
    auto part = [&](uint32_t bits, bool healthy) {
        m.sensorsPresent |= bits;
        m.sensorsEnabled |= bits;
        if (healthy)
            health |= bits;
    };
    const bool imuOverall = (s.imuSensorState & 0x20) != 0;
    part(mav::kSensorGyro | mav::kSensorAccel, imuOverall && (s.imuSensorState & 0x01));
    part(mav::kSensorGyro2 | mav::kSensorAccel2, imuOverall && (s.imuSensorState & 0x02));
    part(mav::kSensorMag, (s.headingSensorState & 0x80) && (s.headingSensorState & 0x01));
    part(mav::kSensorAhrs, imuOverall && s.headingState == 1);
    part(mav::kSensorGps, s.positionState > 0);
    part(mav::kSensorRcReceiver, s.rcState == 1);
    part(mav::kSensorBattery, s.batteryState == 0);
    part(mav::kSensorPrearmCheck, (s.takeoffCheck & 0x01) == 0);
    m.sensorsHealth = health;
}

bool inAir(const FleetReadModel::VehicleState& s)
{
    return s.flightState != 0 && s.flightState != 5;
}

float wrapPi(float rad)
{
    return float(std::remainder(double(rad), 2 * std::numbers::pi));
}

double wrap360(double deg)
{
    const double d = std::fmod(deg, 360.0);
    return d < 0 ? d + 360.0 : d;
}

const char* commandResultName(uint8_t r)
{
    switch (r) {
    case mav::kResultAccepted: return "ACCEPTED";
    case mav::kResultDenied: return "DENIED";
    case mav::kResultUnsupported: return "UNSUPPORTED";
    case mav::kResultFailed: return "FAILED";
    case mav::kResultInProgress: return "IN_PROGRESS";
    }
    return "OTHER";
}

// Cut to at most n bytes without splitting a UTF-8 sequence.
size_t utf8Prefix(const std::string& s, size_t n)
{
    if (s.size() <= n)
        return s.size();
    while (n > 0 && (uint8_t(s[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

bool isVehicleCommand(uint16_t c)
{
    return c == mav::kCmdNavTakeoff || c == mav::kCmdNavLand || c == mav::kCmdNavReturnToLaunch ||
           c == mav::kCmdMissionStart || c == mav::kCmdDoPauseContinue || c == mav::kCmdDoSetMode ||
           c == mav::kCmdComponentArmDisarm || c == mav::kCmdDoReposition || c == mav::kCmdDoChangeSpeed ||
           c == mav::kCmdDoSetMissionCurrent || c == mav::kCmdDoSetStandardMode;
}

// The station's flight modes in PX4's custom_mode encoding (main mode in byte 2, sub mode in
// byte 3), the one autopilot family the bridge declares: its encoding does not depend on the
// airframe, and the mainstream clients know its mode names. docs/MAVLINK.md carries this table.
struct ModeRow {
    int station;
    uint8_t main, sub;
    const char* name;
    uint8_t standard;  // MAV_STANDARD_MODE
};
constexpr ModeRow kModes[] = {
    {0, 7, 0, "STABILIZED", mav::kStdModeNone},       {1, 1, 0, "MANUAL", mav::kStdModeNone},
    {2, 2, 0, "ALTCTL", mav::kStdModeAltitudeHold},   {3, 4, 4, "AUTO_MISSION", mav::kStdModeMission},
    {4, 6, 0, "OFFBOARD", mav::kStdModeNone},         {5, 3, 0, "POSCTL", mav::kStdModePositionHold},
    {6, 4, 5, "AUTO_RTL", mav::kStdModeSafeRecovery}, {7, 3, 1, "POSCTL_ORBIT", mav::kStdModeOrbit},
    {8, 4, 2, "AUTO_TAKEOFF", mav::kStdModeTakeoff},  {9, 4, 6, "AUTO_LAND", mav::kStdModeLand},
    {10, 3, 0, "POSCTL", mav::kStdModePositionHold},  {11, 4, 8, "AUTO_FOLLOW_TARGET", mav::kStdModeNone},
};

// AVAILABLE_MODES: each mode once, AUTO_LOITER (a held route) added; only the automatic modes can
// be chosen from a ground station, the others are the pilot's. A standard mode sets the one of
// its modes that can be chosen (position hold: AUTO_LOITER).
struct AvailableMode {
    uint8_t main, sub, standard;
    const char* name;
    bool selectable;
};
constexpr AvailableMode kModeList[] = {
    {7, 0, mav::kStdModeNone, "STABILIZED", false},         {1, 0, mav::kStdModeNone, "MANUAL", false},
    {2, 0, mav::kStdModeAltitudeHold, "ALTCTL", false},     {3, 0, mav::kStdModePositionHold, "POSCTL", false},
    {3, 1, mav::kStdModeOrbit, "POSCTL_ORBIT", false},      {6, 0, mav::kStdModeNone, "OFFBOARD", false},
    {4, 8, mav::kStdModeNone, "AUTO_FOLLOW_TARGET", false}, {4, 2, mav::kStdModeTakeoff, "AUTO_TAKEOFF", true},
    {4, 3, mav::kStdModePositionHold, "AUTO_LOITER", true}, {4, 4, mav::kStdModeMission, "AUTO_MISSION", true},
    {4, 5, mav::kStdModeSafeRecovery, "AUTO_RTL", true},    {4, 6, mav::kStdModeLand, "AUTO_LAND", true},
};

uint8_t standardModeOf(const FleetReadModel::VehicleState& s)
{
    if (!s.telemetryKnown)
        return mav::kStdModeNone;
    for (const auto& m : kModes)
        if (m.station == s.flightMode)
            return m.standard;
    return mav::kStdModeNone;
}
constexpr uint8_t kPx4Auto = 4, kPx4Loiter = 3, kPx4Mission = 4, kPx4Rtl = 5, kPx4Land = 6, kPx4Takeoff = 2;
constexpr float kDefaultTakeoffAltM = 10.0f;

uint32_t px4Mode(uint8_t main, uint8_t sub)
{
    return uint32_t(main) << 16 | uint32_t(sub) << 24;
}

// 0 (no mode) while the vehicle's mode is unknown.
uint32_t customModeOf(const FleetReadModel::VehicleState& s)
{
    if (!s.telemetryKnown)
        return 0;
    for (const auto& m : kModes)
        if (m.station == s.flightMode)
            return px4Mode(m.main, m.sub);
    return 0;
}

std::string modeName(uint8_t main, uint8_t sub)
{
    if (main == kPx4Auto && sub == kPx4Loiter)
        return "AUTO_LOITER";
    for (const auto& m : kModes)
        if (m.main == main && m.sub == sub)
            return m.name;
    return "mode " + std::to_string(main) + "/" + std::to_string(sub);
}

uint8_t landedState(const FleetReadModel::VehicleState& s)
{
    if (!s.telemetryKnown)
        return mav::kLandedUndefined;
    if (!inAir(s))
        return mav::kLandedOnGround;
    if (s.flightMode == 8)
        return mav::kLandedTakeoff;
    if (s.flightMode == 9)
        return mav::kLandedLanding;
    return mav::kLandedInAir;
}

// The bind address an option names; nothing when it names none.
std::optional<QHostAddress> bindAddressOf(const QString& text)
{
    if (text.isEmpty() || text == QLatin1String("localhost"))
        return QHostAddress(QHostAddress::LocalHost);
    QHostAddress a;
    if (!a.setAddress(text))
        return std::nullopt;
    return a;
}

bool isStreamCommand(uint16_t c)
{
    return c == mav::kCmdSetMessageInterval || c == mav::kCmdRequestMessage || c == mav::kCmdGetHomePosition ||
           c == mav::kCmdRequestAutopilotCapabilities;
}

}  // namespace

MavlinkBridge::MavlinkBridge(svc::StationPort* station, Options options, QObject* parent)
    : QObject(parent)
    , m_station(station)
    , m_options(std::move(options))
{
    m_links.setSigningKey(m_options.signingKey);
    m_links.setHandler([this](const Frame& frame, const MavlinkPeer& peer) { handleFrame(frame, peer); });
    m_timer.setParent(this);  // names its owner in the main loop's stall log
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &MavlinkBridge::tick);
}

MavlinkBridge::~MavlinkBridge()
{
    stop();
}

std::optional<SigningKey> MavlinkBridge::readKeyFile(const QString& path, QString* error)
{
    auto fail = [&](const QString& why) -> std::optional<SigningKey> {
        if (error)
            *error = QStringLiteral("--mavlink-signing-key %1: %2").arg(path, why);
        return std::nullopt;
    };
    QFileInfo info(path);
    if (!info.isFile())
        return fail(QStringLiteral("not a regular file"));
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                        QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (info.permissions() & others)
        return fail(QStringLiteral("readable by others; make it mode 0600"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const QByteArray bytes = file.read(33);
    if (bytes.size() != 32)
        return fail(QStringLiteral("a key is exactly 32 bytes"));
    SigningKey key{};
    std::memcpy(key.data(), bytes.constData(), key.size());
    return key;
}

QString MavlinkBridge::checkOptions(const Options& options)
{
    const auto bind = bindAddressOf(options.bindAddress);
    if (!bind)
        return QStringLiteral("--mavlink-bind %1: not an IP address (or localhost)").arg(options.bindAddress);
    if (options.control && !options.signingKey && !bind->isLoopback())
        return QStringLiteral("--mavlink-control with --mavlink-bind %1 would let anyone who reaches that address "
                              "command the vehicles; give --mavlink-signing-key too, or bind 127.0.0.1")
            .arg(options.bindAddress);
    return {};
}

bool MavlinkBridge::start(QString* error)
{
    if (const QString why = checkOptions(m_options); !why.isEmpty()) {
        spdlog::error("<mavlink> bridge not started: {}", why.toStdString());
        if (error)
            *error = why;
        return false;
    }
    m_links.setBindAddress(*bindAddressOf(m_options.bindAddress));
    m_links.setTcpQuietMs(m_options.tcpQuietMs);
    QString replayFile = m_options.replayStateFile;
    if (replayFile.isEmpty() && !GcsSettings::getInstance()->userDataPath().isEmpty())
        replayFile = GcsSettings::getInstance()->userDataPath() + QStringLiteral("/mavlink_replay.json");
    m_links.setReplayStateFile(replayFile);
    QString portsFile = m_options.portsStateFile;
    if (portsFile.isEmpty() && !GcsSettings::getInstance()->userDataPath().isEmpty())
        portsFile = GcsSettings::getInstance()->userDataPath() + QStringLiteral("/mavlink_ports.json");
    m_links.setPortsStateFile(portsFile);
    m_links.setSinkClosed([this](const MavlinkSink& sink) { m_sinkRates.erase(sink); });
    if (!m_links.open(m_options.endpoints, error)) {
        spdlog::error("<mavlink> {}", error ? error->toStdString() : std::string("a link could not be opened"));
        return false;
    }
    m_clock.start();
    m_missions = std::make_unique<MavlinkMissionServer>(*this);
    m_params = std::make_unique<MavlinkParamServer>(*this);
    if (auto* mvm = m_station->vehicles()) {
        m_connections.push_back(connect(mvm, &MultiVehicleManager::vehicleJoined, this, [this] { syncVehicles(); }));
        m_connections.push_back(connect(mvm, &MultiVehicleManager::vehicleLeft, this, [this] { syncVehicles(); }));
    }
    syncVehicles();
    m_timer.start();
    spdlog::info("<mavlink> bridge started: {} link(s), {}, {}", m_options.endpoints.size(),
                 m_options.control ? "commands allowed" : "read-only", m_options.signingKey ? "signed" : "unsigned");
    return true;
}

void MavlinkBridge::stop()
{
    m_timer.stop();
    for (auto& c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_missions.reset();
    m_params.reset();
    m_vehicles.clear();
    m_links.close();
}

void MavlinkBridge::syncVehicles()
{
    auto* mvm = m_station->vehicles();
    std::set<uint8_t> present;
    if (mvm) {
        for (const auto& v : mvm->vehicleList()) {
            if (!v->isLocal() || v->vehicleId() < 1 || v->vehicleId() > 254)
                continue;
            present.insert(uint8_t(v->vehicleId()));
            auto it = m_vehicles.find(uint8_t(v->vehicleId()));
            if (it == m_vehicles.end() || it->second.vehicle.lock() != v)
                addVehicle(v);
        }
    }
    for (auto it = m_vehicles.begin(); it != m_vehicles.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        spdlog::info("<mavlink> vehicle {} left: system {} no longer sent", it->first, it->first);
        if (m_missions)
            m_missions->vehicleLeft(it->first);
        it = m_vehicles.erase(it);
    }
}

void MavlinkBridge::addVehicle(const std::shared_ptr<VehicleController>& vehicle)
{
    const auto sysid = uint8_t(vehicle->vehicleId());
    VehicleEntry& e = m_vehicles[sysid];
    e = VehicleEntry{};
    e.vehicle = vehicle;
    e.sysid = sysid;
    const int64_t now = m_clock.elapsed();
    for (int s = 0; s < kStreamCount; ++s) {
        e.intervalMs[s] = defaultIntervalMs(Stream(s));
        // Spread the vehicles over the interval, so the ticks carry an even load.
        e.due[s] = now + (int64_t(sysid) * 37) % e.intervalMs[s];
    }
    if (const auto alerts = vehicle->alertCtrler()) {
        for (const auto& a : alerts->activeAlerts())
            e.activeAlerts.insert(a.key);
        m_connections.push_back(
            connect(alerts.get(), &VehicleAlertController::alertChanged, this, [this, sysid](const VehicleAlert& a) {
                auto it = m_vehicles.find(sysid);
                if (it != m_vehicles.end())
                    sendAlert(it->second, a);
            }));
    }
    if (const auto tele = vehicle->teleCtrler()) {
        const MavTeleBaseDataItem* position = tele->posDataItem().get();
        const MavTeleBaseDataItem* attitude = tele->ahrsDataItem().get();
        m_connections.push_back(
            connect(tele.get(), &MavTelemetryController::teleDataChanged, this,
                    [this, sysid, position, attitude](const std::shared_ptr<MavTeleBaseDataItem>& item, int) {
                        if (item.get() == position)
                            sendSample(sysid, GlobalPosition);
                        else if (item.get() == attitude)
                            sendSample(sysid, Attitude);
                    }));
    }
    spdlog::info("<mavlink> vehicle {} bridged as system {}", vehicle->vehicleId(), sysid);
}

void MavlinkBridge::sendSample(uint8_t sysid, Stream stream)
{
    const auto it = m_vehicles.find(sysid);
    if (it == m_vehicles.end() || !m_timer.isActive())
        return;
    VehicleEntry& e = it->second;
    const int64_t now = m_clock.elapsed();
    if (e.intervalMs[stream] <= 0 || now - e.lastSentMs[stream] < kMinIntervalMs)
        return;
    const auto vehicle = e.vehicle.lock();
    if (!vehicle || !vehicle->alive())
        return;
    sendStream(e, stream, FleetReadModel::vehicleState(*vehicle));
    e.lastSentMs[stream] = now;
    e.due[stream] = now + e.intervalMs[stream];  // the schedule repeats it only if samples stop
}

int MavlinkBridge::defaultIntervalMs(Stream s)
{
    switch (s) {
    case Heartbeat: return 1000;
    case SysStatus: return 1000;
    case GpsRaw: return 500;
    case GlobalPosition: return 250;
    case Attitude: return 250;
    case VfrHud: return 500;
    case Home: return 5000;
    case ExtSysState: return 500;
    case MissionProgress: return 1000;
    case ModeNow: return 1000;
    case Battery: return 1000;
    case kStreamCount: break;
    }
    return 1000;
}

MavlinkBridge::Stream MavlinkBridge::streamOf(uint32_t msgid, bool& known)
{
    known = true;
    switch (msgid) {
    case kHeartbeat: return Heartbeat;
    case kSysStatus: return SysStatus;
    case kGpsRawInt: return GpsRaw;
    case kGlobalPositionInt: return GlobalPosition;
    case kAttitude: return Attitude;
    case kVfrHud: return VfrHud;
    case kHomePosition: return Home;
    case kExtendedSysState: return ExtSysState;
    case kMissionCurrent: return MissionProgress;
    case kCurrentMode: return ModeNow;
    case kBatteryStatus: return Battery;
    }
    known = false;
    return kStreamCount;
}

void MavlinkBridge::tick()
{
    const int64_t now = m_clock.elapsed();
    // A tick's frames for every vehicle leave in batches, not one system call each.
    m_links.beginBurst();
    const auto flush = qScopeGuard([this] { m_links.endBurst(); });
    int airframeReads = 0;
    for (auto& [sysid, e] : m_vehicles) {
        OstMainLoopGate::instance().pass();
        const auto vehicle = e.vehicle.lock();
        if (!vehicle || !vehicle->alive())
            continue;
        if (!e.airframeAsked && airframeReads < kAirframeReadsPerTick) {
            e.airframeAsked = true;
            ++airframeReads;
            const auto params = vehicle->paramsCtrler();
            if (params && !params->basicParamsKnown())
                if (const auto read = services().params().read(vehicle, "basic", "mavlink.airframe"); !read.ok())
                    spdlog::debug("<mavlink> vehicle {}: airframe not read: {}", sysid, read.status.message);
        }
        // Read once a tick, whatever number of streams fall due.
        std::optional<FleetReadModel::VehicleState> state;
        for (int s = 0; s < kStreamCount; ++s) {
            if (e.intervalMs[s] <= 0 || now < e.due[s])
                continue;
            if (!state)
                state = FleetReadModel::vehicleState(*vehicle);
            sendStream(e, Stream(s), *state);
            e.lastSentMs[s] = now;
            e.due[s] += e.intervalMs[s];
            if (e.due[s] <= now)
                e.due[s] = now + e.intervalMs[s];
        }
    }
    sendSinkRates(now);
    pollCommands();
    if (m_missions)
        m_missions->tick(now);
    if (m_params)
        m_params->tick(now);
    for (auto it = m_groundStations.begin(); it != m_groundStations.end();)
        it =
            now - it->second.lastHeardMs > m_options.groundStationExpiryMs ? m_groundStations.erase(it) : std::next(it);
}

void MavlinkBridge::sendSinkRates(int64_t now)
{
    for (auto& [sink, rates] : m_sinkRates) {
        for (auto& [key, rate] : rates) {
            if (rate.intervalMs <= 0 || now < rate.due)
                continue;
            rate.due += rate.intervalMs;
            if (rate.due <= now)
                rate.due = now + rate.intervalMs;
            auto e = m_vehicles.find(key.first);
            if (e == m_vehicles.end())
                continue;
            const auto vehicle = e->second.vehicle.lock();
            if (!vehicle || !vehicle->alive())
                continue;
            sendStream(e->second, Stream(key.second), FleetReadModel::vehicleState(*vehicle), &sink);
        }
    }
}

void MavlinkBridge::sendStream(VehicleEntry& e, Stream stream, const FleetReadModel::VehicleState& s,
                               const MavlinkSink* only)
{
    const RateKey key{e.sysid, int(stream)};
    auto out = [&](const auto& m) {
        if (only)
            m_links.sendTo(*only, m, e.sysid, 1);
        else if (m_sinkRates.empty())
            m_links.broadcast(m, e.sysid, 1);
        else
            m_links.broadcast(m, e.sysid, 1, [&](const MavlinkSink& sink) {
                const auto it = m_sinkRates.find(sink);
                return it != m_sinkRates.end() && it->second.count(key);
            });
    };
    const auto bootMs = uint32_t(m_clock.elapsed());
    const double groundSpeed = std::hypot(double(s.northSpd), double(s.eastSpd));
    switch (stream) {
    case Heartbeat: {
        mavlink::Heartbeat m;
        m.type = mavType(s.airframe);
        m.autopilot = mav::kAutopilotPx4;
        m.baseMode = mav::kModeFlagCustomModeEnabled | (s.armed ? mav::kModeFlagSafetyArmed : 0);
        m.customMode = customModeOf(s);
        m.systemStatus = s.worstAlertLevel == 3 ? mav::kStateCritical
                         : inAir(s)             ? mav::kStateActive
                                                : mav::kStateStandby;
        out(m);
        break;
    }
    case SysStatus: {
        mavlink::SysStatus m;
        if (s.telemetryKnown)
            m.voltageBattery = uint16_t(std::clamp(double(s.fcuVol) * 1000.0, 0.0, 65534.0));
        m.batteryRemaining = int8_t(FleetReadModel::batteryPercent(s));
        sensorHealth(s, m);
        out(m);
        break;
    }
    case GpsRaw: {
        GpsRawInt m;
        m.timeUsec = uint64_t(bootMs) * 1000;
        m.lat = int32_t(std::llround(s.lat * 1e7));
        m.lon = int32_t(std::llround(s.lon * 1e7));
        m.alt = int32_t(std::llround(s.alt * 1000));
        if (s.hdop >= 0)
            m.eph = uint16_t(std::clamp(double(s.hdop) * 100.0, 0.0, 65534.0));
        m.vel = uint16_t(std::clamp(groundSpeed * 100.0, 0.0, 65534.0));
        if (groundSpeed > 0.2)
            m.cog = uint16_t(std::lround(wrap360(std::atan2(s.eastSpd, s.northSpd) / kDegToRad) * 100) % 36000);
        static const uint8_t fix[] = {mav::kFixNone, mav::kFix3d, mav::kFixDgps, mav::kFixRtkFixed};
        m.fixType = s.positionState >= 0 && s.positionState <= 3 ? fix[s.positionState] : mav::kFix3d;
        m.satellitesVisible = uint8_t(std::clamp(s.satellites, 0, 254));
        out(m);
        break;
    }
    case GlobalPosition: {
        if (!s.telemetryKnown || s.positionState <= 0 || (s.lat == 0 && s.lon == 0))
            break;  // no fix: no position rather than 0,0
        GlobalPositionInt m;
        m.timeBootMs = bootMs;
        m.lat = int32_t(std::llround(s.lat * 1e7));
        m.lon = int32_t(std::llround(s.lon * 1e7));
        m.alt = int32_t(std::llround(s.alt * 1000));
        m.relativeAlt = m.alt;
        m.vx = int16_t(std::clamp(std::lround(s.northSpd * 100.0), -32767L, 32767L));
        m.vy = int16_t(std::clamp(std::lround(s.eastSpd * 100.0), -32767L, 32767L));
        m.vz = int16_t(std::clamp(std::lround(-s.upSpd * 100.0), -32767L, 32767L));
        m.hdg = uint16_t(std::lround(wrap360(s.yaw) * 100) % 36000);
        out(m);
        break;
    }
    case Attitude: {
        mavlink::Attitude m;
        m.timeBootMs = bootMs;
        m.roll = float(s.roll * kDegToRad);
        m.pitch = float(s.pitch * kDegToRad);
        m.yaw = wrapPi(float(s.yaw * kDegToRad));
        m.rollSpeed = float(s.rollRate * kDegToRad);
        m.pitchSpeed = float(s.pitchRate * kDegToRad);
        m.yawSpeed = float(s.yawRate * kDegToRad);
        out(m);
        break;
    }
    case VfrHud: {
        mavlink::VfrHud m;
        m.groundspeed = float(groundSpeed);
        m.alt = float(s.alt);
        m.climb = s.upSpd;
        m.heading = int16_t(std::lround(wrap360(s.yaw)) % 360);
        out(m);
        break;
    }
    case ExtSysState: {
        ExtendedSysState m;
        m.landedState = landedState(s);
        out(m);
        break;
    }
    case MissionProgress:
        if (m_missions)
            out(m_missions->current(e.sysid));
        break;
    case Battery: {
        // The pack as the vehicle reports it: its voltage, its state, and the charge where the
        // vehicle's cell count and critical level are known.
        if (!s.telemetryKnown)
            break;
        BatteryStatus m;
        m.voltages[0] = uint16_t(std::clamp(double(s.fcuVol) * 1000.0, 0.0, 65534.0));
        m.batteryFunction = mav::kBatteryFunctionAll;
        m.type = s.batteryCells > 0 ? mav::kBatteryTypeLipo : 0;
        m.batteryRemaining = int8_t(FleetReadModel::batteryPercent(s));
        if (s.statusKnown)
            m.chargeState = s.batteryState == 2   ? mav::kChargeCritical
                            : s.batteryState == 1 ? mav::kChargeLow
                                                  : mav::kChargeOk;
        out(m);
        break;
    }
    case ModeNow: {
        CurrentMode m;
        m.customMode = customModeOf(s);
        m.intendedCustomMode = m.customMode;
        m.standardMode = standardModeOf(s);
        out(m);
        break;
    }
    case Home: {
        if (s.homeLat == 0 && s.homeLon == 0)
            break;  // not known yet: no home at 0,0
        HomePosition m;
        m.latitude = int32_t(std::llround(s.homeLat * 1e7));
        m.longitude = int32_t(std::llround(s.homeLon * 1e7));
        m.timeUsec = uint64_t(bootMs) * 1000;
        out(m);
        break;
    }
    case kStreamCount: break;
    }
}

void MavlinkBridge::sendAlert(VehicleEntry& e, const VehicleAlert& alert)
{
    if (alert.state != VehicleAlertState::Active) {
        e.activeAlerts.erase(alert.key);
        return;
    }
    if (!e.activeAlerts.insert(alert.key).second)
        return;  // still the same alert, with a new value
    sendText(e.sysid,
             alert.level == VehicleAlertLevel::Critical  ? mav::kSeverityCritical
             : alert.level == VehicleAlertLevel::Warning ? mav::kSeverityWarning
                                                         : mav::kSeverityInfo,
             FleetReadModel::alertMessage(alert));
}

// A text of 50 bytes or more goes in chunks sharing an id (MAVLink 2; a client joins their bytes,
// so a UTF-8 sequence may span two); a chunk shorter than 50 bytes ends it. 400 bytes at most.
void MavlinkBridge::sendText(uint8_t sysid, uint8_t severity, const std::string& text, const MavlinkPeer* to)
{
    constexpr size_t kChunk = sizeof(StatusText::text);
    constexpr uint8_t kMaxChunks = 8;
    const uint16_t id = text.size() < kChunk ? 0 : uint16_t(m_nextTextId++ % 65535 + 1);
    size_t at = 0;
    for (uint8_t chunk = 0; chunk < kMaxChunks; ++chunk) {
        StatusText m;
        m.severity = severity;
        m.id = id;
        m.chunkSeq = chunk;
        const size_t n = id ? std::min(kChunk, text.size() - at) : utf8Prefix(text, kChunk);
        std::memcpy(m.text, text.data() + at, n);
        at += n;
        if (to)
            m_links.reply(*to, m, sysid, 1);
        else
            m_links.broadcast(m, sysid, 1);
        if (n < kChunk)
            break;
    }
}

MavlinkBridge::VehicleEntry* MavlinkBridge::entryFor(uint8_t sysid)
{
    auto it = m_vehicles.find(sysid);
    return it == m_vehicles.end() ? nullptr : &it->second;
}

void MavlinkBridge::countUnknownTarget(const Frame& frame)
{
    ++m_droppedUnknownTarget;
    spdlog::debug("<mavlink> message {} from system {} for an unknown system dropped", frame.msgid, frame.sysid);
}

svc::VehicleServices& MavlinkBridge::services() const
{
    return *m_station->services();
}

void MavlinkBridge::noteGroundStation(const Frame& frame, const MavlinkPeer& peer)
{
    const QString address = peer.address.toString() + ':' + QString::number(peer.port);
    const auto key = std::make_pair(frame.sysid, address);
    auto it = m_groundStations.find(key);
    if (it == m_groundStations.end()) {
        if (m_groundStations.size() >= kMaxGroundStations) {
            const auto oldest =
                std::min_element(m_groundStations.begin(), m_groundStations.end(), [](const auto& a, const auto& b) {
                    return a.second.lastHeardMs < b.second.lastHeardMs;
                });
            m_groundStations.erase(oldest);
            if (m_groundStationsDropped++ == 0)
                spdlog::warn("<mavlink> more than {} ground stations heard; the least recently heard are forgotten",
                             kMaxGroundStations);
        }
        it = m_groundStations.emplace(key, GroundStation{}).first;
        it->second.address = address;
        // A ground station that joins late still hears what is wrong now.
        for (auto& [sysid, e] : m_vehicles)
            if (const auto v = e.vehicle.lock(); v && v->alertCtrler())
                for (const auto& a : v->alertCtrler()->activeAlerts())
                    sendText(sysid,
                             a.level == VehicleAlertLevel::Critical  ? mav::kSeverityCritical
                             : a.level == VehicleAlertLevel::Warning ? mav::kSeverityWarning
                                                                     : mav::kSeverityInfo,
                             FleetReadModel::alertMessage(a), &peer);
    }
    GroundStation& gcs = it->second;
    gcs.lastHeardMs = m_clock.elapsed();
    ++gcs.messages;
    if (frame.msgid == kHeartbeat)
        gcs.lastHeartbeatMs = QDateTime::currentMSecsSinceEpoch();
}

void MavlinkBridge::handleFrame(const Frame& frame, const MavlinkPeer& peer)
{
    noteGroundStation(frame, peer);
    if (frame.msgid == kHeartbeat)
        return;
    if (frame.msgid == kCommandLong) {
        const auto m = frame.as<CommandLong>();
        handleCommand(frame, peer, m.command, m.param, m.confirmation, m.targetSystem);
        return;
    }
    if (frame.msgid == kTimesync) {
        const auto m = frame.as<Timesync>();
        if (m.tc1 != 0 || m_vehicles.empty())
            return;  // an answer, or nobody to answer for
        // As the system asked, or the first vehicle for a broadcast (one answer, not one per vehicle).
        const uint8_t as = entryFor(m.targetSystem) ? m.targetSystem : m_vehicles.begin()->first;
        Timesync a;
        a.tc1 = m_clock.nsecsElapsed() + 1;
        a.ts1 = m.ts1;
        a.targetSystem = frame.sysid;
        a.targetComponent = frame.compid;
        m_links.reply(peer, a, as, 1);
        return;
    }
    if (frame.msgid == kSetMode) {
        const auto m = frame.as<SetMode>();
        const float params[7] = {
            float(m.baseMode), float((m.customMode >> 16) & 0xFF), float((m.customMode >> 24) & 0xFF), 0, 0, 0, 0};
        handleCommand(frame, peer, mav::kCmdDoSetMode, params, 0, m.targetSystem);
        return;
    }
    if (frame.msgid == kCommandInt) {
        const auto m = frame.as<CommandInt>();
        const float params[7] = {m.param1, m.param2, m.param3, m.param4, float(m.x), float(m.y), m.z};
        // COMMAND_INT has no confirmation: a repeat of a pending one is taken as a resend.
        handleCommand(frame, peer, m.command, params, 1, m.targetSystem);
        return;
    }
    if (m_params && m_params->handle(frame, peer))
        return;
    if (m_missions)
        m_missions->handle(frame, peer);
}

void MavlinkBridge::ackCommand(const MavlinkPeer& peer, uint8_t sysid, uint16_t command, uint8_t result, int32_t param2,
                               uint8_t gcsSystem, uint8_t gcsComponent)
{
    CommandAck a;
    a.command = command;
    a.result = result;
    a.resultParam2 = param2;
    a.targetSystem = gcsSystem;
    a.targetComponent = gcsComponent;
    m_links.reply(peer, a, sysid, 1);
    if (result != mav::kResultInProgress)
        ++m_commandResults[commandResultName(result)];
}

void MavlinkBridge::handleCommand(const Frame& frame, const MavlinkPeer& peer, uint16_t command, const float* params,
                                  uint8_t confirmation, uint8_t targetSystem)
{
    VehicleEntry* e = entryFor(targetSystem);
    if (!e) {
        countUnknownTarget(frame);
        return;
    }
    auto ack = [&](uint8_t result, int32_t param2 = 0) {
        ackCommand(peer, targetSystem, command, result, param2, frame.sysid, frame.compid);
    };
    if (isStreamCommand(command)) {
        ack(*requestStream(*e, command, params, peer));
        return;
    }
    if (!isVehicleCommand(command)) {
        spdlog::info("<mavlink> vehicle {}: command {} from system {} is not supported", targetSystem, command,
                     frame.sysid);
        ack(mav::kResultUnsupported);
        return;
    }
    for (const auto& p : m_pending)
        if (p.sysid == targetSystem && p.command == command && confirmation > 0) {
            spdlog::debug("<mavlink> vehicle {}: command {} repeated while pending, not sent again", targetSystem,
                          command);
            return;
        }
    if (!m_options.control) {
        spdlog::info("<mavlink> vehicle {}: command {} from system {} denied: the bridge is read-only", targetSystem,
                     command, frame.sysid);
        ack(mav::kResultDenied);
        return;
    }
    uint8_t result = mav::kResultDenied;
    std::string why;
    const auto requestId = sendControl(*e, command, params, result, why);
    if (!requestId) {
        if (!why.empty()) {
            spdlog::info("<mavlink> vehicle {}: command {} from system {}: {}", targetSystem, command, frame.sysid,
                         why);
            sendText(targetSystem, mav::kSeverityWarning, why, &peer);
        }
        ack(result);
        return;
    }
    PendingCommand p;
    p.sysid = targetSystem;
    p.command = command;
    p.requestId = *requestId;
    p.peer = peer;
    p.gcsSystem = frame.sysid;
    p.gcsComponent = frame.compid;
    p.age.start();
    m_pending.push_back(p);
    spdlog::info("<mavlink> vehicle {}: command {} from system {} sent, requestId {}", targetSystem, command,
                 frame.sysid, p.requestId);
}

std::optional<uint8_t> MavlinkBridge::requestStream(VehicleEntry& e, uint16_t command, const float* params,
                                                    const MavlinkPeer& peer)
{
    const MavlinkSink sink = peer.sink();
    const auto vehicle = e.vehicle.lock();
    if (!vehicle)
        return mav::kResultFailed;
    auto sendNow = [&](uint32_t msgid) -> uint8_t {
        if (msgid == kSystemTime) {
            SystemTime m;
            m.timeUnixUsec = uint64_t(QDateTime::currentMSecsSinceEpoch()) * 1000;
            m.timeBootMs = uint32_t(m_clock.elapsed());
            m_links.sendTo(sink, m, e.sysid, 1);
            return mav::kResultAccepted;
        }
        if (msgid == kProtocolVersion) {
            m_links.sendTo(sink, ProtocolVersion{}, e.sysid, 1);
            return mav::kResultAccepted;
        }
        if (msgid == kAutopilotVersion) {
            AutopilotVersion m;
            m.capabilities = mav::kCapMissionInt | mav::kCapCommandInt | mav::kCapMavlink2 | mav::kCapMissionFence |
                             mav::kCapParamEncodeBytewise;
            // The vehicle's code names it across stations; 0 (unknown) before it was read.
            const std::string code = vehicle->vehicleCode().toStdString();
            uint64_t hash = 1469598103934665603ull;
            for (const char c : code)
                hash = (hash ^ uint8_t(c)) * 1099511628211ull;
            m.uid = code.empty() ? 0 : hash;
            std::memcpy(m.uid2, code.data(), std::min(code.size(), sizeof(m.uid2)));
            // Firmware "major.minor.patch" in the declared family's layout (release type 255).
            if (const auto basic = services().params().values(vehicle, "basic");
                basic.ok() && basic.value.firmwareVersion) {
                int v[3] = {0, 0, 0};
                const std::string& text = *basic.value.firmwareVersion;
                const size_t at = text.find_first_of("0123456789");
                if (at != std::string::npos && std::sscanf(text.c_str() + at, "%d.%d.%d", &v[0], &v[1], &v[2]) >= 1)
                    m.flightSwVersion = uint32_t(std::clamp(v[0], 0, 255)) << 24 |
                                        uint32_t(std::clamp(v[1], 0, 255)) << 16 |
                                        uint32_t(std::clamp(v[2], 0, 255)) << 8 | 0xFF;
            }
            m_links.sendTo(sink, m, e.sysid, 1);
            return mav::kResultAccepted;
        }
        bool known = false;
        const Stream s = streamOf(msgid, known);
        if (!known)
            return mav::kResultUnsupported;
        sendStream(e, s, FleetReadModel::vehicleState(*vehicle), &sink);
        return mav::kResultAccepted;
    };
    switch (command) {
    case mav::kCmdRequestAutopilotCapabilities: return sendNow(kAutopilotVersion);
    case mav::kCmdGetHomePosition: return sendNow(kHomePosition);
    case mav::kCmdRequestMessage:
        if (!std::isfinite(params[0]) || params[0] < 0)
            return mav::kResultDenied;
        if (uint32_t(params[0]) == kAvailableModes) {
            // param2: 0 every mode, else the one of that index (1-based).
            const int wanted = std::isfinite(params[1]) ? int(params[1]) : 0;
            const int count = int(std::size(kModeList));
            if (wanted < 0 || wanted > count)
                return mav::kResultDenied;
            for (int i = 0; i < count; ++i) {
                if (wanted && wanted != i + 1)
                    continue;
                const auto& mode = kModeList[i];
                AvailableModes m;
                m.customMode = px4Mode(mode.main, mode.sub);
                m.properties = mode.selectable ? mav::kModePropertyAutoMode : mav::kModePropertyNotUserSelectable;
                m.numberModes = uint8_t(count);
                m.modeIndex = uint8_t(i + 1);
                m.standardMode = mode.standard;
                std::memcpy(m.modeName, mode.name, std::min(std::strlen(mode.name), sizeof m.modeName));
                m_links.sendTo(sink, m, e.sysid, 1);
            }
            return mav::kResultAccepted;
        }
        return sendNow(uint32_t(params[0]));
    case mav::kCmdSetMessageInterval: {
        bool known = false;
        const Stream s = std::isfinite(params[0]) ? streamOf(uint32_t(params[0]), known) : kStreamCount;
        if (!known)
            return mav::kResultUnsupported;
        const float us = params[1];
        if (!std::isfinite(us))
            return mav::kResultDenied;
        const RateKey key{e.sysid, int(s)};
        if (us == 0) {  // back to the default
            if (auto it = m_sinkRates.find(sink); it != m_sinkRates.end()) {
                it->second.erase(key);
                if (it->second.empty())
                    m_sinkRates.erase(it);
            }
            return mav::kResultAccepted;
        }
        const int ms = us < 0 ? 0 : int(std::clamp(double(us) / 1000.0, double(kMinIntervalMs), 3600e3));
        if (s == Heartbeat && (ms == 0 || ms > defaultIntervalMs(Heartbeat))) {
            spdlog::info("<mavlink> vehicle {}: heartbeat interval {} us refused: it is never slowed or stopped",
                         e.sysid, us);
            return mav::kResultDenied;
        }
        SinkRate& rate = m_sinkRates[sink][key];
        rate.intervalMs = ms;
        rate.due = m_clock.elapsed() + ms;
        return mav::kResultAccepted;
    }
    }
    return mav::kResultUnsupported;
}

std::optional<int64_t> MavlinkBridge::setMode(VehicleEntry& e, uint8_t main, uint8_t sub, uint8_t& result,
                                              std::string& why)
{
    const auto vehicle = e.vehicle.lock();
    if (!vehicle)
        return std::nullopt;
    const auto s = FleetReadModel::vehicleState(*vehicle);
    const std::string name = modeName(main, sub);
    if (s.telemetryKnown && customModeOf(s) == px4Mode(main, sub)) {
        result = mav::kResultAccepted;  // already there
        return std::nullopt;
    }
    const float none[7] = {0, 0, 0, 0, 0, 0, std::numeric_limits<float>::quiet_NaN()};
    const float pause[7] = {0, 0, 0, 0, 0, 0, 0};
    const float resume[7] = {1, 0, 0, 0, 0, 0, 0};
    if (main == kPx4Auto) {
        switch (sub) {
        case kPx4Takeoff: return sendControl(e, mav::kCmdNavTakeoff, none, result, why);
        case kPx4Land: return sendControl(e, mav::kCmdNavLand, none, result, why);
        case kPx4Rtl: return sendControl(e, mav::kCmdNavReturnToLaunch, none, result, why);
        case kPx4Loiter:
            if (!inAir(s)) {
                why = "Vehicle " + std::to_string(e.sysid) + " is on the ground: nothing to hold";
                return std::nullopt;
            }
            return sendControl(e, mav::kCmdDoPauseContinue, pause, result, why);
        case kPx4Mission:
            // In the air a held route resumes; on the ground the uploaded route starts.
            return inAir(s) ? sendControl(e, mav::kCmdDoPauseContinue, resume, result, why)
                            : sendControl(e, mav::kCmdMissionStart, none, result, why);
        }
    }
    why = "Vehicle " + std::to_string(e.sysid) + " cannot be switched to " + name +
          " by the station; it can: AUTO_TAKEOFF, AUTO_LOITER (hold), AUTO_MISSION, AUTO_RTL, AUTO_LAND";
    return std::nullopt;
}

std::optional<int64_t> MavlinkBridge::sendControl(VehicleEntry& e, uint16_t command, const float* params,
                                                  uint8_t& result, std::string& why)
{
    const auto vehicle = e.vehicle.lock();
    if (!vehicle)
        return std::nullopt;
    const auto s = FleetReadModel::vehicleState(*vehicle);
    const std::string name = "Vehicle " + std::to_string(e.sysid);
    svc::FlightCommand c;
    switch (command) {
    case mav::kCmdDoSetMode:
        if (!std::isfinite(params[0]) || !(int(params[0]) & mav::kModeFlagCustomModeEnabled) ||
            !std::isfinite(params[1]) || !std::isfinite(params[2])) {
            why = "Modes are set as PX4 custom modes (base mode with CUSTOM_MODE_ENABLED, main and sub mode)";
            return std::nullopt;
        }
        return setMode(e, uint8_t(params[1]), uint8_t(params[2]), result, why);
    case mav::kCmdComponentArmDisarm:
        if (params[0] == 1 && s.armed) {
            result = mav::kResultAccepted;
            return std::nullopt;
        }
        if (params[0] == 0 && s.telemetryKnown && !s.armed) {
            result = mav::kResultAccepted;
            return std::nullopt;
        }
        why = params[0] == 1 ? name + " arms itself on take-off: send NAV_TAKEOFF (or mode AUTO_TAKEOFF) instead"
              : inAir(s)     ? name + " is flying: land it (NAV_LAND) to disarm"
                             : name + " disarms itself after landing; the station has no disarm command";
        return std::nullopt;
    case mav::kCmdDoReposition:
        why = "The station cannot fly a vehicle to a point on command: upload a route and start it";
        return std::nullopt;
    case mav::kCmdDoChangeSpeed:
        why = "Speeds are set per waypoint: upload a route with DO_CHANGE_SPEED items";
        return std::nullopt;
    case mav::kCmdDoSetMissionCurrent: why = kNoSetCurrent; return std::nullopt;
    case mav::kCmdDoSetStandardMode:
        for (const auto& m : kModeList)
            if (m.selectable && std::isfinite(params[0]) && m.standard == uint8_t(params[0]) && m.standard)
                return setMode(e, m.main, m.sub, result, why);
        why = "Vehicle " + std::to_string(e.sysid) +
              " cannot be switched to that standard mode by the station; it can: takeoff, position hold, mission, "
              "safe recovery (return), land";
        return std::nullopt;
    case mav::kCmdNavTakeoff: {
        // NaN: the vehicle's default take-off height (the protocol's meaning of NaN).
        const float alt = std::isnan(params[6]) ? kDefaultTakeoffAltM : params[6];
        if (!std::isfinite(alt) || alt < 0 || alt > 65535) {
            why = "Take-off altitude " + std::to_string(alt) + " is not a height in m";
            return std::nullopt;
        }
        float speed = kTakeoffSpeed;
        if (s.maxVerSpeed > 0)
            speed = std::min(speed, s.maxVerSpeed);
        c.action = svc::FlightAction::Takeoff;
        c.takeoffAltM = uint16_t(std::lround(alt));
        c.climbSpeedMps = uint8_t(std::max(1, int(std::lround(speed))));
        break;
    }
    case mav::kCmdNavLand: c.action = svc::FlightAction::Land; break;
    case mav::kCmdNavReturnToLaunch:
        if (s.homeLat == 0 && s.homeLon == 0) {
            why = name + " cannot return: its home position is not known";
            return std::nullopt;
        }
        c.action = svc::FlightAction::ReturnHome;
        c.lat = s.homeLat;
        c.lon = s.homeLon;
        c.altM = s.returnAltitude > 0 ? double(s.returnAltitude) : std::max(s.alt, kMinReturnAltitude);
        break;
    case mav::kCmdMissionStart: {
        const auto started = services().missions().start(vehicle);
        if (!started.ok()) {
            why = started.status.message;
            return std::nullopt;
        }
        return started.value.requestId;
    }
    case mav::kCmdDoPauseContinue:
        if (params[0] == 0)
            c.action = svc::FlightAction::Suspend;
        else if (params[0] == 1)
            c.action = svc::FlightAction::Resume;
        else {
            why = "DO_PAUSE_CONTINUE takes 0 (hold) or 1 (continue)";
            return std::nullopt;
        }
        break;
    default: result = mav::kResultUnsupported; return std::nullopt;
    }
    const auto sent = services().commands().send(vehicle, c);
    if (!sent.ok()) {
        why = sent.status.message;
        return std::nullopt;
    }
    return sent.value.requestId;
}

void MavlinkBridge::pollCommands()
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        PendingCommand& p = *it;
        const auto outcome = services().commands().outcome(p.requestId);
        using State = svc::CommandOutcome::State;
        uint8_t result = 0;
        int32_t param2 = 0;
        bool done = true;
        if (!outcome || outcome->state == State::TimedOut || p.age.elapsed() > kCommandGiveUpMs) {
            result = mav::kResultFailed;
        } else if (outcome->state == State::Done) {
            const int code = outcome->results.empty() ? 0 : outcome->results[0].code;
            result = code == 0 ? mav::kResultAccepted : mav::kResultDenied;
            param2 = code;
        } else {
            done = false;
            if (!p.progressSent && p.age.elapsed() > kProgressAfterMs) {
                ackCommand(p.peer, p.sysid, p.command, mav::kResultInProgress, 0, p.gcsSystem, p.gcsComponent);
                p.progressSent = true;
            }
        }
        if (!done) {
            ++it;
            continue;
        }
        spdlog::info("<mavlink> vehicle {}: command {} {} ({})", p.sysid, p.command, commandResultName(result), param2);
        ackCommand(p.peer, p.sysid, p.command, result, param2, p.gcsSystem, p.gcsComponent);
        it = m_pending.erase(it);
    }
}

json MavlinkBridge::status() const
{
    const auto& c = m_links.counters();
    json stations = json::array();
    for (const auto& [key, g] : m_groundStations)
        stations.push_back(
            {{"systemId", key.first},
             {"address", g.address.toStdString()},
             {"lastHeartbeat",
              g.lastHeartbeatMs
                  ? json(QDateTime::fromMSecsSinceEpoch(g.lastHeartbeatMs).toString(Qt::ISODateWithMs).toStdString())
                  : json(nullptr)},
             {"messages", g.messages}});
    json commands = json::object();
    for (const auto& [name, n] : m_commandResults)
        commands[name] = n;
    json vehicles = json::array();
    for (const auto& [sysid, e] : m_vehicles)
        vehicles.push_back(sysid);
    return {{"links", m_links.linksJson()},
            {"control", m_options.control},
            {"signing", m_options.signingKey.has_value()},
            {"vehicles", vehicles},
            {"groundStations", stations},
            {"groundStationsDropped", m_groundStationsDropped},
            {"streamOverrides", m_sinkRates.size()},
            {"tcpClientsClosedQuiet", c.closedQuiet},
            {"messagesIn", c.messagesIn},
            {"messagesOut", c.messagesOut},
            {"dropped",
             {{"crc", c.droppedCrc},
              {"signing", c.droppedSigning},
              {"unknownTarget", m_droppedUnknownTarget},
              {"unknownMessage", c.unknownMessages},
              {"mavlink1", c.mavlink1},
              {"output", c.droppedOutput}}},
            {"commands", commands},
            {"missions", m_missions ? m_missions->status() : json::object()},
            {"params", m_params ? m_params->status() : json::object()}};
}
