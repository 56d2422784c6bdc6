#pragma once
// The firmware methods of the CLI: firmware.update starts an update of the selected vehicle
// (time-outs from the settings), firmware.status reports its progress and result (kept by the
// outcome recorder's GcsCliFirmwareOutcomes).

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& firmwareMethods();

}  // namespace gcscli
