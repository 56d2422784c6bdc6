#include "MavFlightRouteAbstractConfig.h"

#include "OstFunctions.h"

MavFlightRouteAbstractConfig::MavFlightRouteAbstractConfig(const QString& id, QObject* parent)
    : QObject(parent)
    , m_id(id)
{
}

MavFlightRouteAbstractConfig::MavFlightRouteAbstractConfig(QObject* parent)
    : MavFlightRouteAbstractConfig(OstFunctions::createUuid(true), parent)
{
}

void MavFlightRouteAbstractConfig::setId(const QString& id)
{
    if (m_id == id)
        return;
    m_id = id;
    emit idChanged();
}

void MavFlightRouteAbstractConfig::setName(const QString& name)
{
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
}

void MavFlightRouteAbstractConfig::setNumber(uint8_t number)
{
    if (m_number == number)
        return;
    m_number = number;
    emit numberChanged();
}

void MavFlightRouteAbstractConfig::setRepeatTimes(uint8_t times)
{
    if (m_repeatTimes == times)
        return;
    m_repeatTimes = times;
    emit repeatTimesChanged();
}
