#include "RawEb90FrameTranslator.h"

std::optional<QByteArray> RawEb90FrameTranslator::translate(const QByteArray& frame, OstAbstractLink*)
{
    if (!isTelemetryFrame(frame))
        return std::nullopt;
    return frame;
}

bool RawEb90FrameTranslator::isTelemetryFrame(const QByteArray& frame)
{
    if (frame.size() < 10)
        return false;
    const auto cmd = static_cast<unsigned char>(frame.at(5));
    return cmd >= 0x20 && cmd <= 0x2F;
}
