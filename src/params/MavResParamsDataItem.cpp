#include "MavResParamsDataItem.h"

#include <cstring>

namespace {

// One source text per parameter so each can be translated on its own.
const char* const kResNames[MavResParamsDataItem::ValueCount] = {
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res0"),  QT_TRANSLATE_NOOP("MavResParamsDataItem", "res1"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res2"),  QT_TRANSLATE_NOOP("MavResParamsDataItem", "res3"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res4"),  QT_TRANSLATE_NOOP("MavResParamsDataItem", "res5"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res6"),  QT_TRANSLATE_NOOP("MavResParamsDataItem", "res7"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res8"),  QT_TRANSLATE_NOOP("MavResParamsDataItem", "res9"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res10"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res11"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res12"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res13"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res14"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res15"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res16"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res17"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res18"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res19"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res20"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res21"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res22"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res23"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res24"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res25"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res26"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res27"),
    QT_TRANSLATE_NOOP("MavResParamsDataItem", "res28"), QT_TRANSLATE_NOOP("MavResParamsDataItem", "res29"),
};

// The record is packed: 20 floats, then 10 doubles.
double resValueAt(const MavProtoResParams_t& data, int index)
{
    const char* base = reinterpret_cast<const char*>(&data);
    if (index < 20) {
        float value;
        std::memcpy(&value, base + offsetof(MavProtoResParams_t, res0) + size_t(index) * sizeof value, sizeof value);
        return value;
    }
    double value;
    std::memcpy(&value, base + offsetof(MavProtoResParams_t, res20) + size_t(index - 20) * sizeof value, sizeof value);
    return value;
}

}  // namespace

MavResParamsDataItem::MavResParamsDataItem(QObject* parent)
    : MavBaseParamsDataItem(parent)
{
    for (int n = 0; n < ValueCount; ++n) {
        auto element = std::make_shared<MavParamsDataElement>(MavParamsDataElement::ParamsElementId(n),
                                                              tr(kResNames[n]), QString(), QString());
        m_resElements[size_t(n)] = element;
        appendElement(element);
    }
}

void MavResParamsDataItem::updateProtoData(const MavProtoResParams_t& data)
{
    m_data = data;
    for (int n = 0; n < ValueCount; ++n)
        showValue(n, resValueAt(m_data, n));
}
