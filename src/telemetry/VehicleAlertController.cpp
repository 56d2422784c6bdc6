#include "VehicleAlertController.h"

#include "MavFlightStatusDataItem.h"
#include "MavPosDataItem.h"
#include "MavTelemetryController.h"
#include "common/IGcsConsole.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

namespace {
QString num(qint64 v)
{
    return QString::number(v);
}
}  // namespace

namespace {
const QString kLinkLost = QStringLiteral("vehicle.link.lost");
}  // namespace

VehicleAlertController::VehicleAlertController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent)
    : QObject(parent)
    , m_vehicle(vehicle)
{
    qRegisterMetaType<VehicleAlert>("VehicleAlert");
    if (vehicle)
        connect(vehicle.get(), &VehicleController::vehicleAliveChanged, this,
                &VehicleAlertController::handleVehicleAliveChanged);
}

void VehicleAlertController::bindTelemetryController(const std::shared_ptr<MavTelemetryController>& tele)
{
    if (m_teleConnection)
        disconnect(m_teleConnection);
    m_tele = tele;
    if (tele)
        m_teleConnection = connect(tele.get(), &MavTelemetryController::teleDataChanged, this,
                                   &VehicleAlertController::handleTeleDataChanged);
}

void VehicleAlertController::handleTeleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item, int dataRole)
{
    if (dataRole != 0 || !item)
        return;
    m_lastHeardMs = QDateTime::currentMSecsSinceEpoch();
    if (auto* status = dynamic_cast<MavFlightStatusDataItem*>(item.get())) {
        m_lastFlying = status->flightState() != 0 || status->armedState() == 1;
        evaluateFlightStatus(*status);
    } else if (auto* pos = dynamic_cast<MavPosDataItem*>(item.get())) {
        // 0/0 is what a vehicle without a fix reports: no position, not a place off Africa.
        if (pos->lat() != 0 || pos->lon() != 0) {
            m_lastLat = pos->lat();
            m_lastLon = pos->lon();
        }
        m_lastAlt = pos->alt();
    }
}

void VehicleAlertController::handleVehicleAliveChanged(bool alive)
{
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const auto it = m_alerts.find(kLinkLost);
    if (alive) {
        if (it == m_alerts.end())
            return;
        VehicleAlert cleared = *it;
        cleared.state = VehicleAlertState::Cleared;
        cleared.currentValue = tr("链路恢复，失联 %1 秒").arg((now - it->silentSinceMs + 500) / 1000);
        cleared.silentSinceMs = 0;
        cleared.timestampMs = now;
        m_alerts.erase(it);
        emit alertChanged(cleared);
        announce(cleared);
        return;
    }
    if (it != m_alerts.end())
        return;
    const bool landed = m_lastFlying.has_value() && !*m_lastFlying;
    const QString where =
        m_lastLat ? QStringLiteral("%1, %2").arg(*m_lastLat, 0, 'f', 7).arg(*m_lastLon, 0, 'f', 7) : tr("未知");
    const QString height = m_lastAlt ? QStringLiteral("%1 m").arg(*m_lastAlt, 0, 'f', 1) : tr("未知");
    const QString text = !m_lastFlying ? tr("链路中断，飞行状态未知：最后位置 %1，高度 %2").arg(where, height)
                         : landed ? tr("链路中断（已降落、未解锁）：最后位置 %1，高度 %2").arg(where, height)
                                  : tr("飞行中链路中断：最后位置 %1，高度 %2").arg(where, height);
    VehicleAlert alert =
        makeAlert(kLinkLost, QStringLiteral("link"), landed ? VehicleAlertLevel::Warning : VehicleAlertLevel::Critical,
                  VehicleAlertState::Active, text, {}, {});
    alert.silentSinceMs = m_lastHeardMs ? m_lastHeardMs : now;
    m_alerts.insert(kLinkLost, alert);
    emit alertChanged(alert);
    announce(alert);
}

QString VehicleAlertController::messageOf(const VehicleAlert& a, int64_t nowMs)
{
    bool numeric = false;
    a.currentValue.toDouble(&numeric);
    QString text;
    if (!numeric && !a.currentValue.isEmpty())
        text = a.currentValue;
    else if (!a.thresholdValue.isEmpty())
        text = a.sourceField + " " + a.currentValue + " above " + a.thresholdValue;
    else if (!a.expectedValue.isEmpty())
        text = a.sourceField + " " + a.currentValue + ", expected " + a.expectedValue;
    else
        text = a.sourceField + " " + a.currentValue;
    if (a.silentSinceMs > 0 && a.state == VehicleAlertState::Active)
        text += tr("，已失联 %1 秒").arg(std::max<int64_t>(0, (nowMs - a.silentSinceMs + 500) / 1000));
    return text;
}

void VehicleAlertController::announce(const VehicleAlert& a) const
{
    const QString text = messageOf(a, QDateTime::currentMSecsSinceEpoch());
    const bool raised = a.state == VehicleAlertState::Active;
    if (raised && a.level != VehicleAlertLevel::Info)
        spdlog::warn("<alerts> vehicle {} {} alert {}: {}", a.vehicleId, VehicleAlert::levelText(a.level).toStdString(),
                     a.key.toStdString(), text.toStdString());
    else
        spdlog::info("<alerts> vehicle {} alert {} {}: {}", a.vehicleId, a.key.toStdString(),
                     raised ? "raised" : "cleared", text.toStdString());
    const auto vehicle = m_vehicle.lock();
    const auto console = vehicle ? vehicle->gcsConsole() : nullptr;
    if (!console)
        return;
    if (raised)
        console->output(a.level == VehicleAlertLevel::Critical  ? OstLogLevel::Error
                        : a.level == VehicleAlertLevel::Warning ? OstLogLevel::Warning
                                                                : OstLogLevel::Info,
                        tr("车辆 %1 %2 告警：%3").arg(a.vehicleId).arg(VehicleAlert::levelText(a.level), text));
    else
        console->output(OstLogLevel::Info, tr("车辆 %1 告警解除：%2").arg(a.vehicleId).arg(text));
}

void VehicleAlertController::evaluateFlightStatus(const MavFlightStatusDataItem& s)
{
    using L = VehicleAlertLevel;
    evaluateAlert(QStringLiteral("vehicle.telemetry.rc_state.lost"), QStringLiteral("rc_state"), L::Critical,
                  s.rcState() == 0, num(s.rcState()), QStringLiteral("1"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.position_state.lost"), QStringLiteral("position_state"),
                  L::Critical, s.positionState() == 0, num(s.positionState()), QStringLiteral("3"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.heading_state.lost"), QStringLiteral("heading_state"), L::Critical,
                  s.headingState() == 0, num(s.headingState()), QStringLiteral("1"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.link_state.lost"), QStringLiteral("link_state"), L::Critical,
                  s.linkState() == 0, num(s.linkState()), QStringLiteral("1"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.battery_state.low"), QStringLiteral("battery_state"), L::Warning,
                  s.batteryState() == 1, num(s.batteryState()), QStringLiteral("0"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.battery_state.critical_low"), QStringLiteral("battery_state"),
                  L::Critical, s.batteryState() == 2, num(s.batteryState()), QStringLiteral("0"), {});
    if (!s.hasFlightStatusFrameData())
        return;

    const quint8 imu = s.imuSensorState();
    const quint8 heading = s.headingSensorState();
    evaluateAlert(QStringLiteral("vehicle.telemetry.work_state.init_failed"), QStringLiteral("work_state"), L::Critical,
                  s.workState() == 1, num(s.workState()), QStringLiteral("2"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.imu_sensor_state.overall_fault"),
                  QStringLiteral("imu_sensor_state"), L::Critical, isImuOverallFault(imu), num(imu),
                  QStringLiteral("32"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.imu_sensor_state.imu1_fault"), QStringLiteral("imu_sensor_state"),
                  L::Warning, isImuUnitFault(imu, 1), num(imu), QStringLiteral("1"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.imu_sensor_state.imu2_fault"), QStringLiteral("imu_sensor_state"),
                  L::Warning, isImuUnitFault(imu, 2), num(imu), QStringLiteral("2"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.imu_sensor_state.imu3_fault"), QStringLiteral("imu_sensor_state"),
                  L::Warning, isImuUnitFault(imu, 4), num(imu), QStringLiteral("4"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.heading_sensor_state.overall_fault"),
                  QStringLiteral("heading_sensor_state"), L::Critical, isHeadingOverallFault(heading), num(heading),
                  QStringLiteral("128"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.heading_sensor_state.mag_fault"),
                  QStringLiteral("heading_sensor_state"), L::Warning, isMagSensorFault(heading), num(heading),
                  QStringLiteral("1"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.heading_sensor_state.dual_antenna_fault"),
                  QStringLiteral("heading_sensor_state"), L::Warning, isDualAntennaFault(heading), num(heading),
                  QStringLiteral("4"), {});

    const float hdop = float(s.gnssHdop()) * 0.1f;
    const float vdop = float(s.gnssVdop()) * 0.1f;
    evaluateAlert(QStringLiteral("vehicle.telemetry.gnss_hdop.high"), QStringLiteral("gnss_hdop"), L::Warning,
                  hdop > m_gnssHdopThreshold, QString::number(hdop, 'f', 1), {},
                  QString::number(m_gnssHdopThreshold, 'f', 1));
    evaluateAlert(QStringLiteral("vehicle.telemetry.gnss_vdop.high"), QStringLiteral("gnss_vdop"), L::Warning,
                  vdop > m_gnssVdopThreshold, QString::number(vdop, 'f', 1), {},
                  QString::number(m_gnssVdopThreshold, 'f', 1));
    evaluateAlert(QStringLiteral("vehicle.telemetry.emergency_protect.active"), QStringLiteral("emergency_protect"),
                  L::Critical, hasEmergencyProtectAction(s.emergencyProtect()),
                  emergencyProtectMessage(s.emergencyProtect()), QStringLiteral("0"), {});
    evaluateAlert(QStringLiteral("vehicle.telemetry.takeoff_check.forbidden"), QStringLiteral("takeoff_check"),
                  L::Critical, (s.takeoffCheck() & 1) != 0, takeoffCheckForbiddenMessage(s.takeoffCheck()),
                  QStringLiteral("0"), {});
}

void VehicleAlertController::evaluateAlert(const QString& key, const QString& sourceField, VehicleAlertLevel level,
                                           bool active, const QString& currentValue, const QString& expectedValue,
                                           const QString& thresholdValue)
{
    auto it = m_alerts.find(key);
    if (active) {
        if (it != m_alerts.end() && it->sourceField == sourceField && it->level == level &&
            it->currentValue == currentValue && it->expectedValue == expectedValue &&
            it->thresholdValue == thresholdValue)
            return;
        const bool raised = it == m_alerts.end() || it->level != level;
        const VehicleAlert alert =
            makeAlert(key, sourceField, level, VehicleAlertState::Active, currentValue, expectedValue, thresholdValue);
        m_alerts.insert(key, alert);
        emit alertChanged(alert);
        if (raised)
            announce(alert);
        return;
    }
    if (it == m_alerts.end())
        return;
    const VehicleAlert alert =
        makeAlert(key, sourceField, level, VehicleAlertState::Cleared, currentValue, expectedValue, thresholdValue);
    m_alerts.erase(it);
    emit alertChanged(alert);
    announce(alert);
}

VehicleAlert VehicleAlertController::makeAlert(const QString& key, const QString& sourceField, VehicleAlertLevel level,
                                               VehicleAlertState state, const QString& currentValue,
                                               const QString& expectedValue, const QString& thresholdValue) const
{
    VehicleAlert alert;
    alert.key = key;
    alert.sourceField = sourceField;
    alert.level = level;
    alert.state = state;
    alert.currentValue = currentValue;
    alert.expectedValue = expectedValue;
    alert.thresholdValue = thresholdValue;
    alert.timestampMs = QDateTime::currentMSecsSinceEpoch();
    if (auto vehicle = m_vehicle.lock()) {
        alert.vehicleId = vehicle->vehicleId();
        alert.vehicleCode = vehicle->vehicleCode();
    }
    return alert;
}

QString VehicleAlertController::emergencyProtectMessage(quint8 code)
{
    static const char* causes[] = {QT_TR_NOOP("一级低压"), QT_TR_NOOP("二级低压"), QT_TR_NOOP("遥控器信号丢失"),
                                   QT_TR_NOOP("链路信号丢失"), QT_TR_NOOP("GNSS信号丢失")};
    QStringList found;
    for (int bit = 0; bit < 5; ++bit) {
        if (code & (1 << bit))
            found << tr(causes[bit]);
    }
    const int action = code >> 5;
    QString actionText;
    switch (action) {
    case 1: actionText = tr("返航"); break;
    case 2: actionText = tr("降落"); break;
    case 3: actionText = tr("定点"); break;
    case 4: actionText = tr("报警无动作"); break;
    default: actionText = QString::number(action); break;
    }
    if (!found.isEmpty())
        return tr("触发应急保护-%1-%2").arg(found.join(tr("、", "list separator")), actionText);
    return tr("触发应急保护-%1").arg(actionText);
}

QString VehicleAlertController::takeoffCheckForbiddenMessage(quint16 bits)
{
    if ((bits & 1) == 0)
        return QString();
    static const char* faults[] = {QT_TR_NOOP("IMU异常"),  QT_TR_NOOP("方向角异常"),   QT_TR_NOOP("遥控器丢失"),
                                   QT_TR_NOOP("GNSS丢失"), QT_TR_NOOP("定向信号丢失"), QT_TR_NOOP("电池异常")};
    QStringList found;
    for (int bit = 1; bit <= 6; ++bit) {
        if ((bits & (1 << bit)) == 0)
            found << tr(faults[bit - 1]);
    }
    if (!found.isEmpty())
        return tr("禁止起飞，%1").arg(found.join(tr("、", "list separator")));
    return tr("禁止起飞");
}
