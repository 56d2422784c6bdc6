#include "MavlinkCodec.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <algorithm>

namespace mavlink {

namespace {

// 2015-01-01T00:00:00Z in Unix seconds.
constexpr int64_t kSigningEpochSec = 1420070400;

std::array<uint8_t, 6> signatureOf(const SigningKey& key, const uint8_t* frame, size_t lenUpToCrc, uint8_t linkId,
                                   const uint8_t* timestamp6)
{
    QCryptographicHash sha(QCryptographicHash::Sha256);
    sha.addData(QByteArrayView(reinterpret_cast<const char*>(key.data()), qsizetype(key.size())));
    sha.addData(QByteArrayView(reinterpret_cast<const char*>(frame), qsizetype(lenUpToCrc)));
    const char link = char(linkId);
    sha.addData(QByteArrayView(&link, 1));
    sha.addData(QByteArrayView(reinterpret_cast<const char*>(timestamp6), 6));
    const QByteArray digest = sha.result();
    std::array<uint8_t, 6> out{};
    std::memcpy(out.data(), digest.constData(), out.size());
    return out;
}

}  // namespace

uint16_t crcX25(const uint8_t* data, size_t n, uint16_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        uint8_t tmp = uint8_t(data[i] ^ uint8_t(crc & 0xFF));
        tmp = uint8_t(tmp ^ (tmp << 4));
        crc = uint16_t((crc >> 8) ^ (uint16_t(tmp) << 8) ^ (uint16_t(tmp) << 3) ^ (tmp >> 4));
    }
    return crc;
}

uint64_t signingTimestampNow()
{
    return uint64_t(QDateTime::currentMSecsSinceEpoch() - kSigningEpochSec * 1000) * 100;
}

void Encoder::setSigning(const SigningKey* key, uint8_t linkId, uint64_t lastTimestamp)
{
    m_key = key ? std::optional<SigningKey>(*key) : std::nullopt;
    m_linkId = linkId;
    m_lastTimestamp = std::max(m_lastTimestamp, lastTimestamp);
}

size_t Encoder::encode(uint32_t msgid, uint8_t crcExtra, const void* payload, size_t len, uint8_t sysid, uint8_t compid,
                       uint8_t* out)
{
    const auto* bytes = static_cast<const uint8_t*>(payload);
    len = std::min<size_t>(len, 255);
    while (len > 1 && bytes[len - 1] == 0)
        --len;
    out[0] = kStx2;
    out[1] = uint8_t(len);
    out[2] = m_key ? kIncompatSigned : 0;
    out[3] = 0;
    out[4] = m_seq[sysid]++;
    out[5] = sysid;
    out[6] = compid;
    out[7] = uint8_t(msgid);
    out[8] = uint8_t(msgid >> 8);
    out[9] = uint8_t(msgid >> 16);
    std::memcpy(out + kHeaderLen, bytes, len);
    uint16_t crc = crcX25(out + 1, kHeaderLen - 1 + len);
    crc = crcX25(&crcExtra, 1, crc);
    out[kHeaderLen + len] = uint8_t(crc);
    out[kHeaderLen + len + 1] = uint8_t(crc >> 8);
    size_t total = kHeaderLen + len + 2;
    if (!m_key)
        return total;
    // Strictly increasing on this link, even within one 10 us tick.
    m_lastTimestamp = std::max(m_lastTimestamp + 1, signingTimestampNow());
    uint8_t* sig = out + total;
    sig[0] = m_linkId;
    for (int i = 0; i < 6; ++i)
        sig[1 + i] = uint8_t(m_lastTimestamp >> (8 * i));
    const auto s = signatureOf(*m_key, out, total, m_linkId, sig + 1);
    std::memcpy(sig + 7, s.data(), s.size());
    return total + kSignatureLen;
}

void FrameCutter::append(const uint8_t* data, size_t n)
{
    m_buf.insert(m_buf.end(), data, data + n);
    if (m_buf.size() - m_pos > kMaxBuffered) {
        const size_t drop = m_buf.size() - m_pos - kMaxBuffered;
        m_counters.skippedBytes += drop;
        m_pos += drop;
    }
}

void FrameCutter::compact()
{
    if (m_pos == 0)
        return;
    m_buf.erase(m_buf.begin(), m_buf.begin() + std::ptrdiff_t(m_pos));
    m_pos = 0;
}

void FrameCutter::reset()
{
    m_counters.skippedBytes += m_buf.size() - m_pos;
    m_buf.clear();
    m_pos = 0;
}

bool FrameCutter::next(Frame& frame, Signature& sig)
{
    for (;;) {
        const size_t avail = m_buf.size() - m_pos;
        if (avail == 0)
            return false;
        const uint8_t* p = m_buf.data() + m_pos;
        if (p[0] == kStx1) {
            if (avail < 2)
                return false;
            const size_t total = 6 + size_t(p[1]) + 2;
            if (avail < total)
                return false;
            const MsgInfo* info = findMessage(p[5]);
            if (info) {
                uint16_t crc = crcX25(p + 1, 5 + p[1]);
                crc = crcX25(&info->crcExtra, 1, crc);
                if (crc != uint16_t(p[total - 2] | (p[total - 1] << 8))) {
                    ++m_counters.crcErrors;
                    ++m_counters.skippedBytes;
                    ++m_pos;
                    continue;
                }
            }
            ++m_counters.mavlink1;
            m_pos += total;
            continue;
        }
        if (p[0] != kStx2) {
            ++m_counters.skippedBytes;
            ++m_pos;
            continue;
        }
        if (avail < kHeaderLen)
            return false;
        const uint8_t len = p[1];
        const uint8_t incompat = p[2];
        if (incompat & ~kIncompatSigned) {
            ++m_counters.skippedBytes;
            ++m_pos;
            continue;
        }
        const bool isSigned = incompat & kIncompatSigned;
        const size_t total = kHeaderLen + len + 2 + (isSigned ? kSignatureLen : 0);
        if (avail < total)
            return false;
        const uint32_t msgid = uint32_t(p[7]) | (uint32_t(p[8]) << 8) | (uint32_t(p[9]) << 16);
        const MsgInfo* info = findMessage(msgid);
        if (!info) {
            ++m_counters.unknownMessages;
            m_pos += total;
            continue;
        }
        uint16_t crc = crcX25(p + 1, kHeaderLen - 1 + len);
        crc = crcX25(&info->crcExtra, 1, crc);
        if (crc != uint16_t(p[kHeaderLen + len] | (p[kHeaderLen + len + 1] << 8))) {
            ++m_counters.crcErrors;
            ++m_counters.skippedBytes;
            ++m_pos;
            continue;
        }
        frame.seq = p[4];
        frame.sysid = p[5];
        frame.compid = p[6];
        frame.msgid = msgid;
        frame.payloadLen = len;
        frame.payload.fill(0);
        std::memcpy(frame.payload.data(), p + kHeaderLen, std::min<size_t>(len, info->length));
        frame.isSigned = isSigned;
        sig = Signature::None;
        if (isSigned) {
            const uint8_t* s = p + kHeaderLen + len + 2;
            frame.linkId = s[0];
            frame.timestamp = 0;
            for (int i = 0; i < 6; ++i)
                frame.timestamp |= uint64_t(s[1 + i]) << (8 * i);
            bool ok = false;
            if (m_key) {
                const auto expect = signatureOf(*m_key, p, kHeaderLen + len + 2, s[0], s + 1);
                ok = std::memcmp(expect.data(), s + 7, 6) == 0;
            }
            sig = ok ? Signature::Valid : Signature::Invalid;
        }
        ++m_counters.frames;
        m_pos += total;
        return true;
    }
}

ReplayGuard::Verdict ReplayGuard::check(const Frame& frame, uint64_t now)
{
    if (frame.timestamp > now + kMinute)
        return Verdict::Ahead;
    const uint32_t stream = (uint32_t(frame.sysid) << 16) | (uint32_t(frame.compid) << 8) | frame.linkId;
    auto it = m_last.find(stream);
    if (it == m_last.end()) {
        if (frame.timestamp + kMinute < now)
            return Verdict::Stale;
        if (m_last.size() >= kMaxStreams)
            return Verdict::Full;
        m_last.emplace(stream, frame.timestamp);
        return Verdict::Accepted;
    }
    if (frame.timestamp <= it->second)
        return Verdict::Replayed;
    it->second = frame.timestamp;
    return Verdict::Accepted;
}

}  // namespace mavlink
