#include "MavStabCtrlParamsDataItem.h"

MavStabCtrlParamsDataItem::MavStabCtrlParamsDataItem(QObject* parent)
    : QObject(parent)
{
}
