// The MAVLink bridge's reading side on arbitrary bytes: the frame cutter (signed and unsigned)
// and the replay guard. (What the bridge makes of uploaded mission items: fuzz_mavlink_mission.)
// The first byte picks the chunk size (low 5 bits), whether the cutter knows the signing key
// (bit 5), and whether the rest is raw bytes or records that the target frames itself (bit 6:
// msgid, payload length, payload, each record encoded and signed with the key, so the fuzzer
// reaches the decoders without having to forge a CRC or a signature).
// Checked: every frame handed on is a known message with its payload zero-extended, a signature
// is Valid only with the key, and self-encoded frames come back whole and Valid.

#include "bridge/MavlinkCodec.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <vector>

namespace {

const mavlink::SigningKey kKey = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// Records as signed frames: [msgid index][length][payload...] repeated.
std::vector<uint8_t> framed(const uint8_t* data, size_t size, size_t& frames)
{
    mavlink::Encoder encoder;
    encoder.setSigning(&kKey, 1, 1000);
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at + 2 <= size) {
        const auto& info = mavlink::kMessages[data[at] % std::size(mavlink::kMessages)];
        const size_t len = std::min<size_t>({data[at + 1], info.length, size - at - 2});
        uint8_t payload[255] = {};
        std::memcpy(payload, data + at + 2, len);
        at += 2 + len;
        uint8_t frame[mavlink::kMaxFrameLen];
        const size_t n = encoder.encode(info.id, info.crcExtra, payload, info.length, 7, 190, frame);
        out.insert(out.end(), frame, frame + n);
        ++frames;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    const size_t chunk = 1 + (data[0] & 0x1f);
    const bool withKey = data[0] & 0x20;
    const bool selfFramed = data[0] & 0x40;
    size_t encoded = 0;
    std::vector<uint8_t> bytes =
        selfFramed ? framed(data + 1, size - 1, encoded) : std::vector<uint8_t>(data + 1, data + size);

    mavlink::FrameCutter cutter;
    cutter.setKey(withKey ? &kKey : nullptr);
    mavlink::ReplayGuard guard;
    size_t handed = 0;
    size_t valid = 0;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        cutter.feed(bytes.data() + at, std::min(chunk, bytes.size() - at),
                    [&](const mavlink::Frame& frame, mavlink::FrameCutter::Signature sig) {
                        ++handed;
                        const mavlink::MsgInfo* info = mavlink::findMessage(frame.msgid);
                        if (!info)
                            std::abort();
                        for (size_t i = std::min<size_t>(frame.payloadLen, info->length); i < info->length; ++i)
                            if (frame.payload[i] != 0)
                                std::abort();  // not zero-extended
                        if (sig == mavlink::FrameCutter::Signature::Valid) {
                            if (!withKey || !frame.isSigned)
                                std::abort();
                            ++valid;
                            (void)guard.accept(frame, 2000);
                        }
                        if (frame.msgid == mavlink::kMissionItemInt)
                            (void)frame.as<mavlink::MissionItemInt>();
                    });
    }
    if (selfFramed && (handed != encoded || (withKey && valid != encoded)))
        std::abort();
    const auto& c = cutter.counters();
    if (c.frames < handed)
        std::abort();

    return 0;
}
