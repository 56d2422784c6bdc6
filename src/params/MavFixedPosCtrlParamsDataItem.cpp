#include "MavFixedPosCtrlParamsDataItem.h"

MavFixedPosCtrlParamsDataItem::MavFixedPosCtrlParamsDataItem(QObject* parent) : QObject(parent) {}
