#include "MavTargetStabilizeDataItem.h"

using E = MavTeleDataElement;

MavTargetStabilizeDataItem::MavTargetStabilizeDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    const QString m = QStringLiteral("m");
    const QString mps = QStringLiteral("m/s");
    const QString deg = QStringLiteral("°");
    const QString rate = QStringLiteral("deg/s");
    m_targetPosNElement = addElement(E::TargetPosN, tr("期望北向位置"), m);
    m_targetPosEElement = addElement(E::TargetPosE, tr("期望东向位置"), m);
    m_targetAltElement = addElement(E::TargetAlt, tr("期望高度"), m);
    m_targetVelNElement = addElement(E::TargetVelN, tr("期望北向速度"), mps);
    m_targetVelEElement = addElement(E::TargetVelE, tr("期望东向速度"), mps);
    m_targetVelZElement = addElement(E::TargetVelZ, tr("期望垂向速度"), mps);
    m_targetRollElement = addElement(E::TargetRoll, tr("期望滚转角"), deg);
    m_targetPitchElement = addElement(E::TargetPitch, tr("期望俯仰角"), deg);
    m_targetYawElement = addElement(E::TargetYaw, tr("期望航向角"), deg);
    m_targetGyroxElement = addElement(E::TargetGyroX, tr("期望滚转角速率"), rate);
    m_targetGyroyElement = addElement(E::TargetGyroY, tr("期望俯仰角速率"), rate);
    m_targetGyrozElement = addElement(E::TargetGyroZ, tr("期望偏航角速率"), rate);
    m_rollServoOutElement = addElement(E::TargetRollServoOut, tr("滚转通道输出控制量"));
    m_pitchServoOutElement = addElement(E::TargetPitchServoOut, tr("俯仰通道输出控制量"));
    m_yawServoOutElement = addElement(E::TargetYawServoOut, tr("航向通道输出控制量"));
    m_throttleServoOutElement = addElement(E::TargetThrottleServoOut, tr("油门通道输出控制量"));
}

void MavTargetStabilizeDataItem::showComprehensiveFields()
{
    m_targetPosNElement->setNumber(m_data.targetPosN, 2);
    m_targetPosEElement->setNumber(m_data.targetPosE, 2);
    m_targetAltElement->setNumber(m_data.targetAlt, 2);
    m_targetVelNElement->setNumber(m_data.targetVelN, 2);
    m_targetVelEElement->setNumber(m_data.targetVelE, 2);
    m_targetVelZElement->setNumber(m_data.targetVelZ, 2);
    m_targetRollElement->setNumber(m_data.targetRoll, 2);
    m_targetPitchElement->setNumber(m_data.targetPitch, 2);
    m_targetYawElement->setNumber(m_data.targetYaw, 1);
}

void MavTargetStabilizeDataItem::updateProtoData(const MavProtoTargetStabilizeData_t& data)
{
    m_data = data;
    showComprehensiveFields();
    m_targetGyroxElement->setNumber(m_data.targetGyrox, 1);
    m_targetGyroyElement->setNumber(m_data.targetGyroy, 1);
    m_targetGyrozElement->setNumber(m_data.targetGyroz, 1);
    m_rollServoOutElement->setNumber(m_data.rollServoOut, 1);
    m_pitchServoOutElement->setNumber(m_data.pitchServoOut, 1);
    m_yawServoOutElement->setNumber(m_data.yawServoOut, 1);
    m_throttleServoOutElement->setNumber(m_data.throttleServoOut, 1);
    emit dataChanged(ValuesUpdated);
}

void MavTargetStabilizeDataItem::updateFromComprehensiveData(const MavProtoComprehensiveData_t& data)
{
    m_data.targetPosN = data.targetPosN;
    m_data.targetPosE = data.targetPosE;
    m_data.targetAlt = data.targetAlt;
    m_data.targetVelN = data.targetVelN;
    m_data.targetVelE = data.targetVelE;
    m_data.targetVelZ = data.targetVelZ;
    m_data.targetRoll = data.targetRoll;
    m_data.targetPitch = data.targetPitch;
    m_data.targetYaw = data.targetYaw;
    showComprehensiveFields();
    emit dataChanged(ValuesUpdated);
}
