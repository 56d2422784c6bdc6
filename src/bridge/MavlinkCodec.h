#pragma once
// MAVLink 2 framing: the encoder (sequence per system, optional signing) and the cutter that
// finds frames in received bytes.
//
// Cutting follows the station's own frames: a byte that cannot start a frame is skipped, a frame
// whose CRC fails gives up only its first byte (resync), and a sender's buffer never holds more
// than kMaxBuffered bytes. MAVLink 1 frames are read whole and ignored (counted). A frame of a
// message this side does not know cannot have its CRC checked: it is skipped whole and counted.
// Payloads shorter than the message are zero-extended (the sender dropped trailing zeros);
// longer ones (newer extension fields) are cut to what is known.
//
// Signing: a signed frame carries link id, a 48-bit timestamp (10 us since 2015-01-01) and the
// first 6 bytes of SHA-256(key, frame up to the CRC, link id, timestamp). The cutter checks the
// signature; whether a timestamp is fresh is the receiver's business (MavlinkReplayGuard).

#include "bridge/MavlinkMessages.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace mavlink {

constexpr uint8_t kStx2 = 0xFD;
constexpr uint8_t kStx1 = 0xFE;
constexpr size_t kHeaderLen = 10;
constexpr size_t kSignatureLen = 13;
constexpr size_t kMaxFrameLen = kHeaderLen + 255 + 2 + kSignatureLen;
constexpr uint8_t kIncompatSigned = 0x01;

uint16_t crcX25(const uint8_t* data, size_t n, uint16_t crc = 0xFFFF);

using SigningKey = std::array<uint8_t, 32>;

// Now in signing time units (10 us since 2015-01-01 UTC).
uint64_t signingTimestampNow();

struct Frame {
    uint8_t seq = 0;
    uint8_t sysid = 0;
    uint8_t compid = 0;
    uint32_t msgid = 0;
    uint8_t payloadLen = 0;  // as received
    bool isSigned = false;
    uint8_t linkId = 0;
    uint64_t timestamp = 0;
    std::array<uint8_t, 255> payload{};  // zero-extended to the message's length

    template <typename M>
    M as() const
    {
        M m;
        std::memcpy(static_cast<void*>(&m), payload.data(), sizeof(M));
        return m;
    }
};

class Encoder {
public:
    // Signs every frame with `key` and this link id from now on; null: unsigned. Timestamps
    // continue after lastTimestamp when the clock is behind it.
    void setSigning(const SigningKey* key, uint8_t linkId, uint64_t lastTimestamp = 0);
    void setNextSequence(uint8_t sysid, uint8_t seq) { m_seq[sysid] = seq; }

    // Writes one frame into out (at least kMaxFrameLen bytes); returns its length.
    size_t encode(uint32_t msgid, uint8_t crcExtra, const void* payload, size_t len, uint8_t sysid, uint8_t compid,
                  uint8_t* out);
    template <typename M>
    size_t encode(const M& msg, uint8_t sysid, uint8_t compid, uint8_t* out)
    {
        return encode(M::kId, M::kCrcExtra, &msg, sizeof(M), sysid, compid, out);
    }

private:
    std::array<uint8_t, 256> m_seq{};  // per system id
    std::optional<SigningKey> m_key;
    uint8_t m_linkId = 0;
    uint64_t m_lastTimestamp = 0;
};

class FrameCutter {
public:
    static constexpr size_t kMaxBuffered = 4096;

    enum class Signature { None, Valid, Invalid };
    struct Counters {
        uint64_t frames = 0;
        uint64_t crcErrors = 0;
        uint64_t unknownMessages = 0;
        uint64_t mavlink1 = 0;
        uint64_t skippedBytes = 0;
    };

    // Frames are checked against this key when signed (null: a signed frame counts as Invalid).
    void setKey(const SigningKey* key) { m_key = key; }

    // Appends bytes and hands every complete frame to onFrame(const Frame&, Signature).
    template <typename F>
    void feed(const uint8_t* data, size_t n, F&& onFrame)
    {
        append(data, n);
        Frame frame;
        Signature sig = Signature::None;
        while (next(frame, sig))
            onFrame(frame, sig);
        compact();
    }
    // Forgets a partial frame (a datagram ended).
    void reset();

    const Counters& counters() const { return m_counters; }

private:
    void append(const uint8_t* data, size_t n);
    bool next(Frame& frame, Signature& sig);
    void compact();

    std::vector<uint8_t> m_buf;
    size_t m_pos = 0;
    const SigningKey* m_key = nullptr;
    Counters m_counters;
};

// One replay record for every link: refuses a signed frame whose timestamp is not newer than the
// last of its stream (system, component, link id), more than a minute ahead of this clock (it
// would lock the stream out), or, for a stream not heard before, more than a minute old. The
// record is what a restart must keep (records()/restore()), so that frames captured before it
// cannot be played again after it. At most kMaxStreams streams: a frame of a new one beyond
// that is refused (only holders of the key can make streams).
class ReplayGuard {
public:
    static constexpr uint64_t kMinute = 60ull * 100000;
    static constexpr size_t kMaxStreams = 4096;

    enum class Verdict { Accepted, Replayed, Stale, Ahead, Full };
    Verdict check(const Frame& frame, uint64_t now = signingTimestampNow());
    bool accept(const Frame& frame, uint64_t now = signingTimestampNow())
    {
        return check(frame, now) == Verdict::Accepted;
    }

    // Stream key (system << 16 | component << 8 | link id) to its last timestamp.
    const std::map<uint32_t, uint64_t>& records() const { return m_last; }
    void restore(std::map<uint32_t, uint64_t> records) { m_last = std::move(records); }

private:
    std::map<uint32_t, uint64_t> m_last;
};

}  // namespace mavlink
