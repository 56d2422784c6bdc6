// The simulator's reading side on arbitrary bytes: its frame cutter, then the vehicle's command
// handlers (control, parameters, routes, zones, firmware) for every frame addressed to it. The
// first byte picks the chunk size (low 6 bits) and whether the rest is raw bytes or records the
// target frames itself (bit 6: cmd, length, data, sent from the station's id to the vehicle
// with a correct check, so the fuzzer reaches the handlers without forging a CRC).
// Checked: every frame handed on is its own wire bytes re-serialised, the cutter keeps at most
// one frame's worth of bytes, and every frame the vehicle sends back serialises and parses.

#include "MavProtoHelper.h"
#include "SimFrameCutter.h"
#include "SimOptions.h"
#include "SimVehicle.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kVehicleId = 1;
constexpr uint8_t kStationId = 0x81;

QByteArray framed(const uint8_t* data, size_t size)
{
    QByteArray out;
    size_t at = 0;
    uint8_t seq = 0;
    while (at + 2 <= size) {
        _MavPFrame_t f;
        f.tx_id = kStationId;
        f.rx_id = kVehicleId;
        f.seq = seq++;
        f.cmd = data[at];
        const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
        f.data.assign(data + at + 2, data + at + 2 + len);
        f.data_len = uint16_t(len);
        at += 2 + len;
        std::vector<uint8_t> wire;
        MavProtoHelper::mavPFrameToSendBytes(wire, f);
        out.append(reinterpret_cast<const char*>(wire.data()), qsizetype(wire.size()));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::applicationOnce();
    if (size == 0)
        return 0;
    const size_t chunk = 1 + (data[0] & 0x3f);
    const QByteArray bytes = (data[0] & 0x40)
                                 ? framed(data + 1, size - 1)
                                 : QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    SimOptions options;
    SimVehicle vehicle(kVehicleId, options, [](const std::vector<_MavPFrame_t>& frames) {
        for (const auto& f : frames) {
            std::vector<uint8_t> wire;
            MavProtoHelper::mavPFrameToSendBytes(wire, f);
            _MavPFrame_t back;
            if (MavProtoHelper::parseMavProtoFrame(wire.data(), unsigned(wire.size()), back) !=
                    MAVPROTO_PARSE_RESULT_OK ||
                back.data != f.data)
                std::abort();
        }
    });
    SimFrameCutter cutter;
    for (qsizetype at = 0; at < bytes.size(); at += qsizetype(chunk)) {
        cutter.feed(bytes.mid(at, qsizetype(chunk)), [&](const QByteArray& wire, const _MavPFrame_t& frame) {
            std::vector<uint8_t> again;
            MavProtoHelper::mavPFrameToSendBytes(again, frame);
            if (again.size() != size_t(wire.size()) || std::memcmp(again.data(), wire.constData(), again.size()) != 0)
                std::abort();
            if (frame.rx_id == vehicle.id())
                vehicle.handleFrame(frame);
        });
        vehicle.advance();
    }
    if (cutter.buffered() > 0xFFFF + 10)
        std::abort();
    return 0;
}
