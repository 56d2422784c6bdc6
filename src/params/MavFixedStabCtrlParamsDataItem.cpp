#include "MavFixedStabCtrlParamsDataItem.h"

MavFixedStabCtrlParamsDataItem::MavFixedStabCtrlParamsDataItem(QObject* parent) : QObject(parent) {}
