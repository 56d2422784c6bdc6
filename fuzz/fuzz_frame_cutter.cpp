// The frame cutter on arbitrary bytes: the first byte chooses how the rest is split into
// chunks, every frame found must re-serialise to exactly the bytes it came from, and the buffer
// may only hold what cannot yet be a frame.

#include "protocol/MavProtocolProcesser.h"

#include "MavProtoHelper.h"
#include "FuzzSupport.h"

#include <QByteArray>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::quietOnce();
    if (size == 0)
        return 0;
    const size_t chunk = 1 + data[0] % 97;
    MavProtocolProcesser processer;
    QObject::connect(&processer, &MavProtocolProcesser::mavPFrameReceived, [](MavPFramePtr f, OstAbstractLink*) {
        if (f->data.size() != f->data_len)
            std::abort();
    });
    QObject::connect(&processer, &MavProtocolProcesser::originPFrameDataReceived,
                     [](std::shared_ptr<QByteArray> raw, OstAbstractLink*) {
                         _MavPFrame_t f;
                         const auto* p = reinterpret_cast<const unsigned char*>(raw->constData());
                         if (MavProtoHelper::parseMavProtoFrame(p, unsigned(raw->size()), f) !=
                             MAVPROTO_PARSE_RESULT_OK)
                             std::abort();
                         std::vector<uint8_t> again;
                         MavProtoHelper::mavPFrameToSendBytes(again, f);
                         if (again.size() != size_t(raw->size()) || std::memcmp(again.data(), p, again.size()) != 0)
                             std::abort();
                     });
    for (size_t at = 1; at < size; at += chunk) {
        const size_t n = std::min(chunk, size - at);
        processer.handleUdpLinkData(QStringLiteral("127.0.0.1:1"),
                                    QByteArray(reinterpret_cast<const char*>(data + at), qsizetype(n)), nullptr);
    }
    // Whatever stays buffered is at most one frame's worth of bytes.
    if (processer.bufferedBytes() > 0xFFFF + 10)
        std::abort();
    return 0;
}
