// The CLI command router driven against the station connected to the vehicle simulator.

#include "StationWithSim.h"

#include "SimVehicleMission.h"
#include "SimVehicleParams.h"

#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "automation/GcsCliServiceContext.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleUtil.h"

#include "NfzZoneManager.h"

#include <cmath>
#include <limits>
#include <set>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

GcsCliOutcomeRecorder* g_outcomes = nullptr;  // the fixture's, as the endpoint would own one

json request(const std::string& method, json params = nullptr)
{
    json r = {{"method", method}};
    if (!params.is_null())
        r["params"] = std::move(params);
    return r;
}

json dispatch(const json& req, GcsCliServiceContext context = {gcsApp()->appCtrler(), g_outcomes})
{
    return GcsCliCommandRouter::dispatch(context, req);
}

// The result of a call that must succeed.
json okData(const std::string& method, json params = nullptr)
{
    const json r = dispatch(request(method, std::move(params)));
    EXPECT_EQ(r["ok"], true) << method << ": " << r.dump();
    return r["data"];
}

const json kTakeoff = {{"action", "takeoff"}, {"alt", 20}, {"vel", 5}};

}  // namespace

class CliRouterWithSim : public StationWithSim {
protected:
    void SetUp() override
    {
        StationWithSim::SetUp();
        outcomes = std::make_unique<GcsCliOutcomeRecorder>(app->ctrl);
        g_outcomes = outcomes.get();
    }
    void TearDown() override
    {
        g_outcomes = nullptr;
        outcomes.reset();
        StationWithSim::TearDown();
    }

    // Polls command.status until the command leaves "pending".
    json settledStatus(const json& accepted, int timeoutMs = 5000)
    {
        json status;
        waitUntil(
            [&] {
                status = okData("command.status", {{"requestId", accepted["requestId"]}});
                return status["state"] != "pending";
            },
            timeoutMs);
        return status;
    }

    std::unique_ptr<GcsCliOutcomeRecorder> outcomes;
    void startAlive(SimOptions options, int vehicles = 1)
    {
        GcsSettings::getInstance()->setTeleReqInterval(100);
        ASSERT_NO_FATAL_FAILURE(StationWithSim::startAlive(options, vehicles));
    }
};

TEST_F(CliRouterWithSim, RefusesBadRequestsWithTheirCodeAndText)
{
    startAlive(SimOptions());
    const int64_t before = okData("control.command", {{"action", "suspend"}})["requestId"];
    const std::string IA = "InvalidArgs", NA = "NoActiveVehicle", CR = "CommandRejected";
    const std::string noVehicle = "No vehicle 99; known: 1";
    const std::string floatText = "Field must be an integer, not a floating-point number: ";
    const std::string rhAlt = "alt must fit int16 scaled by 10 in MAV return-home payload (approximately -3276.8 "
                              "to 3276.7 meters)";
    const std::string notFinite = "lat, lon, alt must be finite numbers (NaN and Inf are not allowed)";
    auto target = [](json p) { return request("vehicle.resolveTarget", std::move(p)); };
    auto cmd = [](json p) { return request("control.command", std::move(p)); };
    auto takeoff = [](const json& patch) {
        json t = kTakeoff;
        t.merge_patch(patch);
        return request("control.command", t);
    };
    auto home = [](const json& patch) {
        json h = {{"action", "returnHome"}, {"lat", 22.5}, {"lon", 113.9}, {"alt", 50}};
        h.merge_patch(patch);
        return request("control.command", h);
    };
    const struct {
        json req;
        std::string code;
        std::string message;
    } cases[] = {
        {json::array({1}), IA, "JSON root must be an object"},
        {json::object(), IA, "Missing required field: method"},
        {{{"method", 5}}, IA, "Field must be a string: method"},
        {{{"method", "system.ping"}, {"apiVersion", 1}}, IA, "apiVersion must be a string"},
        {{{"method", "system.ping"}, {"apiVersion", "2"}}, "VersionMismatch", "API version mismatch"},
        {{{"method", "system.ping"}, {"params", nullptr}}, IA, "params must be a JSON object"},
        {request("vehicle.fly"), IA, "Unknown method vehicle.fly; system.methods lists them"},
        {request("vehicle.lst"), IA, "Unknown method vehicle.lst; did you mean vehicle.list?"},
        {request("mision.upload"), IA, "Unknown method mision.upload; did you mean mission.upload?"},
        {request("connection.connect"), IA, "Missing params object for connection.connect"},
        {request("connection.connect", {{"type", "UDP"}}), IA,
         "Unsupported link type: only \"serial\" and \"udp\" are supported"},
        {target({{"vehicleCode", nullptr}}), IA, "vehicleCode cannot be null"},
        {target({{"vehicleCode", 7}}), IA, "vehicleCode must be a string"},
        {target({{"vehicleId", 3000000000u}}), IA, "vehicleId is out of int range"},
        {target({{"vehicleId", -3000000000LL}}), IA, "vehicleId is out of int range"},
        {target({{"vehicleId", 1.5}}), IA, floatText + "vehicleId"},
        {target({{"vehicleId", "1"}}), IA, "Field must be an integer: vehicleId"},
        {target({{"vehicleId", std::numeric_limits<uint64_t>::max()}}), IA,
         "Field vehicleId integer out of int64 range"},
        {target({{"vehicleId", 99}}), NA, noVehicle},
        {request("telemetry.snapshot", {{"vehicleCode", "nobody"}}), NA, "No vehicle with code nobody; known: 1"},
        {request("params.read"), IA, "Missing params object"},
        {request("params.read", json::object()), IA, "Missing required field: group"},
        {request("params.write", {{"group", 1}}), IA, "Field must be a string: group"},
        {request("params.read", {{"group", "Basic"}}), IA, "Unsupported params.group"},
        {request("params.write", {{"group", "fixedPos"}, {"vehicleId", 99}}), NA, noVehicle},
        {cmd(nullptr), IA, "Missing params object"},
        {cmd(json::object()), IA, "Missing required field: action"},
        {cmd({{"action", "fly"}}), IA, "Unsupported params.action"},
        {takeoff({{"vehicleId", 99}}), NA, noVehicle},
        {cmd({{"action", "takeoff"}}), IA, "Missing required field: alt"},
        {takeoff({{"alt", -1}}), IA, "alt must be a uint16 range integer"},
        {takeoff({{"alt", 65536}}), IA, "alt must be a uint16 range integer"},
        {takeoff({{"alt", 10.0}}), IA, floatText + "alt"},
        {takeoff({{"alt", 100}, {"vel", 256}}), IA, "vel must be in 0..255"},
        {takeoff({{"vel", nullptr}}), IA, "Missing required field: vel"},  // a null patch removes the field
        {home({{"lat", "22"}}), IA, "Field must be a number: lat"},
        {home({{"alt", std::nan("")}}), IA, notFinite},
        {home({{"lon", -INFINITY}}), IA, notFinite},
        {home({{"lat", 90.0001}}), IA, "lat must be in [-90, 90] degrees"},
        {home({{"lon", -180.5}}), IA, "lon must be in [-180, 180] degrees"},
        {home({{"alt", 3276.75}}), IA, rhAlt},
        {home({{"alt", -3276.85}}), IA, rhAlt},
        {request("vehicle.list", {{"vehicleID", 1}}), IA, "Unknown field: vehicleID"},
        {takeoff({{"vehicleID", 1}}), IA, "Unknown field: vehicleID"},
        {request("system.ping", {{"id", 7}}), IA, "Unknown field: id"},
        {takeoff({{"force", "yes"}}), IA, "Field must be a boolean: force"},
        {request("command.status", json::object()), IA, "Missing required field: requestId"},
        {request("command.status", {{"requestId", 987654}}), IA, "Unknown requestId"},
        {request("console.tail", {{"limit", 0}}), IA, "limit must be in 1..1000"},
        {request("vehicle.setActive", {{"vehicleId", 99}}), NA, noVehicle},
    };
    for (const auto& c : cases) {
        const json r = dispatch(c.req);
        EXPECT_EQ(r, json({{"apiVersion", "1"},
                           {"code", c.code},
                           {"data", json::object()},
                           {"domain", "business"},
                           {"message", c.message},
                           {"ok", false}}))
            << c.req.dump();
    }
    // No refusal used up a request id.
    EXPECT_EQ(okData("control.command", {{"action", "resume"}})["requestId"], before + 1);

    // Without an application only the methods that need none answer; unknown keys are not echoed.
    const GcsCliServiceContext none;
    EXPECT_EQ(dispatch({{"method", "system.ping"}, {"id", 7}}, none), json({{"apiVersion", "1"},
                                                                            {"code", nullptr},
                                                                            {"data", {{"pong", true}}},
                                                                            {"domain", "business"},
                                                                            {"message", "OK"},
                                                                            {"ok", true}}));
    EXPECT_EQ(dispatch(request("system.halt"), none)["message"], "Unknown method system.halt; system.methods lists them");
    for (const char* m : {"connection.status", "connection.disconnect", "vehicle.list", "alerts.active"})
        EXPECT_EQ(dispatch(request(m), none)["message"], "Station services are not available") << m;
    EXPECT_EQ(dispatch(request("control.command", kTakeoff), none)["code"], "CommandRejected");
}

TEST_F(CliRouterWithSim, ConnectsAndRefusesControlUntilAliveAndWhenTheLinkIsClosed)
{
    SimOptions options;
    options.silentAfterMs = 0;  // never alive, so it reads no parameters on its own
    startSim(options);
    EXPECT_EQ(okData("connection.status"), json({{"connectionMode", "None"},
                                                 {"connected", false},
                                                 {"activeVehicleId", nullptr},
                                                 {"activeVehicleCode", nullptr},
                                                 {"note", nullptr}}));
    const json params = {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", sim->listenPort()}};
    EXPECT_EQ(okData("connection.connect", params),
              json({{"accepted", true}, {"type", "udp"}, {"linkOpen", true}, {"error", ""}}));
    ASSERT_TRUE(waitUntil([&] { return okData("connection.status")["activeVehicleId"] == 1; }));
    EXPECT_EQ(okData("connection.status")["connectionMode"], "Local");
    EXPECT_EQ(okData("vehicle.resolveTarget"),
              json({{"vehicleId", 1}, {"vehicleCode", mvm()->activeVehicle()->vehicleCode().toStdString()}}));
    EXPECT_EQ(dispatch(request("control.command", kTakeoff))["message"],
              "Vehicle 1 is not alive; control commands are blocked");

    const quint64 before = sim->counters().commands;
    json read = okData("params.read", {{"group", "basic"}, {"vehicleId", 1}});
    EXPECT_TRUE(read["requestId"].is_number_integer());
    read.erase("requestId");
    EXPECT_EQ(read, json({{"accepted", true}, {"operation", "read"}, {"group", "basic"}}));
    EXPECT_TRUE(waitUntil([&] { return sim->counters().commands > before; })) << "the read reached the vehicle";

    LinkManagerFactory::getInstance().activeLinkMgr()->closeUdpSocketLink();
    ASSERT_TRUE(waitUntil([&] { return okData("connection.status")["connected"] == false; }));
    EXPECT_EQ(dispatch(request("control.command", kTakeoff))["message"],
              "GCS link is not connected; control commands are blocked");
    EXPECT_EQ(okData("vehicle.list")["linkConnected"], false);
    EXPECT_EQ(okData("telemetry.snapshot")["linkConnected"], false);

    EXPECT_EQ(okData("connection.disconnect"), json({{"accepted", true}}));
    EXPECT_EQ(okData("vehicle.list")["count"], 0);
    EXPECT_TRUE(waitUntil([&] { return okData("connection.status")["connectionMode"] == "None"; }));
}

TEST_F(CliRouterWithSim, TakeoffAcceptedAndSeenInTheSnapshotAlertsAndLinkStats)
{
    SimOptions options;
    options.fixAfterMs = 0;
    options.hdop = 45;  // raises the HDOP alert
    startAlive(options);
    auto vehicle = mvm()->activeVehicle();
    QSignalSpy takeoff(vehicle.get(), &VehicleController::takeoffResp);
    const json accepted = okData("control.command", kTakeoff);
    ASSERT_TRUE(waitUntil([&] { return takeoff.count() == 1; }));
    EXPECT_EQ(takeoff.at(0).at(0).toInt(), 0);
    double alt = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            alt = okData("telemetry.snapshot", {{"vehicleId", 1}})["position"]["alt"];
            return alt > 3.0;
        },
        4000))
        << "altitude " << alt;

    const json snap = okData("telemetry.snapshot");
    EXPECT_NE(snap["flightStatus"]["flightState"], 0);
    // Shown as the telemetry items show them: scaled, states as text, raw floats at their decimals.
    const json& shown = snap["display"];
    EXPECT_EQ(shown["flightStatus"].size(), snap["flightStatus"].size());
    EXPECT_EQ(shown["flightStatus"]["gnssHdop"], 4.5);
    EXPECT_TRUE(shown["flightStatus"]["flightState"].is_string()) << shown;
    EXPECT_EQ(shown["units"]["position"]["alt"], "m");
    EXPECT_EQ(snap["position"]["alt"], shown["position"]["alt"]);
    EXPECT_EQ(snap["ahrs"]["yaw"], shown["ahrs"]["yaw"]);

    json hdop;
    ASSERT_TRUE(waitUntil([&] {
        const json data = okData("alerts.active");
        EXPECT_EQ(data["count"], data["alerts"].size());
        for (const auto& a : data["alerts"])
            if (a["id"] == "vehicle.telemetry.gnss_hdop.high")
                hdop = a;
        return !hdop.is_null();
    }));
    EXPECT_GT(hdop["timestampMs"], 0);
    hdop.erase("timestampMs");
    EXPECT_EQ(hdop, json({{"id", "vehicle.telemetry.gnss_hdop.high"},
                          {"sourceField", "gnss_hdop"},
                          {"level", "Warning"},
                          {"currentValue", "4.5"},
                          {"expectedValue", ""},
                          {"thresholdValue", "3.0"},
                          {"message", "gnss_hdop 4.5 above 3.0"}}));

    // The range checks are inclusive at the poles and the date line.
    const json home = okData("control.command", {{"action", "returnHome"}, {"lat", 90}, {"lon", -180}, {"alt", 30}});
    EXPECT_EQ(home["requestId"], accepted["requestId"].get<int64_t>() + 1);
    EXPECT_TRUE(waitUntil([&] { return okData("vehicle.linkStats")["linkStats"]["ackRecvCount"] >= 2; }));
    EXPECT_GT(okData("vehicle.linkStats")["linkStats"]["telemetryActiveWindowCount"], 0);
}

TEST_F(CliRouterWithSim, ListsTwoSimulatedVehiclesAndARemoteOne)
{
    SimOptions options;
    options.count = 2;
    options.firstId = 11;
    startAlive(options, 2);
    const json list = okData("vehicle.list");
    ASSERT_EQ(list["count"], 2);
    EXPECT_EQ(list["linkConnected"], true);
    for (int i = 0; i < 2; ++i) {
        const auto v = mvm()->vehicleList().at(i);
        json entry = list["vehicles"][i];
        EXPECT_TRUE(entry["lastTelemetryAgeMs"].is_number() && entry["lastHeartbeatAgeMs"].is_number()) << entry;
        entry.erase("lastTelemetryAgeMs");
        entry.erase("lastHeartbeatAgeMs");
        EXPECT_EQ(entry, json({{"vehicleId", v->vehicleId()},
                               {"vehicleCode", v->vehicleCode().toStdString()},
                               {"controllerType", "Local"},
                               {"alive", true},
                               {"address", "127.0.0.1:" + std::to_string(sim->listenPort())}}));
    }
    EXPECT_EQ(okData("vehicle.resolveTarget", {{"vehicleCode", ""}, {"vehicleId", 11}})["vehicleId"], 11);
    EXPECT_EQ(okData("vehicle.resolveTarget")["vehicleId"], mvm()->activeVehicle()->vehicleId());
    EXPECT_TRUE(waitUntil([&] { return okData("telemetry.snapshot")["display"]["flightStatus"]["gnssHdop"] == 0.8; }))
        << "the simulator's HDOP of 8 tenths";

    // The chosen vehicle becomes every selector-less method's target.
    const int other = mvm()->activeVehicle()->vehicleId() == 11 ? 12 : 11;
    EXPECT_EQ(okData("vehicle.setActive", {{"vehicleId", other}})["activeVehicleId"], other);
    EXPECT_EQ(okData("vehicle.resolveTarget")["vehicleId"], other);
    EXPECT_EQ(okData("telemetry.snapshot")["vehicleId"], other);
    EXPECT_EQ(okData("connection.status")["activeVehicleId"], other);

    mvm()->addRemoteVehicle("RMT-7");
    const json remote = okData("vehicle.list")["vehicles"][2];
    EXPECT_EQ(remote["controllerType"], "Remote");
    EXPECT_TRUE(remote["lastTelemetryAgeMs"].is_null() && remote["lastHeartbeatAgeMs"].is_null()) << remote;
    EXPECT_EQ(okData("vehicle.resolveTarget", {{"vehicleCode", "RMT-7"}, {"vehicleId", 11}})["vehicleCode"], "RMT-7");
    EXPECT_EQ(dispatch(request("control.command", {{"action", "land"}, {"vehicleCode", "RMT-7"}}))["message"],
              "Vehicle RMT-7 is watched remotely; control commands go only to locally linked vehicles");
}

TEST_F(CliRouterWithSim, ReportsARefusedAndASilentCommandWithTheirConsoleLines)
{
    SimOptions options;
    options.fixAfterMs = 0;  // no critical position alert to hold the take-off back
    options.ackResults = {{0x81, 2}};  // take-off refused
    options.noReply = {0x84};  // land never answered
    startAlive(options);
    const int64_t firstSeq = okData("console.tail")["nextSeq"];
    const json takeoff = okData("control.command", kTakeoff);
    EXPECT_EQ(takeoff["vehicleIds"], json::array({1}));
    const std::string refusedText = VehicleUtil::gcsRetToString(2).toStdString();
    const json result = {{"vehicleId", 1}, {"code", 2}, {"text", refusedText}};
    EXPECT_EQ(settledStatus(takeoff), json({{"requestId", takeoff["requestId"]},
                                            {"vehicleIds", json::array({1})},
                                            {"action", "takeoff"},
                                            {"state", "done"},
                                            {"results", json::array({result})}}));
    const json tail = okData("console.tail", {{"since", firstSeq}});
    bool answerLine = false;
    for (const auto& line : tail["lines"]) {
        EXPECT_GE(line["seq"], firstSeq);
        const std::string text = line["text"];
        answerLine = answerLine || (line["level"] == "error" && text.rfind("[接收] ", 0) == 0 &&
                                    text.find(refusedText) != std::string::npos);
    }
    EXPECT_TRUE(answerLine) << tail.dump();
    EXPECT_EQ(okData("console.tail", {{"since", tail["nextSeq"]}})["lines"], json::array());
    EXPECT_EQ(okData("console.tail", {{"limit", 1}})["lines"].size(), 1u);

    // Three unanswered sends of 2 s each.
    const json land = okData("control.command", {{"action", "land"}});
    EXPECT_EQ(okData("command.status", {{"requestId", land["requestId"]}})["state"], "pending");
    const json status = settledStatus(land, 10000);
    EXPECT_EQ(status["state"], "timedOut");
    EXPECT_EQ(status["results"][0]["code"], 5000);
}

TEST_F(CliRouterWithSim, ParamsSetChangesOnlyTheNamedFieldsOfARead)
{
    SimOptions options;
    options.silentAfterMs = 0;  // never alive: no group is read unless asked
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    const std::string IA = "InvalidArgs", CR = "CommandRejected";
    const std::string notRead = "Parameter group not read from the vehicle yet; read it first";
    auto set = [](const std::string& group, json values) {
        return request("params.set", {{"group", group}, {"values", std::move(values)}});
    };
    auto refusalsAre = [&](const std::vector<std::tuple<json, std::string, std::string>>& cases) {
        for (const auto& [req, code, message] : cases) {
            const json r = dispatch(req);
            EXPECT_EQ(std::make_pair(r["code"], r["message"]), std::make_pair(json(code), json(message))) << req.dump();
        }
    };
    refusalsAre({
        {request("params.set", {{"group", "basic"}}), IA, "Missing required field: values"},
        {set("basic", json::object()), IA, "values must be a non-empty object"},
        {set("basic", 5), IA, "values must be a non-empty object"},
        {set("stab", {{"rollp", 1}}), IA, "Unknown parameter: rollp"},
        {set("stab", {{"rollP", "1"}}), IA, "Parameter rollP must be a number"},
        {set("stab", {{"rollP", 65.536}}), IA, "Parameter rollP out of range"},
        {set("stab", {{"rollRateD", -0.00001}}), IA, "Parameter rollRateD out of range"},
        {set("basic", {{"ahrsX", 1.28}}), IA, "Parameter ahrsX out of range"},
        {set("basic", {{"maxFlyAlt", 65536}}), IA, "Parameter maxFlyAlt out of range"},
        {set("res", {{"res20", 2147483.648}}), IA, "Parameter res20 out of range"},
        {set("basic", {{"version", 2}}), IA, "Parameter version belongs to the firmware and cannot be set"},
        {set("basic", {{"vehicleId", 129}}), IA, "Parameter vehicleId cannot be the station's id 129"},
        {set("Basic", {{"maxFlyAlt", 100}}), IA, "Unsupported params.group"},
        {set("basic", {{"maxFlyAlt", 100}}), CR, notRead},
        {request("params.write", {{"group", "basic"}}), CR, notRead},
    });
    const json unread = okData("params.get", {{"group", "pos"}});
    EXPECT_EQ(std::make_pair(unread["readSinceAlive"], unread["lastRead"]), std::make_pair(json(false), json(nullptr)));

    for (const char* group : {"basic", "pos"})
        EXPECT_EQ(settledStatus(okData("params.read", {{"group", group}}))["results"][0]["code"], 0) << group;
    json basic = okData("params.get", {{"group", "basic"}});
    EXPECT_EQ(basic["lastRead"], json({{"ok", true}, {"code", 0}}));
    EXPECT_EQ(basic["values"]["version"], "V2.1.0");
    EXPECT_EQ(basic["units"]["maxHorSpeed"], "m/s");
    json pos = okData("params.get", {{"group", "pos"}})["values"];

    // Busy while the read of another group is unanswered (the reply needs the event loop).
    const json reading = okData("params.read", {{"group", "res"}});
    refusalsAre({{set("pos", {{"posXP", 1}}), CR, "A parameter operation is in progress"}});
    settledStatus(reading);

    // Each value goes out rounded to its wire step; the rest of the group stays as read.
    const json accepted = okData("params.set", {{"group", "pos"}, {"values", {{"posXP", 1.2344}, {"velZD", 0.3}}}});
    EXPECT_EQ(accepted["group"], "pos");
    EXPECT_EQ(settledStatus(accepted)["results"][0]["code"], 0);
    EXPECT_EQ(okData("params.set", {{"group", "basic"}, {"values", {{"maxHorSpeed", 3.3}}}})["accepted"], true);
    EXPECT_FLOAT_EQ(sim->vehicle(1)->params().params().pos.posXP, 1.234f);
    pos["posXP"] = 1.234;
    pos["velZD"] = 0.3;
    EXPECT_EQ(settledStatus(okData("params.read", {{"group", "pos"}}))["results"][0]["code"], 0);
    EXPECT_EQ(okData("params.get", {{"group", "pos"}})["values"], pos);
    ASSERT_TRUE(waitUntil([&] { return sim->vehicle(1)->params().params().basic.maxHorSpeed == 3.5f; }));
}

// Before its fix a vehicle reports 0/0 for its position and home: the snapshot says unknown.
TEST_F(CliRouterWithSim, APositionBeforeTheFixIsUnknown)
{
    SimOptions options;
    options.fixAfterMs = 600000;
    startAlive(options);
    json snap;
    ASSERT_TRUE(waitUntil([&] { return (snap = okData("telemetry.snapshot"))["position"].contains("posSatNum"); }));
    for (const char* key : {"lat", "lon", "homeLat", "homeLon"}) {
        EXPECT_TRUE(snap["position"][key].is_null()) << key << " " << snap["position"];
        EXPECT_TRUE(snap["display"]["position"][key].is_null()) << key;
    }
    EXPECT_TRUE(snap["position"]["alt"].is_number());
}

TEST_F(CliRouterWithSim, AConnectThatCannotOpenKeepsTheWorkingLink)
{
    startAlive(SimOptions());
    const json failed = dispatch(
        request("connection.connect", {{"type", "serial"}, {"port", "/dev/ttyVelmoraMissing"}, {"baudrate", 115200}}));
    EXPECT_EQ(failed["ok"], false) << "a link that did not open is a failed request";
    EXPECT_EQ(failed["code"], "CommandRejected");
    EXPECT_EQ(failed["message"], "Cannot open serial port /dev/ttyVelmoraMissing: no such device");
    EXPECT_EQ(failed["data"]["linkOpen"], false);
    ASSERT_TRUE(waitUntil([&] { return okData("connection.status")["connected"] == true; }));
    EXPECT_EQ(settledStatus(okData("params.read", {{"group", "basic"}}))["results"][0]["code"], 0)
        << "the vehicle still answers over UDP";
}

TEST_F(CliRouterWithSim, TakeoffWithACriticalAlertIsRefusedUnlessForced)
{
    SimOptions options;
    options.fixAfterMs = 0;
    options.batteryState = 2;
    startAlive(options);
    const std::string key = "vehicle.telemetry.battery_state.critical_low";
    ASSERT_TRUE(waitUntil([&] { return okData("alerts.active")["alerts"].dump().find(key) != std::string::npos; }));
    EXPECT_EQ(dispatch(request("control.command", kTakeoff))["message"],
              "Critical alert active on vehicle 1: " + key + "; add \"force\": true to override");
    json forced = kTakeoff;
    forced["force"] = true;
    const json accepted = okData("control.command", forced);
    EXPECT_EQ(settledStatus(accepted)["results"][0]["code"], 0);
}

TEST_F(CliRouterWithSim, SystemMethodsListsExactlyTheServedMethods)
{
    const json methods = okData("system.methods")["methods"];
    std::set<std::string> names;
    for (const auto& m : methods) {
        names.insert(m["name"].get<std::string>());
        EXPECT_FALSE(m["description"].get<std::string>().empty());
        EXPECT_NE(dispatch(request(m["name"]))["message"].get<std::string>().rfind("Unknown method", 0), 0u) << m["name"];
    }
    EXPECT_EQ(names, (std::set<std::string>{"system.ping",
                                            "system.methods",
                                            "system.info",
                                            "connection.status",
                                            "connection.connect",
                                            "connection.disconnect",
                                            "fleet.status",
                                            "bridge.status",
                                            "vehicle.resolveTarget",
                                            "vehicle.list",
                                            "vehicle.setActive",
                                            "telemetry.snapshot",
                                            "alerts.active",
                                            "vehicle.linkStats",
                                            "params.read",
                                            "params.write",
                                            "params.get",
                                            "params.set",
                                            "control.command",
                                            "command.status",
                                            "console.tail",
                                            "route.list",
                                            "route.get",
                                            "route.create",
                                            "route.update",
                                            "route.delete",
                                            "route.setActive",
                                            "route.defaultWayPoint",
                                            "route.export",
                                            "route.import",
                                            "mission.check",
                                            "mission.upload",
                                            "mission.download",
                                            "mission.start",
                                            "mission.status",
                                            "firmware.update",
                                            "firmware.status",
                                            "nfz.sync",
                                            "nfz.import",
                                            "nfz.status",
                                            "nfz.upload",
                                            "nfz.bindManual",
                                            "account.login",
                                            "account.logout",
                                            "account.status",
                                            "account.vehicles.refresh",
                                            "account.vehicles.list",
                                            "account.vehicles.captcha",
                                            "account.vehicles.add",
                                            "account.vehicles.update",
                                            "account.vehicles.remove",
                                            "remote.start",
                                            "remote.stop"}));
}

// A program's own method (velmora-desk's window methods) is served, checked and listed like
// the library's, once, until the program removes it.
TEST_F(CliRouterWithSim, AProgramsOwnMethodIsServedListedAndRemoved)
{
    int calls = 0;
    gcscli::MethodSpec method{"window.test",
                              [&calls](const gcscli::Call& call) {
                                  ++calls;
                                  return GcsCliResponse::makeSuccess({{"echo", call.params->at("path")}});
                              },
                              "A program's method.",
                              {{"path", "string", true, {}, "a path"}}};
    ASSERT_TRUE(GcsCliCommandRouter::addMethod(method));
    EXPECT_FALSE(GcsCliCommandRouter::addMethod(method)) << "one method per name";
    auto library = method;
    library.name = "system.ping";
    EXPECT_FALSE(GcsCliCommandRouter::addMethod(library)) << "a library method is never replaced";
    EXPECT_EQ(okData("window.test", {{"path", "/a.png"}})["echo"], "/a.png");
    EXPECT_EQ(dispatch(request("window.test", {{"path", "/a.png"}, {"size", 2}}))["message"], "Unknown field: size");
    EXPECT_EQ(calls, 1);
    const json methods = okData("system.methods")["methods"];
    EXPECT_EQ(methods.back()["name"], "window.test");
    EXPECT_EQ(methods.back()["params"][0]["name"], "path");
    GcsCliCommandRouter::removeMethod("window.test");
    EXPECT_EQ(dispatch(request("window.test", {{"path", "/a.png"}}))["message"].get<std::string>().rfind(
                  "Unknown method window.test", 0),
              0u);
}

TEST_F(CliRouterWithSim, RouteMethodsRefuseBadInput)
{
    startAlive(SimOptions());
    const std::string IA = "InvalidArgs", CR = "CommandRejected";
    auto create = [](const json& patch) {
        json p = {{"name", "r"}, {"number", 1}, {"points", json::array({{{"lat", 22.5}, {"lon", 113.9}, {"alt", 9}}})}};
        p.merge_patch(patch);
        return request("route.create", p);
    };
    const json square = {{"polygon", json::array({{{"lat", 22.5}, {"lon", 113.9}},
                                                  {{"lat", 22.5}, {"lon", 113.901}},
                                                  {{"lat", 22.501}, {"lon", 113.901}}})},
                         {"lineSpacing", 20}};
    auto area = [&](const json& patch) {
        json a = square;
        a.merge_patch(patch);
        return create({{"points", nullptr}, {"area", a}});
    };
    auto point = [&](const json& patch) {
        json p = {{"lat", 22.5}, {"lon", 113.9}, {"alt", 9}};
        p.merge_patch(patch);
        return create({{"points", json::array({p})}});
    };
    const struct {
        json req;
        std::string code;
        std::string message;
    } cases[] = {
        {request("route.create"), IA, "Missing params object"},
        {create({{"number", 256}}), IA, "number must be in 0..255"},
        {create({{"repeatTimes", -1}}), IA, "repeatTimes must be in 0..255"},
        {create({{"points", nullptr}}), IA, "Exactly one of points or area is required"},
        {create({{"area", square}}), IA, "Exactly one of points or area is required"},
        {create({{"points", json::array({json::object()})}}), IA, "Waypoint at index 0 misses lat"},
        {create({{"points", json::array({{{"lat", 1}, {"lon", 2}}})}}), IA, "Waypoint at index 0 misses alt"},
        {point({{"lat", 91}}), IA, "Invalid waypoint at index 0: lat"},
        {point({{"alt", "high"}}), IA, "Invalid waypoint at index 0: alt"},
        {point({{"vel", std::nan("")}}), IA, "Invalid waypoint at index 0: vel"},
        {point({{"type", 99}}), IA, "Invalid waypoint at index 0: type"},
        {point({{"hoverTime", 1.5}}), IA, "Invalid waypoint at index 0: hoverTime"},
        {create({{"points", json(std::vector<json>(256, json::object()))}}), IA,
         "points may hold at most 255 waypoints"},
        {area({{"polygon",
                {{{"lat", 1}, {"lon", 179.9}}, {{"lat", 1}, {"lon", -179.9}}, {{"lat", 1.1}, {"lon", -179.9}}}}}),
         IA, "area.polygon crosses the 180° meridian; split the area at it"},
        {area({{"polygon", json::array({{{"lat", 1}, {"lon", 2}}})}}), IA,
         "area.polygon must hold at least 3 vertices"},
        {area({{"polygon", {{{"lat", 1}, {"lon", 2}}, {{"lat", 1}}, {{"lat", 1}, {"lon", 3}}}}}), IA,
         "Invalid polygon vertex at index 1"},
        {area({{"lineSpacing", 0}}), IA, "area.lineSpacing must be a positive number"},
        {area({{"lineSpacing", 5000}}), CR, "Area generator produced no waypoints"},
        {request("route.get", {{"id", "nope"}}), IA, "Unknown route id"},
        {request("route.delete", {{"id", "../x"}}), IA, "Unknown route id"},
        {request("mission.upload", {{"routeId", "nope"}}), IA, "Unknown route id"},
        {request("mission.download"), CR, "No active flight route"},
        {request("mission.download", {{"intoNewRoute", true}, {"routeId", "x"}}), IA,
         "intoNewRoute takes no routeId: the vehicle's route goes into a new route"},
        {request("route.import", {{"format", "geojson"}, {"path", "/nonexistent/r.geojson"}}), CR,
         "Can not read /nonexistent/r.geojson: No such file or directory"},
        {request("route.export", {{"format", "kml"}}), IA, "format must be geojson or routes"},
    };
    for (const auto& c : cases) {
        const json r = dispatch(c.req);
        EXPECT_EQ(r["code"], c.code) << c.req.dump();
        EXPECT_EQ(r["message"], c.message) << c.req.dump();
    }
    EXPECT_EQ(okData("route.list")["count"], 0) << "no refusal created a route";
}

// Create, list, transfer, status and start through the router; the active vehicle and route
// stay put while a transfer runs.
TEST_F(CliRouterWithSim, RoutesCreatedTransferredAndFlown)
{
    startAlive(SimOptions());
    const json points = {{"name", "inspection"},
                         {"number", 4},
                         {"repeatTimes", 1},
                         {"points", json::array({{{"lat", 22.5}, {"lon", 113.9}, {"alt", 15}, {"vel", 10}},
                                                 {{"lat", 22.5002}, {"lon", 113.9}, {"alt", 25}, {"vel", 10}}})}};
    const json created = okData("route.create", points);
    EXPECT_EQ(created["wayPointCount"], 2);
    EXPECT_EQ(created["active"], true);
    const json survey = okData("route.create", {{"name", "survey"},
                                                {"number", 5},
                                                {"area",
                                                 {{"polygon", json::array({{{"lat", 22.5}, {"lon", 113.9}},
                                                                           {{"lat", 22.5}, {"lon", 113.901}},
                                                                           {{"lat", 22.501}, {"lon", 113.901}},
                                                                           {{"lat", 22.501}, {"lon", 113.9}}})},
                                                  {"lineSpacing", 25}}}});
    EXPECT_EQ(survey["type"], 2);
    EXPECT_GE(survey["wayPointCount"].get<int>(), 4);
    const json list = okData("route.list");
    EXPECT_EQ(list["count"], 2);
    EXPECT_EQ(list["activeRouteId"], survey["id"]);
    const json got = okData("route.get", {{"id", created["id"]}});
    EXPECT_EQ(got["route"]["points"][1]["nextWp"], 3) << "a point without nextWp flies on";
    EXPECT_EQ(got["route"]["points"][1]["routeNumber"], 4);

    const json before = okData("mission.status");
    EXPECT_EQ(before["upload"]["lastResult"], nullptr);
    const json accepted = okData("mission.upload", {{"routeId", created["id"]}});
    EXPECT_EQ(accepted["wayPointCount"], 2);
    EXPECT_EQ(okData("route.list")["activeRouteId"], survey["id"]) << "an upload by id leaves the active route";
    EXPECT_EQ(okData("vehicle.setActive", {{"vehicleId", 1}})["activeVehicleId"], 1)
        << "the transfer keeps to its own vehicle";
    EXPECT_EQ(dispatch(request("route.setActive", {{"id", created["id"]}}))["message"],
              "A mission transfer is in progress");
    EXPECT_EQ(dispatch(request("mission.upload"))["message"],
              "Vehicle 1 is busy with a route upload; a route upload is refused until it ends");
    json status;
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["upload"]["finished"] == 1; }));
    EXPECT_EQ(status["upload"], json({{"started", 1},
                                      {"finished", 1},
                                      {"lastResult", 0},
                                      {"lastRouteId", created["id"]},
                                      {"verify", {{"state", "none"}}}}));
    EXPECT_EQ(sim->vehicle(1)->mission().wayPoints().size(), 2u);

    okData("mission.download", {{"routeId", created["id"]}});
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["download"]["finished"] == 1; }));
    EXPECT_EQ(status["download"]["lastResult"], 0);
    EXPECT_EQ(status["download"]["started"], 1);

    const json start = okData("mission.start");
    EXPECT_EQ(start["action"], "runMission");
    EXPECT_EQ(settledStatus(start)["state"], "done");
    EXPECT_TRUE(waitUntil([&] { return sim->vehicle(1)->state().flying; }));
    EXPECT_EQ(okData("route.delete", {{"id", survey["id"]}})["deleted"], true);
    EXPECT_EQ(okData("route.list")["count"], 1);
}

// A route is checked before it flies, refused with its findings unless forced, proved by a
// read-back, and travels as route files or GeoJSON.
TEST_F(CliRouterWithSim, RoutesCheckedVerifiedExportedAndImported)
{
    startAlive(SimOptions());
    const json low = {{"lat", 22.5}, {"lon", 113.9}, {"alt", 0}};
    const json id = okData("route.create", {{"name", "low"}, {"number", 3}, {"points", json::array({low, low})}})["id"];
    const json check = okData("mission.check");
    EXPECT_EQ(check["passed"], false);
    EXPECT_EQ(check["findings"][0]["rule"], "altitude");
    EXPECT_EQ(check["findings"][0]["wayPoint"], 1);
    const json refused = dispatch(request("mission.upload"));
    EXPECT_EQ(refused["code"], "CommandRejected");
    EXPECT_EQ(refused["data"]["findings"], check["findings"]);
    EXPECT_EQ(okData("mission.upload", {{"force", true}})["findings"], check["findings"]);
    json status;
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["upload"]["finished"] == 1; }));

    json points = json::array({{{"lat", 22.5}, {"lon", 113.9}, {"alt", 30}},
                               {{"lat", 22.5003}, {"lon", 113.9}, {"alt", 30}},
                               {{"lat", 22.5006}, {"lon", 113.9}, {"alt", 30}}});
    EXPECT_EQ(okData("route.update", {{"id", id}, {"points", points}})["wayPointCount"], 3);
    const json checked = okData("mission.check");
    for (const auto& f : checked["findings"])
        EXPECT_EQ(f["kind"], "unchecked") << f.dump() << ": no zone set, no limits read, nothing else";
    EXPECT_EQ(okData("route.defaultWayPoint", {{"wayPoint", {{"alt", 42}}}})["defaultWayPoint"]["alt"], 42.0);
    okData("mission.upload", {{"verify", true}});
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["upload"]["finished"] == 2; }));
    EXPECT_EQ(status["upload"]["lastResult"], 0);
    EXPECT_EQ(status["upload"]["verify"]["state"], "verified");
    okData("mission.download", {{"intoNewRoute", true}});
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["download"]["finished"] == 1; }));
    EXPECT_EQ(status["download"]["wayPointCount"], 3);
    EXPECT_NE(status["download"]["newRouteId"], nullptr);
    EXPECT_EQ(okData("route.list")["activeRouteId"], id) << "the active route stays";

    const QString dir = testsupport::makeTempDir("cli-export");
    const json exported = okData("route.export", {{"dir", dir.toStdString()}});
    EXPECT_EQ(exported["result"], 0);
    EXPECT_EQ(exported["written"].size(), 2u);
    const json failed = dispatch(request("route.export", {{"dir", "/proc/velmora"}}));
    EXPECT_EQ(failed["code"], "CommandRejected");
    EXPECT_EQ(failed["data"]["result"], -1);
    const std::string file = (dir + "/route.geojson").toStdString();
    EXPECT_EQ(okData("route.export", {{"format", "geojson"}, {"routeId", id}, {"path", file}})["wayPointCount"], 3);
    const json imported = okData("route.import", {{"format", "geojson"}, {"path", file}, {"number", 8}});
    EXPECT_EQ(imported["wayPointCount"], 3);
    EXPECT_NE(imported["id"], id);
    EXPECT_EQ(okData("route.get", {{"id", imported["id"]}})["route"]["points"][2]["routeNumber"], 8);
    const json back = okData("route.import", {{"dir", dir.toStdString()}});
    EXPECT_EQ(back["imported"].size(), 2u);
    EXPECT_EQ(back["skipped"], json::array());
}

// The check follows the path the vehicle flies: waypoint 1 jumps over the detour 2 straight
// through a 40 m zone, which the list order passes 90 m off. It answers the zone set, limits and
// start it used; what it could not check is "unchecked" and does not stop an upload. A mission
// start runs the same check again with the zones of its moment (checkRouteForVehicle).
TEST_F(CliRouterWithSim, RouteCheckFollowsTheFlownPathAndSaysWhatItUsed)
{
    startAlive(SimOptions());
    auto vehicle = mvm()->activeVehicle();
    ASSERT_TRUE(waitUntil([&] { return vehicle->teleCtrler()->posDataItem()->lat() != 0; }));
    json points = json::array({{{"lat", 22.5440}, {"lon", 113.9468}, {"alt", 30}},
                               {{"lat", 22.5449}, {"lon", 113.9490}, {"alt", 30}},
                               {{"lat", 22.5458}, {"lon", 113.9468}, {"alt", 30}}});
    const json id = okData("route.create", {{"name", "detour"}, {"number", 2}, {"points", points}})["id"];
    // No zone set yet: told, but no refusal.
    const json unchecked = okData("mission.check");
    EXPECT_EQ(unchecked["passed"], false);
    ASSERT_EQ(unchecked["findings"].size(), 1u) << unchecked.dump();
    EXPECT_EQ(unchecked["findings"][0]["kind"], "unchecked");
    EXPECT_EQ(unchecked["checked"]["zoneSet"]["loaded"], false);
    EXPECT_EQ(okData("mission.upload")["findings"], unchecked["findings"]);
    json status;
    ASSERT_TRUE(waitUntil([&] { return (status = okData("mission.status"))["upload"]["finished"] == 1; }));

    const auto zones = app->ctrl->nfzZoneManager();
    const json zone = {{"id", 1}, {"type", "circle"}, {"center", {22.5449, 113.9468}}, {"radius", 40}};
    ASSERT_TRUE(zones->reloadFromJsonUtf8(QByteArray::fromStdString(json::array({zone}).dump())));
    EXPECT_EQ(okData("mission.check")["passed"], true) << "the list order passes the zone";
    points[0]["nextWp"] = 3;
    okData("route.update", {{"id", id}, {"points", points}});
    const json check = okData("mission.check");
    EXPECT_EQ(check["passed"], false);
    std::set<std::string> found;
    for (const auto& f : check["findings"])
        found.insert(f["kind"].get<std::string>() + " " + f["rule"].get<std::string>() + "@" +
                     std::to_string(f["wayPoint"].get<int>()));
    EXPECT_EQ(found, (std::set<std::string>{"violation zone@1", "violation unreachable@2"})) << check.dump();
    EXPECT_EQ(check["findings"][0]["text"], "The route's leg 1-3 enters no-fly zone 1.");
    EXPECT_EQ(check["checked"]["zoneSet"]["count"], 1);
    EXPECT_EQ(check["checked"]["zoneSet"]["source"], "document");
    EXPECT_EQ(check["checked"]["limits"]["read"], true);
    EXPECT_EQ(check["checked"]["start"], "vehicle");
    const json refused = dispatch(request("mission.upload"));
    EXPECT_EQ(refused["code"], "CommandRejected");
    EXPECT_EQ(refused["data"]["checked"], check["checked"]);

    // A zone added on leg 2-3 after the upload: the re-check of the route the vehicle holds finds it.
    points[0].erase("nextWp");
    okData("route.update", {{"id", id}, {"points", points}});
    const json late = {{"id", 2}, {"type", "circle"}, {"center", {22.54535, 113.9479}}, {"radius", 30}};
    ASSERT_TRUE(zones->reloadFromJsonUtf8(QByteArray::fromStdString(json::array({zone, late}).dump())));
    const auto route = app->ctrl->missionsCtrler()->activeFlightRoute();
    const auto again = app->ctrl->missionsCtrler()->checkRouteForVehicle(*route, vehicle);
    ASSERT_EQ(again.violations().size(), 1u);
    EXPECT_EQ(again.violations()[0].zoneId, 2);
    EXPECT_EQ(again.zoneCount, 2u);
}
