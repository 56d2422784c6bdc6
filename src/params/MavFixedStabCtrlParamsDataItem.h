#pragma once
// Fixed-wing attitude gains: the same fields as the multirotor group (the records are one type),
// stored apart on the vehicle under their own command.

#include "MavStabCtrlParamsDataItem.h"

class MavFixedStabCtrlParamsDataItem : public MavStabCtrlParamsDataItem {
    Q_OBJECT
public:
    explicit MavFixedStabCtrlParamsDataItem(QObject* parent = nullptr)
        : MavStabCtrlParamsDataItem(parent)
    {
    }
};
