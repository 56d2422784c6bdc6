#include "MavPosCtrlParamsDataItem.h"

MavPosCtrlParamsDataItem::MavPosCtrlParamsDataItem(QObject* parent)
    : QObject(parent)
{
}
