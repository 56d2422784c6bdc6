#include "FlightLogReplay.h"

#include "FlightLogColumns.h"

#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "MavProtoTeleProcesser.h"

#include <QNetworkDatagram>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace flightlog {

namespace {

constexpr int kHeartbeatMs = 500;

// Reads one row's values by key; an empty cell reads as 0, as a vehicle would have sent.
struct RowReader {
    const FlightLog& log;
    size_t row;
    double operator()(const char* key) const
    {
        const double v = log.value(row, columnByKey(key));
        return std::isnan(v) ? 0.0 : v;
    }
    std::string key(const char* prefix, int n) const { return prefix + std::to_string(n); }
};

}  // namespace

FlightLogReplay::FlightLogReplay(const FlightLog& log, Options options, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_options(std::move(options))
{
    connect(&m_heartbeat, &QTimer::timeout, this, &FlightLogReplay::sendHeartbeat);
    connect(&m_socket, &QUdpSocket::readyRead, this, &FlightLogReplay::readRequests);
}

bool FlightLogReplay::start(QString* error)
{
    if (m_log.rowCount() == 0) {
        *error = QStringLiteral("the log has no rows to replay");
        return false;
    }
    if (!m_socket.bind(QHostAddress::Any, m_options.listenPort)) {
        *error = QStringLiteral("cannot bind UDP port %1: %2").arg(m_options.listenPort).arg(m_socket.errorString());
        return false;
    }
    m_clock.start();
    m_heartbeat.start(kHeartbeatMs);
    sendHeartbeat();
    return true;
}

size_t FlightLogReplay::currentRow() const
{
    const qint64 at = m_log.timeMs(0) + qint64(double(m_clock.elapsed()) * m_options.rate);
    size_t lo = 0, hi = m_log.rowCount();
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        (m_log.timeMs(mid) <= at ? lo : hi) = mid;
    }
    return lo;
}

void FlightLogReplay::sendHeartbeat()
{
    const qint64 at = m_log.timeMs(0) + qint64(double(m_clock.elapsed()) * m_options.rate);
    if (at > m_log.timeMs(m_log.rowCount() - 1)) {
        m_heartbeat.stop();
        emit finished();
        return;
    }
    _MavPFrame_t frame;
    MavProtoCtrlCmdProcesser::packHeartbeatPFrame(frame, uint8_t(m_options.vehicleId), m_heartbeatSeq++);
    std::vector<uint8_t> bytes;
    MavProtoHelper::mavPFrameToSendBytes(bytes, frame);
    m_socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()), m_options.host,
                           m_options.port);
}

void FlightLogReplay::readRequests()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        const QByteArray data = datagram.data();
        const auto* buf = reinterpret_cast<const unsigned char*>(data.constData());
        unsigned int at = 0;
        while (at < unsigned(data.size())) {
            _MavPFrame_t frame;
            if (MavProtoHelper::parseMavProtoFrame(buf + at, unsigned(data.size()) - at, frame) !=
                MAVPROTO_PARSE_RESULT_OK) {
                ++at;  // not a frame here: look further
                continue;
            }
            at += MAVPROTO_FRAME_OVERHEAD + frame.data_len;
            if (frame.cmd != MavCmd::RequestAllTele || frame.rx_id != uint8_t(m_options.vehicleId))
                continue;
            const auto answer = telemetryAnswer(currentRow(), m_teleSeq++);
            m_socket.writeDatagram(reinterpret_cast<const char*>(answer.data()), qint64(answer.size()),
                                   datagram.senderAddress(), quint16(datagram.senderPort()));
        }
    }
}

std::vector<uint8_t> FlightLogReplay::telemetryAnswer(size_t row, uint8_t seq) const
{
    const RowReader v{m_log, row};
    MavProtoAhrsData_t a{};
    a.gx = float(v("gyro_x"));
    a.gy = float(v("gyro_y"));
    a.gz = float(v("gyro_z"));
    a.ax = float(v("acc_x"));
    a.ay = float(v("acc_y"));
    a.az = float(v("acc_z"));
    a.mx = int16_t(v("mag_x"));
    a.my = int16_t(v("mag_y"));
    a.mz = int16_t(v("mag_z"));
    a.roll = float(v("roll"));
    a.pitch = float(v("pitch"));
    a.yaw = float(v("yaw"));
    a.magYaw = float(v("mag_yaw"));
    a.presAlt = float(v("pres_alt"));
    a.res0 = int16_t(v("ahrs_res0"));

    MavProtoPosData_t p{};
    p.homeLat = v("home_lat");
    p.homeLon = v("home_lon");
    p.lat = v("lat");
    p.lon = v("lon");
    p.alt = v("alt");
    p.rtkNorthLine = v("rtk_north");
    p.rtkEastLine = v("rtk_east");
    p.rtkUpLine = v("rtk_up");
    p.northSpd = float(v("north_spd"));
    p.eastSpd = float(v("east_spd"));
    p.upSpd = float(v("up_spd"));
    p.ekfNorthLine = v("ekf_north");
    p.ekfEastLine = v("ekf_east");
    p.ekfUpLine = v("ekf_up");
    p.ekfNorthSpd = float(v("ekf_north_spd"));
    p.ekfEastSpd = float(v("ekf_east_spd"));
    p.ekfUpSpd = float(v("ekf_up_spd"));
    p.rtkYaw = float(v("rtk_yaw"));
    p.posSatNum = uint8_t(v("sat_num"));
    p.rtkSatNum = uint8_t(v("rtk_sat_num"));

    MavProtoTargetStabilizeData_t t{};
    t.targetPosN = v("target_pos_n");
    t.targetPosE = v("target_pos_e");
    t.targetAlt = v("target_alt");
    t.targetVelN = float(v("target_vel_n"));
    t.targetVelE = float(v("target_vel_e"));
    t.targetVelZ = float(v("target_vel_z"));
    t.targetRoll = float(v("target_roll"));
    t.targetPitch = float(v("target_pitch"));
    t.targetYaw = float(v("target_yaw"));
    t.targetGyrox = float(v("target_gyro_x"));
    t.targetGyroy = float(v("target_gyro_y"));
    t.targetGyroz = float(v("target_gyro_z"));
    t.rollServoOut = float(v("roll_servo_out"));
    t.pitchServoOut = float(v("pitch_servo_out"));
    t.yawServoOut = float(v("yaw_servo_out"));
    t.throttleServoOut = float(v("throttle_servo_out"));

    MavProtoRCData_t rc{};
    rc.rcAil = uint16_t(v("rc_ail"));
    rc.rcEle = uint16_t(v("rc_ele"));
    rc.rcThr = uint16_t(v("rc_thr"));
    rc.rcRud = uint16_t(v("rc_rud"));
    rc.rcMode = uint16_t(v("rc_mode"));
    rc.rcAux1 = uint16_t(v("rc_aux1"));
    rc.rcAux2 = uint16_t(v("rc_aux2"));
    rc.rcAux3 = uint16_t(v("rc_aux3"));
    for (int i = 0; i < MAVPROTO_RC_MOTOR_COUNT; ++i)
        rc.motorOutput[i] = uint16_t(v(v.key("motor_", i + 1).c_str()));

    _MavProtoFlightStatusData_t s{};
    s.flightMode = uint8_t(v("flight_mode"));
    s.flightState = uint8_t(v("flight_state"));
    s.rcState = uint8_t(v("rc_state"));
    s.positionState = uint8_t(v("position_state"));
    s.headingState = uint8_t(v("heading_state"));
    s.linkState = uint8_t(v("link_state"));
    s.armedState = uint8_t(v("armed_state"));
    s.batteryState = uint8_t(v("battery_state"));
    s.packedState = MavProtoTeleProcesser::encodeComprehensiveStateByte(
        {s.rcState, s.positionState, s.headingState, s.linkState, s.armedState, s.batteryState});
    s.fcuVol = float(v("fcu_vol"));
    s.workState = uint8_t(v("work_state"));
    s.imuSensorState = uint8_t(v("imu_sensor_state"));
    s.headingSensorState = uint8_t(v("heading_sensor_state"));
    // Recorded in units, sent in tenths.
    s.gnssHdop = uint8_t(std::lround(v("gnss_hdop") * 10));
    s.gnssVdop = uint8_t(std::lround(v("gnss_vdop") * 10));
    s.gnssPositionState = uint16_t(v("gnss_position_state"));
    s.integratedNavigationState = uint8_t(v("integrated_nav_state"));
    s.emergencyProtect = uint8_t(v("emergency_protect"));
    s.totalFlightTime = uint32_t(v("total_flight_time_s"));
    s.currentFlightTime = uint32_t(v("current_flight_time_s"));
    s.surplusFlightTime = uint32_t(v("surplus_flight_time_s"));
    s.takeoffCheck = uint16_t(v("takeoff_check"));

    MavProtoResData_t res{};
    for (int i = 0; i < MAVPROTO_RES_VALUE_COUNT; ++i)
        res.res[i] = float(v(v.key("res_", i).c_str()));

    using P = MavProtoTeleProcesser;
    const uint8_t id = uint8_t(m_options.vehicleId);
    _MavPFrame_t frames[6];
    P::packAhrsDataPFrame(frames[0], id, seq, a);
    P::packPosDataPFrame(frames[1], id, seq, p);
    P::packTargetStabilizeDataPFrame(frames[2], id, seq, t);
    P::packRCDataPFrame(frames[3], id, seq, rc);
    P::packFlightStatusDataPFrame(frames[4], id, seq, s);
    P::packResDataPFrame(frames[5], id, seq, res);
    std::vector<uint8_t> out, bytes;
    for (const auto& f : frames) {
        MavProtoHelper::mavPFrameToSendBytes(bytes, f);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace flightlog
