// The queue alone: a stand-in vehicle records what is sent, a fake clock drives resends and
// time-outs, the test plays the vehicle's answers.

#include "protocol/MavCmdTimeoutEvent.h"
#include "protocol/MavRequestQueueManager.h"

#include "MavProtoHelper.h"
#include "OstAbstractLink.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

struct Record {
    std::vector<MavPFramePtr> sent;
    int expected = 0, received = 0, lost = 0;
};

class FakeVehicle : public MavRequestQueueOwner {
public:
    explicit FakeVehicle(Record& r)
        : m_r(r)
    {
    }
    int vehicleId() const override { return 5; }
    bool sendMavPFrame(const MavPFramePtr& frame) override
    {
        m_r.sent.push_back(frame);
        return true;
    }
    void markAckExpectedForStats() override { ++m_r.expected; }
    void markAckReceivedForStats() override { ++m_r.received; }
    void markAckLostForStats() override { ++m_r.lost; }

private:
    Record& m_r;
};

class TimeoutSink : public QObject {
public:
    std::vector<MavCmdRequestMessagePtr> timedOut;
    bool event(QEvent* e) override
    {
        if (e->type() != MavCmdTimeoutEvent::eventType())
            return QObject::event(e);
        timedOut.push_back(static_cast<MavCmdTimeoutEvent*>(e)->request());
        return true;
    }
};

MavPFramePtr frame(uint8_t from, uint8_t to, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data)
{
    auto f = std::make_shared<_MavPFrame_t>();
    MavProtoHelper::packMavProtoFrame(*f, from, to, seq, cmd, data);
    return f;
}

enum class Req { Land, Length, Chain, NoTimeout };
enum class Outcome { Nothing, Result, Unmatched, TimedOut, Cancelled };
// Cancel: by the request (another one when !removes); CancelSeq: by the current cmd, seq + seqShift.
enum Kind { Ack, Wait, Stop, Gone, Cancel, CancelSeq };
struct Step {
    Kind kind;
    std::vector<uint8_t> data = {0};
    int seqShift = 0;
    uint8_t from = 5;
    uint8_t cmd = 0;  // 0: the current request's command
    int64_t waitMs = 2000;
    bool removes = true;  // what a cancel returns
};

// Land: result 0 wanted, 2 s, two resends. Length: three data bytes wanted. Chain: three children
// (result 0, one resend each) under a 2 s, two-resend parent. NoTimeout: never times out.
MavCmdRequestMessagePtr makeRequest(Req kind)
{
    if (kind != Req::Chain) {
        const auto check = kind == Req::Length ? CheckDataLen : CheckResult;
        return MavCmdRequestMessage::create(frame(0x81, 5, 10, 0x84, {}), check, 3, 0,
                                            kind == Req::NoTimeout ? 0 : 2000, 2);
    }
    auto parent = MavCmdRequestMessage::create(nullptr, CheckResult, 0, 0, 2000, 2);
    for (uint8_t i = 0; i < 3; ++i)
        parent->appendChildReq(
            MavCmdRequestMessage::create(frame(0x81, 5, 20 + i, 0x43, {i}), CheckResult, 0, 0, 2000, 1));
    return parent;
}

}  // namespace

TEST(MavRequestQueue, FaultsAndOutcomes)
{
    struct Case {
        const char* name;
        Req req;
        std::vector<Step> steps;
        Outcome outcome;
        std::string sent;  // frames out, first send included: index of the request or chain child
        int expected, received, lost;
    };
    const Step ack0{Ack}, refused{Ack, {4}}, wait{Wait}, cancel{Cancel}, cancelSeq{CancelSeq};
    const std::vector<Case> cases = {
        {"accepted at once", Req::Land, {ack0}, Outcome::Result, "0", 0, 1, 0},
        {"not yet due", Req::Land, {{Wait, {}, 0, 5, 0, 1999}}, Outcome::Nothing, "0", 0, 0, 0},
        {"no answer", Req::Land, {wait, wait, wait}, Outcome::TimedOut, "000", 0, 0, 1},
        {"refused result", Req::Land, {refused, refused, refused}, Outcome::Result, "000", 0, 1, 0},
        {"refused once, then accepted", Req::Land, {refused, ack0}, Outcome::Result, "00", 0, 1, 0},
        {"wrong length", Req::Length, {{Ack, {1, 2}}, {Ack, {1, 2}}, {Ack, {1, 2}}}, Outcome::Result, "000", 0, 1, 0},
        {"right length", Req::Length, {{Ack, {1, 2, 3}}}, Outcome::Result, "0", 0, 1, 0},
        {"late ack after time-out", Req::Land, {wait, wait, wait, ack0}, Outcome::TimedOut, "000", 0, 0, 1},
        {"ack for another seq", Req::Land, {{Ack, {0}, 1}}, Outcome::Nothing, "0", 0, 0, 0},
        {"ack from another vehicle", Req::Land, {{Ack, {0}, 0, 6}}, Outcome::Nothing, "0", 0, 0, 0},
        {"ack for another command", Req::Land, {{Ack, {0}, 0, 5, 0x85}}, Outcome::Nothing, "0", 0, 0, 0},
        {"unmatched firmware final ack", Req::Land, {{Ack, {0}, 50, 5, 0xA4}}, Outcome::Unmatched, "0", 0, 0, 0},
        {"no time-out set", Req::NoTimeout, {{Wait, {}, 0, 5, 0, 3'600'000}}, Outcome::Nothing, "0", 0, 0, 0},
        {"chain answered", Req::Chain, {ack0, ack0, ack0}, Outcome::Result, "012", 2, 3, 0},
        {"chain child refused", Req::Chain, {ack0, refused, refused}, Outcome::Result, "011", 1, 2, 0},
        {"chain child unanswered", Req::Chain, {ack0, wait, wait, wait}, Outcome::TimedOut, "0111", 1, 1, 1},
        {"stop with requests pending", Req::Land, {{Stop}}, Outcome::TimedOut, "0", 0, 0, 0},
        {"vehicle gone", Req::Land, {{Gone}, wait, wait, wait}, Outcome::TimedOut, "0", 0, 0, 0},
        {"cancelled, answered late", Req::Land, {cancel, wait, wait, wait, ack0}, Outcome::Cancelled, "0", 0, 0, 0},
        {"cancelled by cmd and seq", Req::Land, {cancelSeq, wait, wait, wait, ack0}, Outcome::Cancelled, "0", 0, 0, 0},
        {"chain cancelled", Req::Chain, {ack0, cancel, wait, wait, wait, ack0}, Outcome::Cancelled, "01", 1, 1, 0},
        {"chain cancelled by its current child",
         Req::Chain,
         {ack0, cancelSeq, wait, wait, wait, ack0},
         Outcome::Cancelled,
         "01",
         1,
         1,
         0},
        {"cancel of another request",
         Req::Land,
         {{Cancel, {}, 0, 5, 0, 0, false}, wait, wait, wait},
         Outcome::TimedOut,
         "000",
         0,
         0,
         1},
        {"cancel by an answered child",
         Req::Chain,
         {ack0, {CancelSeq, {}, -1, 5, 0, 0, false}, wait, wait, wait},
         Outcome::TimedOut,
         "0111",
         1,
         1,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Record rec;
        auto vehicle = std::make_shared<FakeVehicle>(rec);
        int64_t nowMs = 1'000'000;
        TimeoutSink sink;
        MavRequestQueueManager queue(
            vehicle, nullptr, [&] { return nowMs; }, 3'600'000);
        std::vector<MavCmdRequestMessagePtr> results;
        QObject::connect(&queue, &MavRequestQueueManager::mavPFrameReceived,
                         [&](MavPFramePtr, OstAbstractLink*, MavCmdRequestMessagePtr r) { results.push_back(r); });
        queue.startTimeoutCheck();

        const auto req = makeRequest(c.req);
        const auto current = [&] { return req->childReqs.isEmpty() ? req : req->childReqs.first(); };
        std::vector<MavPFramePtr> frames{req->pframe};
        if (!req->childReqs.isEmpty())
            frames = {req->childReqs[0]->pframe, req->childReqs[1]->pframe, req->childReqs[2]->pframe};
        ASSERT_TRUE(queue.appendCmdReq(req, &sink));
        EXPECT_FALSE(queue.appendCmdReq(req, &sink)) << "the same request twice";
        // The steps run every check themselves: no worker pass may run behind them.
        queue.stopTimeoutCheck();
        vehicle->sendMavPFrame(current()->pframe);
        for (const auto& s : c.steps) {
            if (s.kind == Ack)
                queue.handleMavPFrame(
                    frame(s.from, 0x81, uint8_t(current()->seq + s.seqShift), s.cmd ? s.cmd : current()->cmd, s.data),
                    nullptr);
            else if (s.kind == Wait) {
                nowMs += s.waitMs;
                queue.runTimeoutCheck();
            } else if (s.kind == Cancel) {
                EXPECT_EQ(queue.cancelReq(s.removes ? req : makeRequest(c.req)), s.removes);
            } else if (s.kind == CancelSeq) {
                EXPECT_EQ(queue.cancelReq(current()->cmd, uint8_t(current()->seq + s.seqShift)), s.removes);
            } else if (s.kind == Stop) {
                queue.stopTimeoutCheck();
                queue.abortAll();
            } else {
                vehicle.reset();
            }
        }
        QCoreApplication::sendPostedEvents(&sink, MavCmdTimeoutEvent::eventType());

        std::string sent;
        for (const auto& f : rec.sent)
            sent += char('0' + (std::find(frames.begin(), frames.end(), f) - frames.begin()));
        EXPECT_EQ(sent, c.sent);
        using Reqs = std::vector<MavCmdRequestMessagePtr>;
        EXPECT_EQ(results, c.outcome == Outcome::Result      ? Reqs{req}
                           : c.outcome == Outcome::Unmatched ? Reqs{nullptr}
                                                             : Reqs{});
        EXPECT_EQ(sink.timedOut, c.outcome == Outcome::TimedOut ? Reqs{req} : Reqs{});
        EXPECT_EQ(queue.pendingCount(), c.outcome == Outcome::Nothing || c.outcome == Outcome::Unmatched ? 1 : 0);
        EXPECT_EQ(rec.expected, c.expected);
        EXPECT_EQ(rec.received, c.received);
        EXPECT_EQ(rec.lost, c.lost);
    }
}
