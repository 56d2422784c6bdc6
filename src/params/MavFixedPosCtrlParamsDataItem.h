#pragma once
// Fixed-wing position gains: the same fields as the multirotor group (the records are one type),
// stored apart on the vehicle under their own command.

#include "MavPosCtrlParamsDataItem.h"

class MavFixedPosCtrlParamsDataItem : public MavPosCtrlParamsDataItem {
    Q_OBJECT
public:
    explicit MavFixedPosCtrlParamsDataItem(QObject* parent = nullptr)
        : MavPosCtrlParamsDataItem(parent)
    {
    }
};
