#include "MavAirframeTypeTable.h"

#include <QCoreApplication>

namespace {

struct AirframeType {
    int code;
    const char* name;
};

constexpr const char* kContext = "MavParamsController";

// Multirotors from 0x01, helicopters from 0x20, fixed-wing 0x30, VTOL fixed-wing from 0x40,
// tilt-rotors from 0x50.
const AirframeType kAirframeTypes[] = {
    {0x01, QT_TRANSLATE_NOOP("MavParamsController", "四旋翼无人机")},
    {0x02, QT_TRANSLATE_NOOP("MavParamsController", "六旋翼无人机")},
    {0x03, QT_TRANSLATE_NOOP("MavParamsController", "八旋翼无人机")},
    {0x04, QT_TRANSLATE_NOOP("MavParamsController", "共轴四旋翼无人机（上逆下顺）")},
    {0x05, QT_TRANSLATE_NOOP("MavParamsController", "共轴四旋翼无人机")},
    {0x06, QT_TRANSLATE_NOOP("MavParamsController", "共轴六旋翼无人机（上逆下顺）")},
    {0x07, QT_TRANSLATE_NOOP("MavParamsController", "共轴六旋翼无人机")},
    {0x08, QT_TRANSLATE_NOOP("MavParamsController", "共轴八旋翼无人机（上逆下顺）")},
    {0x09, QT_TRANSLATE_NOOP("MavParamsController", "共轴八旋翼无人机")},
    {0x20, QT_TRANSLATE_NOOP("MavParamsController", "单旋翼直升机")},
    {0x21, QT_TRANSLATE_NOOP("MavParamsController", "共轴直升机")},
    {0x22, QT_TRANSLATE_NOOP("MavParamsController", "纵列式直升机")},
    {0x30, QT_TRANSLATE_NOOP("MavParamsController", "固定翼无人机")},
    {0x40, QT_TRANSLATE_NOOP("MavParamsController", "四旋翼垂起固定翼")},
    {0x41, QT_TRANSLATE_NOOP("MavParamsController", "六旋翼垂起固定翼")},
    {0x42, QT_TRANSLATE_NOOP("MavParamsController", "八旋翼垂起固定翼")},
    {0x50, QT_TRANSLATE_NOOP("MavParamsController", "倾转旋翼")},
    {0x51, QT_TRANSLATE_NOOP("MavParamsController", "尾座式倾转旋翼")},
};

}  // namespace

const QMap<int, QString>& MavAirframeTypeTable::typeMap()
{
    static const QMap<int, QString> map = [] {
        QMap<int, QString> m;
        for (const auto& type : kAirframeTypes)
            m.insert(type.code, QCoreApplication::translate(kContext, type.name));
        return m;
    }();
    return map;
}
