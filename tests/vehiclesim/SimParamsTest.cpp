// Parameter groups, reset, calibrations, vehicle code, id change and the params file, with a
// UDP socket playing the station and the station's own packers building the requests.

#include "SimStation.h"

#include "MavProtoParamsProcesser.h"
#include "SimVehicleParams.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>

#include <cstring>
#include <functional>
#include <type_traits>

using simtest::frameBytes;
using simtest::SimStation;
using simtest::toWire;
using testsupport::waitUntil;
using P = MavProtoParamsProcesser;

namespace {

constexpr uint8_t kOk = 0;
constexpr uint8_t kRefused = SimVehicle::kResultRefused;
constexpr uint8_t kOutOfRange = SimVehicle::kResultOutOfRange;

// One parameter group as the station sees it.
struct Group {
    const char* name;
    uint8_t cmd;
    uint16_t readLen;
    std::function<void(_MavPFrame_t&, uint8_t rx, uint8_t seq)> packRead;
    std::function<uint16_t(_MavPFrame_t&, uint8_t rx, uint8_t seq, const SimParams&)> packWrite;
    std::function<bool(const _MavPFrame_t&, SimParams&)> parseRead;  // into the group's member
};

template <typename Natural>
Group group(const char* name, uint8_t cmd, uint16_t readLen, Natural SimParams::*member,
            std::type_identity_t<uint16_t (*)(_MavPFrame_t&, uint8_t, uint8_t)> packRead,
            std::type_identity_t<uint16_t (*)(_MavPFrame_t&, uint8_t, uint8_t, const Natural&)> packWrite,
            std::type_identity_t<bool (*)(const _MavPFrame_t&, Natural&)> parseRead)
{
    return Group{name,
                 cmd,
                 readLen,
                 [packRead](_MavPFrame_t& f, uint8_t rx, uint8_t seq) { packRead(f, rx, seq); },
                 [packWrite, member](_MavPFrame_t& f, uint8_t rx, uint8_t seq, const SimParams& p) {
                     return packWrite(f, rx, seq, p.*member);
                 },
                 [parseRead, member](const _MavPFrame_t& f, SimParams& p) { return parseRead(f, p.*member); }};
}

enum { kBasic, kStab, kPos, kFixedStab, kFixedPos, kRes };

// In the order of the enumeration above.
const std::vector<Group>& groups()
{
    static const std::vector<Group> all = {
        group("basic", MavCmd::BasicParams, 48, &SimParams::basic, &P::packReadBasicParamsFrame,
              &P::packWriteBasicParamsFrame, &P::parseReadBasicParamsAck),
        group("stab", MavCmd::AttitudeParams, 40, &SimParams::stab, &P::packReadStabilizeCtrlParamsFrame,
              &P::packWriteStabilizeCtrlParamsFrame, &P::parseReadStabilizeCtrlParamsAck),
        group("pos", MavCmd::PositionParams, 40, &SimParams::pos, &P::packReadPosCtrlParamsFrame,
              &P::packWritePosCtrlParamsFrame, &P::parseReadPosCtrlParamsAck),
        group("fixedStab", MavCmd::FixedAttitudeParams, 40, &SimParams::fixedStab,
              &P::packReadFixedStabilizeCtrlParamsFrame, &P::packWriteFixedStabilizeCtrlParamsFrame,
              &P::parseReadFixedStabilizeCtrlParamsAck),
        group("fixedPos", MavCmd::FixedPositionParams, 40, &SimParams::fixedPos, &P::packReadFixedPosCtrlParamsFrame,
              &P::packWriteFixedPosCtrlParamsFrame, &P::parseReadFixedPosCtrlParamsAck),
        group("res", MavCmd::ResParams, 80, &SimParams::res, &P::packReadResParamsFrame, &P::packWriteResParamsFrame,
              &P::parseReadResParamsAck),
    };
    return all;
}

// Sends a request and waits for the answer with its command and sequence number.
std::optional<_MavPFrame_t> exchange(SimStation& st, const QByteArray& request, uint8_t cmd, uint8_t seq)
{
    auto find = [&]() -> std::optional<_MavPFrame_t> {
        for (const _MavPFrame_t& f : st.answers()) {
            if (f.cmd == cmd && f.seq == seq)
                return f;
        }
        return std::nullopt;
    };
    if (!st.send(request) || !waitUntil([&] { return find().has_value(); }, 3000))
        return std::nullopt;
    return find();
}

std::optional<_MavPFrame_t> exchange(SimStation& st, const _MavPFrame_t& request)
{
    return exchange(st, toWire(request), request.cmd, request.seq);
}

// A basic write the station's packers would refuse to build (they keep 0x81 off the wire).
QByteArray rawBasicWrite(uint8_t rx, uint8_t seq, const MavProtoBasicParams_t& basic)
{
    MavProtoBasicParamsWire_t wire{};
    EXPECT_TRUE(P::toWire(basic, wire));
    return frameBytes(MAVPROTO_GCS_ID, rx, seq, MavCmd::BasicParams, MavProtoHelper::recordBytes(wire));
}

std::string readCode(SimStation& st, uint8_t rx, uint8_t seq)
{
    _MavPFrame_t f;
    P::packReadVehicleCodeFrame(f, rx, seq);
    const auto reply = exchange(st, f);
    std::string code = "<no reply>";
    if (reply && reply->data.size() == MAVPROTO_VEHICLE_CODE_LEN) {
        EXPECT_TRUE(P::parseReadVehicleCodeParamsAck(*reply, code));
    }
    return code;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

TEST(SimParams, EveryReadHasItsWireLengthAndDecodesToTheDefaults)
{
    SimStation st;
    SimOptions o;
    o.count = 2;
    ASSERT_TRUE(st.start(o));
    uint8_t seq = 0;
    for (const uint8_t id : {1, 2}) {
        const SimParams defaults = SimParams::defaults(id);
        EXPECT_EQ(st.sim->vehicle(id)->params().params(), defaults);
        EXPECT_EQ(defaults.basic.vehicleId, id);
        EXPECT_EQ(std::string(defaults.basic.version, 6), "V2.1.0");
        EXPECT_TRUE(SimParams::check(defaults.basic).isEmpty()) << SimParams::check(defaults.basic).toStdString();
        for (const Group& g : groups()) {
            SCOPED_TRACE(testing::Message() << "vehicle " << int(id) << " " << g.name);
            _MavPFrame_t req;
            g.packRead(req, id, ++seq);
            const auto reply = exchange(st, req);
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->tx_id, id);
            EXPECT_EQ(reply->rx_id, MAVPROTO_GCS_ID);
            ASSERT_EQ(reply->data.size(), g.readLen) << "a read reply is the record alone, no result byte";
            SimParams decoded = defaults;
            ASSERT_TRUE(g.parseRead(*reply, decoded));
            EXPECT_EQ(decoded, defaults) << "decodes bit for bit to what the vehicle holds";
        }
        EXPECT_EQ(readCode(st, id, ++seq), "") << "no --code: an all-NUL code";
    }
    EXPECT_EQ(st.sim->counters().paramReads, 14u);
}

TEST(SimParams, WritesAreStoredOrRefusedWholeAndResetRestoresTheDefaults)
{
    struct Row {
        const char* name;
        int group;
        std::function<void(SimParams&)> edit;
        uint8_t result;
        std::optional<std::vector<uint8_t>> payload = std::nullopt;  // sent as is
    };
    const std::vector<Row> rows = {
        {"basic, with a version the firmware ignores", kBasic,
         [](SimParams& p) {
             p.basic.maxFlyAlt = 1200;
             p.basic.vol1 = 23.1f;
             p.basic.gpsX = -0.345f;
             p.basic.returnAltitudeM = 80.3f;
             std::memcpy(p.basic.version, "V9.9.9", 6);
         },
         kOk},
        {"altitude above 5000 m", kBasic, [](SimParams& p) { p.basic.maxFlyAlt = 6000; }, kOutOfRange},
        {"voltage above 60 V", kBasic, [](SimParams& p) { p.basic.vol2 = 61.0f; }, kOutOfRange},
        {"unknown airframe", kBasic, [](SimParams& p) { p.basic.mavType = 0x0A; }, kOutOfRange},
        {"vehicle id 0", kBasic, [](SimParams& p) { p.basic.vehicleId = 0; }, kOutOfRange},
        {"vehicle id of the station", kBasic, [](SimParams& p) { p.basic.vehicleId = 0x81; }, kOutOfRange},
        {"stab", kStab, [](SimParams& p) { p.stab.rollP = 6.123f, p.stab.rollRateD = 0.00412f; }, kOk},
        {"rate D above 0.5 (the wire carries it)", kStab, [](SimParams& p) { p.stab.yawRateD = 0.6f; }, kOutOfRange},
        {"pos", kPos, [](SimParams& p) { p.pos.velXP = 3.25f; }, kOk},
        {"position P above 20", kPos, [](SimParams& p) { p.pos.posZP = 21.0f; }, kOutOfRange},
        {"fixedStab", kFixedStab, [](SimParams& p) { p.fixedStab.pitchI = 0.333f; }, kOk},
        {"fixedPos", kFixedPos, [](SimParams& p) { p.fixedPos.posVKf = 1.2345f; }, kOk},
        {"res", kRes, [](SimParams& p) { p.res.res3 = -12.34f, p.res.res19 = 327.67f, p.res.res25 = 123456.789; }, kOk},
        {"basic payload one byte short", kBasic, [](SimParams&) {}, kOutOfRange, std::vector<uint8_t>(47, 0)},
        {"stab payload of a result byte", kStab, [](SimParams&) {}, kOutOfRange, std::vector<uint8_t>{0}},
    };

    SimStation st;
    SimOptions o;
    o.code = "VC-0001";
    ASSERT_TRUE(st.start(o));
    SimVehicle* v = st.sim->vehicle(1);
    uint8_t seq = 0;
    quint64 writes = 0;
    quint64 refusals = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Group& g = groups()[row.group];
        const SimParams before = v->params().params();
        SimParams wanted = before;
        row.edit(wanted);

        QByteArray request;
        _MavPFrame_t f;
        if (row.payload)
            request = frameBytes(MAVPROTO_GCS_ID, 1, ++seq, g.cmd, *row.payload);
        else if (wanted.basic.vehicleId == 0x81)
            request = rawBasicWrite(1, ++seq, wanted.basic);
        else if (g.packWrite(f, 1, ++seq, wanted) != 0)
            request = toWire(f);
        const auto ack = exchange(st, request, g.cmd, seq);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->tx_id, 1);
        EXPECT_EQ(ack->data, std::vector<uint8_t>{row.result});
        (row.result == kOk ? writes : refusals)++;
        if (row.result != kOk) {
            EXPECT_EQ(v->params().params(), before) << "a refused write changes nothing";
            continue;
        }

        // Read back: the written record put through the wire once (each field to within one
        // wire step), with the firmware's own version.
        SimParams rounded = wanted;
        ASSERT_TRUE(g.parseRead(f, rounded));
        std::memcpy(rounded.basic.version, SimParams::kVersion, 6);
        EXPECT_EQ(v->params().params(), rounded);
        g.packRead(f, 1, ++seq);
        const auto reply = exchange(st, f);
        SimParams readBack = before;
        ASSERT_TRUE(reply && g.parseRead(*reply, readBack));
        EXPECT_EQ(readBack, rounded);
    }
    EXPECT_EQ(st.sim->counters().paramWrites, writes);
    EXPECT_EQ(st.sim->counters().paramRefusals, refusals);

    const auto refused = exchange(st, frameBytes(MAVPROTO_GCS_ID, 1, 100, MavCmd::ResetParams, {1}), MavCmd::ResetParams, 100);
    EXPECT_TRUE(refused && refused->data == std::vector<uint8_t>{kOutOfRange}) << "reset takes no payload";
    EXPECT_FALSE(v->params().params() == SimParams::defaults(1, "VC-0001"));
    const auto reset = exchange(st, frameBytes(MAVPROTO_GCS_ID, 1, 101, MavCmd::ResetParams), MavCmd::ResetParams, 101);
    EXPECT_TRUE(reset && reset->data == std::vector<uint8_t>{kOk});
    EXPECT_EQ(v->params().params(), SimParams::defaults(1, "VC-0001")) << "defaults; the code is not a parameter";
}

TEST(SimParams, CalibrationsStepToTheirFinalStepAndExcludeEachOther)
{
    SimStation st;
    ASSERT_TRUE(st.start(SimOptions()));
    constexpr uint8_t kAcc = MavCmd::AccCalibration;
    constexpr uint8_t kMag = MavCmd::MagCalibration;
    struct Row {
        uint8_t cmd;
        uint8_t step;
        uint8_t result;
        uint8_t reported;
    };
    const std::vector<Row> rows = {
        {kAcc, 2, kRefused, 0},      // not started
        {kAcc, 1, kOk, 1},           // start
        {kMag, 1, kRefused, 0},      // the accelerometer runs
        {kAcc, 3, kRefused, 1},      // skips step 2
        {kAcc, 2, kOk, 2},           {kAcc, 3, kOk, 3}, {kAcc, 4, kOk, 4},
        {kAcc, 4, kOk, 4},           // a resend
        {kAcc, 3, kRefused, 4},      // goes back
        {kAcc, 5, kOk, 5},           {kAcc, 6, kOk, 6}, {kAcc, 7, kOk, 7},
        {kAcc, 9, kOutOfRange, 7},   // beyond the final step
        {kAcc, 8, kOk, 8},           // done
        {kAcc, 8, kOk, 8},           // a resend of the final step
        {kMag, 0, kOutOfRange, 0},   // before the start step
        {kMag, 1, kOk, 1},           // the accelerometer is done
        {kAcc, 1, kRefused, 8},      // the compass runs
        {kMag, 2, kOk, 2},           {kMag, 3, kOk, 3},
        {kMag, 4, kOk, 4},           // done
        {kAcc, 1, kOk, 1},           // a new accelerometer calibration
    };
    const SimParams before = st.sim->vehicle(1)->params().params();
    uint8_t seq = 0;
    quint64 refusals = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.cmd == kAcc ? "accelerometer" : "compass") << " step " << int(row.step)
                                        << " (seq " << int(seq + 1) << ")");
        _MavPFrame_t f;
        if (row.cmd == kAcc)
            P::packAccMeterCaliActionFrame(f, 1, ++seq, MavProtoAccMeterCalibrateStep(row.step));
        else
            P::packMagCompassCaliActionFrame(f, 1, ++seq, MavProtoMagCompassCalibrateStep(row.step));
        const auto ack = exchange(st, f);
        ASSERT_TRUE(ack);
        MavProtoCaliAck_t parsed{};
        ASSERT_TRUE(row.cmd == kAcc ? P::parseAccMeterCaliAck(*ack, parsed) : P::parseMagCompassCaliAck(*ack, parsed));
        EXPECT_EQ(parsed.result, row.result);
        EXPECT_EQ(parsed.step, row.reported);
        refusals += row.result != kOk;
    }
    const SimVehicleParams& p = st.sim->vehicle(1)->params();
    EXPECT_EQ(p.accCaliStep(), 1);
    EXPECT_EQ(p.magCaliStep(), MAVPROTO_MAG_CALI_STEP_FINAL);
    EXPECT_EQ(p.params(), before) << "calibrations leave the parameters alone";
    EXPECT_EQ(st.sim->counters().paramRefusals, refusals);

    // A malformed step is refused the same way (the station's packer always sends one byte).
    const auto ack = exchange(st, frameBytes(MAVPROTO_GCS_ID, 1, 99, kMag, {1, 2}), kMag, 99);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->data, (std::vector<uint8_t>{kOutOfRange, 4}));
}

TEST(SimParams, VehicleCodeIsReadAndWrittenAndBadCodesAreRefused)
{
    SimStation st;
    SimOptions o;
    o.code = "SIM-0001";
    ASSERT_TRUE(st.start(o));
    EXPECT_EQ(readCode(st, 1, 1), "SIM-0001");

    std::vector<uint8_t> unprintable(MAVPROTO_VEHICLE_CODE_LEN, 0);
    unprintable[0] = 'A';
    unprintable[1] = 0x01;
    struct Row {
        const char* name;
        QByteArray request;
        uint8_t result;
        std::string stored;
    };
    auto write = [](uint8_t seq, const std::string& code) {
        _MavPFrame_t f;
        EXPECT_NE(P::packWriteVehicleCodeFrame(f, 1, seq, code), 0);
        return toWire(f);
    };
    const std::vector<Row> rows = {
        {"new code", write(10, "VX-2024-000123"), kOk, "VX-2024-000123"},
        {"twenty characters", write(11, "ABCDEFGHIJ0123456789"), kOk, "ABCDEFGHIJ0123456789"},
        {"all NUL", frameBytes(MAVPROTO_GCS_ID, 1, 12, MavCmd::VehicleCode, std::vector<uint8_t>(20, 0)), kOutOfRange,
         "ABCDEFGHIJ0123456789"},
        {"unprintable byte", frameBytes(MAVPROTO_GCS_ID, 1, 13, MavCmd::VehicleCode, unprintable), kOutOfRange,
         "ABCDEFGHIJ0123456789"},
        {"short payload", frameBytes(MAVPROTO_GCS_ID, 1, 14, MavCmd::VehicleCode, {'A', 'B'}), kOutOfRange,
         "ABCDEFGHIJ0123456789"},
    };
    uint8_t readSeq = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto ack = exchange(st, row.request, MavCmd::VehicleCode, simtest::parse(row.request)->seq);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->data, std::vector<uint8_t>{row.result});
        EXPECT_EQ(st.sim->vehicle(1)->params().code(), row.stored);
        EXPECT_EQ(readCode(st, 1, ++readSeq), row.stored);
    }
}

TEST(SimParams, IdChangeIsAcknowledgedUnderTheOldIdThenTheVehicleMoves)
{
    SimStation st;
    SimOptions o;
    o.count = 2;
    o.heartbeatMs = 20;
    ASSERT_TRUE(st.start(o));
    SimVehicle* const first = st.sim->vehicle(1);
    SimVehicle* const second = st.sim->vehicle(2);
    struct Row {
        const char* name;
        SimVehicle* vehicle;
        uint8_t from, to, result;
    };
    const std::vector<Row> rows = {
        {"id of the other simulated vehicle", second, 2, 1, kRefused},
        {"free id", first, 1, 7, kOk},
        {"id just taken by the first vehicle", second, 2, 7, kRefused},
        {"id the first vehicle left", second, 2, 1, kOk},
    };
    uint8_t seq = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MavProtoBasicParams_t b = row.vehicle->params().params().basic;
        b.vehicleId = row.to;
        _MavPFrame_t f;
        P::packWriteBasicParamsFrame(f, row.from, ++seq, b);
        const auto ack = exchange(st, f);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->tx_id, row.from) << "the acknowledgement leaves under the old id";
        EXPECT_EQ(ack->data, std::vector<uint8_t>{row.result});
        const uint8_t now = row.result == kOk ? row.to : row.from;
        EXPECT_EQ(row.vehicle->id(), now);
        EXPECT_EQ(row.vehicle->params().params().basic.vehicleId, now);
        EXPECT_EQ(st.sim->vehicle(now), row.vehicle);
        if (row.to != 7 || row.result != kOk)
            continue;

        // From the acknowledgement on, vehicle 1 speaks as 7 only.
        const int mark = int(st.peer.datagrams().size());
        ASSERT_TRUE(waitUntil([&] { return st.peer.datagrams().size() > mark + 4; }));
        bool heardSeven = false;
        for (const QByteArray& d : st.peer.datagrams().mid(mark)) {
            const auto hb = simtest::parse(d);
            ASSERT_TRUE(hb);
            EXPECT_NE(hb->tx_id, 1);
            heardSeven = heardSeven || (hb->cmd == MavCmd::Heartbeat && hb->tx_id == 7);
        }
        EXPECT_TRUE(heardSeven);
        EXPECT_EQ(st.sim->vehicle(1), nullptr);
        EXPECT_EQ(first->slotId(), 1);

        // A read for the old id goes unanswered: the one for the new id, sent after it, comes first.
        const quint64 foreign = st.sim->counters().foreignFrames;
        P::packReadBasicParamsFrame(f, 1, 50);
        ASSERT_TRUE(st.send(toWire(f)));
        P::packReadBasicParamsFrame(f, 7, 51);
        const auto reply = exchange(st, f);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->tx_id, 7);
        for (const _MavPFrame_t& a : st.answers())
            EXPECT_NE(a.seq, 50) << "a frame for the old id was answered";
        EXPECT_EQ(st.sim->counters().foreignFrames, foreign + 1);
        // Telemetry too (its frames count answers: this is the first).
        const auto tele = exchange(st, frameBytes(MAVPROTO_GCS_ID, 7, 52, MavCmd::RequestAllTele), MavCmd::TeleAhrs, 0);
        ASSERT_TRUE(tele);
        EXPECT_EQ(tele->tx_id, 7);
    }
    EXPECT_EQ(st.sim->vehicle(7), first);
    EXPECT_EQ(st.sim->vehicles().size(), 2);
}

TEST(SimParams, ParamsFileCarriesGroupsCodeAndIdIntoTheNextRun)
{
    const QString path = testsupport::makeTempDir("simparams") + "/params.json";
    // An entry of a vehicle this run does not simulate is kept as it is.
    ASSERT_TRUE(writeFile(path, R"({"note": "kept", "vehicles": {"40": {"code": "OTHER"}}})"));

    SimOptions o;
    o.count = 2;
    o.paramsFile = path;
    SimParams expected1 = SimParams::defaults(1);
    SimParams expected2 = SimParams::defaults(2);
    {
        SimStation st;
        ASSERT_TRUE(st.start(o));
        auto result = [&](uint16_t packed, const _MavPFrame_t& f) {
            const auto ack = packed ? exchange(st, f) : std::nullopt;
            return ack && ack->data.size() == 1 ? int(ack->data[0]) : -1;
        };
        _MavPFrame_t f;
        expected1.stab.rollP = 5.25f;
        expected1.res.res21 = -4321.5;
        expected2.code = "PERSIST-2";
        expected2.basic.vehicleId = 9;
        EXPECT_EQ(result(P::packWriteStabilizeCtrlParamsFrame(f, 1, 1, expected1.stab), f), kOk);
        EXPECT_EQ(result(P::packWriteResParamsFrame(f, 1, 2, expected1.res), f), kOk);
        EXPECT_EQ(result(P::packWriteVehicleCodeFrame(f, 2, 3, expected2.code), f), kOk);
        EXPECT_EQ(result(P::packWriteBasicParamsFrame(f, 2, 4, expected2.basic), f), kOk);
        // A refused write leaves the file alone.
        const QByteArray saved = readFile(path);
        MavProtoBasicParams_t bad = expected1.basic;
        bad.maxFlyAlt = 9000;
        EXPECT_EQ(result(P::packWriteBasicParamsFrame(f, 1, 5, bad), f), kOutOfRange);
        EXPECT_EQ(readFile(path), saved);
        EXPECT_EQ(st.sim->counters().paramsSaveFailures, 0u);
    }

    const QJsonObject root = QJsonDocument::fromJson(readFile(path)).object();
    EXPECT_EQ(root.value("note").toString(), "kept");
    EXPECT_EQ(root.value("vehicles").toObject().value("40").toObject().value("code").toString(), "OTHER");

    SimStation st;
    ASSERT_TRUE(st.start(o));
    ASSERT_NE(st.sim->vehicle(1), nullptr);
    ASSERT_NE(st.sim->vehicle(9), nullptr) << "vehicle 2 comes back under its stored id";
    EXPECT_EQ(st.sim->vehicle(2), nullptr);
    EXPECT_EQ(st.sim->vehicle(9)->slotId(), 2);
    EXPECT_EQ(st.sim->vehicle(1)->params().params(), expected1);
    EXPECT_EQ(st.sim->vehicle(9)->params().params(), expected2);
    EXPECT_EQ(readCode(st, 9, 1), "PERSIST-2");
    _MavPFrame_t read;
    P::packReadResParamsFrame(read, 1, 2);
    SimParams decoded;
    const auto reply = exchange(st, read);
    ASSERT_TRUE(reply && P::parseReadResParamsAck(*reply, decoded.res));
    EXPECT_EQ(decoded.res.res21, -4321.5);
}

TEST(SimParams, MalformedParamsFilesStopTheStartAndStayUntouched)
{
    const QString dir = testsupport::makeTempDir("simparams-bad");
    struct Row {
        const char* name;
        QByteArray content;  // empty: no file, in a folder that does not exist
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"not JSON", "{\"vehicles\": {", "not valid JSON at offset"},
        {"no vehicles object", "[1, 2]", "needs an object with a \"vehicles\" object"},
        {"bad vehicle key", R"({"vehicles": {"one": {}}})", "vehicle key \"one\" is not an id"},
        {"entry not an object", R"({"vehicles": {"1": 5}})", "vehicle 1 is not an object"},
        {"unknown group", R"({"vehicles": {"1": {"bogus": {}}}})", "unknown member entry.bogus"},
        {"unknown field", R"({"vehicles": {"1": {"pos": {"posWP": 1}}}})", "unknown member pos.posWP"},
        {"value of the wrong type", R"({"vehicles": {"1": {"stab": {"rollP": "high"}}}})", "stab.rollP is not a number"},
        {"value outside the limits", R"({"vehicles": {"1": {"basic": {"maxFlyAlt": 6000}}}})",
         "basic.maxFlyAlt 6000 outside 10..5000"},
        {"fractional integer", R"({"vehicles": {"1": {"basic": {"mavType": 1.5}}}})", "basic.mavType 1.5"},
        {"bad code", R"({"vehicles": {"2": {"code": "tab\there"}}})", "vehicle 2: code needs"},
        {"two vehicles on one id", R"({"vehicles": {"1": {"basic": {"vehicleId": 2}}}})",
         "vehicles 1 and 2 would both fly as vehicle 2"},
        {"missing folder", "", "does not exist"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = row.content.isEmpty() ? dir + "/missing/params.json"
                                                   : dir + QStringLiteral("/params-%1.json").arg(++n);
        if (!row.content.isEmpty()) {
            ASSERT_TRUE(writeFile(path, row.content));
        }

        SimOptions o;
        o.count = 2;
        o.paramsFile = path;
        o.stationPort = 9;
        VehicleSimulator sim(o);
        QString error;
        EXPECT_FALSE(sim.start(&error));
        EXPECT_EQ(sim.lastFailure(), VehicleSimulator::Failure::ParamsFile);
        EXPECT_TRUE(error.contains(row.reason)) << error.toStdString();
        EXPECT_TRUE(error.contains(path)) << "the error names the file";

        QProcess p;
        p.start(VELMORA_VEHICLE_SIM_BIN, {"--udp", "127.0.0.1:9", "--count", "2", "--params-file", path});
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 2);
        EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains(row.reason));
        EXPECT_EQ(readFile(path), row.content) << "a refused file is left as it was";
    }
}
