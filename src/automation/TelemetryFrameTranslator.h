#pragma once
// Decides what of a received frame is forwarded to telemetry clients, and in what form.

#include <QByteArray>

#include <optional>

class OstAbstractLink;

class TelemetryFrameTranslator {
public:
    virtual ~TelemetryFrameTranslator() = default;
    // The bytes to send, or nothing to drop the frame.
    virtual std::optional<QByteArray> translate(const QByteArray& frame, OstAbstractLink* link) = 0;
};
