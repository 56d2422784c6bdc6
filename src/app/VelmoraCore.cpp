#include "VelmoraCore.h"

#include "MavProtoDefs.h"
#include "OstAbstractLink.h"
#include "protocol/MavCmdRequestMessage.h"

#include <QByteArray>
#include <QMetaType>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace VelmoraCore {

void registerMetaTypes()
{
    qRegisterMetaType<std::shared_ptr<MavPFrame_t>>("std::shared_ptr<MavPFrame_t>");
    qRegisterMetaType<MavPFramePtr>("MavPFramePtr");
    qRegisterMetaType<std::shared_ptr<QByteArray>>("std::shared_ptr<QByteArray>");
    qRegisterMetaType<std::shared_ptr<MavCmdRequestMessage>>("std::shared_ptr<MavCmdRequestMessage>");
    qRegisterMetaType<std::shared_ptr<nlohmann::json>>("std::shared_ptr<nlohmann::json>");
    qRegisterMetaType<std::vector<int64_t>>("std::vector<int64_t>");
    qRegisterMetaType<OstAbstractLink*>("OstAbstractLink*");
}

}  // namespace VelmoraCore
