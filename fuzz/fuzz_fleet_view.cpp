// The fleet viewer's read model on arbitrary broker messages: the first byte picks the topic (a
// vehicle, a status or an alert of one of two stations, or a topic cut from the input up to a
// newline), the rest is the payload. Every message is accepted or dropped under one reason, and
// the page's documents stay JSON whose vehicles carry their station's key.

#include "fleet/BrokerFleetModel.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static BrokerFleetModel model;
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    static const char* const topics[] = {"velmora/fleet/a/vehicle/1", "velmora/fleet/b/vehicle/2",
                                         "velmora/fleet/a/status", "velmora/fleet/b/status", "velmora/fleet/a/alert"};
    std::string topic;
    if (data[0] < 5) {
        topic = topics[data[0]];
    } else {
        const size_t end = rest.find('\n');
        topic = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    }
    model.handleMessage(topic, rest);
    const auto& c = model.counters();
    if (c.received != c.accepted + c.malformed + c.oversized + c.outsideLayout + c.overLimit)
        std::abort();
    const nlohmann::json fleet = model.fleet();
    for (const auto& v : fleet["vehicles"])
        if (v["key"] != v["station"].get<std::string>() + "/" + std::to_string(v["vehicleId"].get<int>()))
            std::abort();
    (void)model.alerts().dump();
    (void)model.stations().dump();
    return 0;
}
