// Broker messages on arbitrary bytes: the first byte picks the topic (a watched vehicle's
// position or status, or a code cut from the input), the rest is the payload. A record must
// name the code of its topic and carry only values inside the documented ranges.

#include "cloud/GcsMqttReceiver.h"
#include "FuzzSupport.h"

#include <cmath>
#include <cstdlib>

namespace {

bool within(double v, double most)
{
    return std::isfinite(v) && std::fabs(v) <= most;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    QString code = QStringLiteral("RV-1");
    QByteArray payload = rest;
    if (data[0] & 4) {
        // The code comes from the input too, up to the first newline.
        const qsizetype nl = rest.indexOf('\n');
        code = QString::fromUtf8(rest.left(nl < 0 ? 0 : nl));
        payload = nl < 0 ? rest : rest.mid(nl + 1);
    }
    const bool position = data[0] & 1;
    const QString topic = "gcs/notify/vehicle/" + code + (position ? "/position" : "/status");
    const RemoteVehicleBaseMessagePtr msg = GcsMqttReceiver::decode(topic, payload);
    if (!msg)
        return 0;
    if (msg->vehicleCode != code || code.isEmpty())
        std::abort();
    if (position) {
        const auto* p = dynamic_cast<const RemoteVehiclePositionMessage*>(msg.get());
        if (!p || !within(p->latitude, 90) || !within(p->longitude, 180) || !within(p->altitude, 100000))
            std::abort();
    } else {
        const auto* s = dynamic_cast<const RemoteVehicleStatusMessage*>(msg.get());
        if (!s || !within(s->roll, 360) || !within(s->pitch, 360) || !within(s->yaw, 360) || !within(s->speed, 1000))
            std::abort();
    }
    return 0;
}
