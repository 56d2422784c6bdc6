#pragma once
// Forwards telemetry frames (commands 0x20 to 0x2F) exactly as they came over the link.

#include "TelemetryFrameTranslator.h"

class RawEb90FrameTranslator : public TelemetryFrameTranslator {
public:
    std::optional<QByteArray> translate(const QByteArray& frame, OstAbstractLink* link) override;
    static bool isTelemetryFrame(const QByteArray& frame);
};
