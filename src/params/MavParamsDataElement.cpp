#include "MavParamsDataElement.h"

MavParamsDataElement::MavParamsDataElement(ParamsElementId id, const QString& name, const QString& value,
                                           const QString& unit)
    : m_id(id)
    , m_name(name)
    , m_value(value)
    , m_unit(unit)
{
}
