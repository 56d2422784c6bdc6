#pragma once
// Cuts frames out of one received byte stream the way the station does: while at least a
// minimal frame is buffered, parse at the front; a wrong head drops one byte, a failed check
// drops two (the search resumes inside the rejected frame), an incomplete frame waits for more.

#include "MavProtoDefs.h"

#include <QByteArray>

#include <functional>

class SimFrameCutter {
public:
    struct Stats {
        quint64 frames = 0;
        quint64 badHeadBytes = 0;
        quint64 crcErrors = 0;
    };

    // wire holds exactly the frame's bytes, frame the parsed record.
    using FrameHandler = std::function<void(const QByteArray& wire, const _MavPFrame_t& frame)>;

    // Appends bytes and hands every whole frame to onFrame, in wire order.
    void feed(const QByteArray& bytes, const FrameHandler& onFrame);

    qsizetype buffered() const { return m_buffer.size(); }
    const Stats& stats() const { return m_stats; }

private:
    QByteArray m_buffer;
    Stats m_stats;
};
