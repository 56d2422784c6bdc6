#pragma once
// The firmware methods of the CLI: firmware.update starts an update of the selected vehicle
// (time-outs from the settings; optional expected sha256; force for a bench or simulator) and
// answers its requestId and image (sha256, totalSize, frameCount); firmware.status reports an
// update's progress, rate and result by that requestId, or the vehicle's latest update (kept by
// the outcome recorder's GcsCliFirmwareOutcomes, across link cycles).

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& firmwareMethods();

}  // namespace gcscli
