#include "MavTeleDataElement.h"

MavTeleDataElement::MavTeleDataElement(TeleElementId id, const QString& name, const QString& value, const QString& unit,
                                       short dataCommand)
    : m_id(id)
    , m_name(name)
    , m_value(value)
    , m_displayValue(value)
    , m_unit(unit)
    , m_dataCommand(dataCommand)
{
}
