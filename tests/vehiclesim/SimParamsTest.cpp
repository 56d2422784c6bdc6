// The params file of the simulator, with a UDP socket playing the station and the station's own
// packers building the requests. Reads, writes, calibrations and id changes run end to end in
// tests/vehicle.

#include "SimStation.h"

#include "MavProtoParamsProcesser.h"
#include "SimVehicleParams.h"

#include <QFile>
#include <QJsonDocument>

using simtest::SimStation;
using simtest::toWire;
using testsupport::waitUntil;
using P = MavProtoParamsProcesser;

namespace {

constexpr uint8_t kOk = 0;
constexpr uint8_t kOutOfRange = SimVehicle::kResultOutOfRange;

// Sends a request and waits for the answer with its command and sequence number.
std::optional<_MavPFrame_t> exchange(SimStation& st, const _MavPFrame_t& request)
{
    auto find = [&]() -> std::optional<_MavPFrame_t> {
        for (const _MavPFrame_t& f : st.answers()) {
            if (f.cmd == request.cmd && f.seq == request.seq)
                return f;
        }
        return std::nullopt;
    };
    if (!st.send(toWire(request)) || !waitUntil([&] { return find().has_value(); }, 3000))
        return std::nullopt;
    return find();
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
    EXPECT_EQ(readCode(st, 9, 1), "PERSIST-2") << "answers under its stored id";
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
        {"unknown field", R"({"vehicles": {"1": {"pos": {"posWP": 1}}}})", "unknown member pos.posWP"},
        {"value of the wrong type", R"({"vehicles": {"1": {"stab": {"rollP": "high"}}}})",
         "stab.rollP is not a number"},
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
        const QString path =
            row.content.isEmpty() ? dir + "/missing/params.json" : dir + QStringLiteral("/params-%1.json").arg(++n);
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

        EXPECT_EQ(readFile(path), row.content) << "a refused file is left as it was";
    }
}
