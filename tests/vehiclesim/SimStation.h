#pragma once
// A UDP socket on 127.0.0.1 playing the station against an in-process simulator, and the frame
// helpers the simulator's tests share.

#include "FrameWire.h"
#include "LoopbackPeers.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "TestSupport.h"
#include "VehicleSimulator.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace simtest {

using testsupport::toWire;

inline QByteArray takeOff(uint8_t rx, uint8_t seq, uint16_t alt = 30, uint8_t vel = 4)
{
    _MavPFrame_t f;
    MavProtoCtrlCmdProcesser::packTakeOffPFrame(f, rx, seq, {alt, vel});
    return toWire(f);
}

inline std::optional<_MavPFrame_t> parse(const QByteArray& wire)
{
    _MavPFrame_t f;
    const auto* p = reinterpret_cast<const unsigned char*>(wire.constData());
    if (MavProtoHelper::parseMavProtoFrame(p, unsigned(wire.size()), f) != MAVPROTO_PARSE_RESULT_OK)
        return std::nullopt;
    return f;
}

// Every frame received that is not a heartbeat, in arrival order.
inline QList<_MavPFrame_t> answersIn(const testsupport::UdpPeer& peer)
{
    QList<_MavPFrame_t> list;
    for (const QByteArray& d : peer.datagrams()) {
        const auto f = parse(d);
        if (f && f->cmd != MavCmd::Heartbeat)
            list.append(*f);
    }
    return list;
}

struct SimStation {
    testsupport::UdpPeer peer;
    std::unique_ptr<VehicleSimulator> sim;

    ::testing::AssertionResult start(SimOptions options)
    {
        options.stationHost = QStringLiteral("127.0.0.1");
        options.stationPort = peer.port();
        sim = std::make_unique<VehicleSimulator>(options);
        QString error;
        if (!sim->start(&error))
            return ::testing::AssertionFailure() << error.toStdString();
        return ::testing::AssertionSuccess();
    }

    bool send(const QByteArray& bytes, quint16 port = 0) { return peer.sendTo(bytes, port ? port : sim->listenPort()); }

    QList<_MavPFrame_t> answers() const { return answersIn(peer); }
};

}  // namespace simtest
