#define VELMORA_TEST_GCS_APPLICATION
// The bridge in the station against the simulator, with node-mavlink as the ground station
// (tests/mavlink-peer/gcs_check.cjs, installed by scripts/setup.sh).

#include "StationWithSim.h"

#include "automation/GcsCliCommandRouter.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "services/MissionService.h"
#include "services/VehicleServices.h"
#include "settings/GcsSettings.h"
#include "bridge/MavlinkBridge.h"
#include "bridge/MavlinkMissionServer.h"
#include "bridge/MavlinkParamServer.h"
#include "services/ParamService.h"
#include "fleet/FleetVehicleState.h"
#include "mission/MavFlightRouteManager.h"

#include "SimFlightModel.h"
#include "SimVehicle.h"
#include "SimVehicleMission.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpSocket>
#include <QUdpSocket>

#include <cmath>

using nlohmann::json;
using testsupport::waitUntil;

// A ground station on the bridge's own codec, for the cases where a peer misbehaves on purpose
// (the conformance runs use node-mavlink). UDP: bound where the bridge sends, or anywhere.
class RawGcs : public QObject {
public:
    RawGcs(quint16 localPort, quint16 bridgePort, const mavlink::SigningKey* key = nullptr)
        : m_udp(new QUdpSocket(this))
        , m_port(bridgePort)
    {
        EXPECT_TRUE(m_udp->bind(QHostAddress::LocalHost, localPort));
        connect(m_udp, &QUdpSocket::readyRead, this, [this] {
            while (m_udp->hasPendingDatagrams()) {
                const QByteArray d = m_udp->receiveDatagram().data();
                take(d);
                m_cutter.reset();
            }
        });
        m_enc.setSigning(key, 0);
        m_cutter.setKey(key);
    }
    explicit RawGcs(quint16 tcpPort)
        : m_tcp(new QTcpSocket(this))
    {
        m_tcp->connectToHost(QHostAddress::LocalHost, tcpPort);
        EXPECT_TRUE(m_tcp->waitForConnected(3000));
        connect(m_tcp, &QTcpSocket::readyRead, this, [this] { take(m_tcp->readAll()); });
    }
    template <typename M>
    QByteArray frame(const M& m)
    {
        uint8_t buf[mavlink::kMaxFrameLen];
        return QByteArray(reinterpret_cast<const char*>(buf), qsizetype(m_enc.encode(m, 255, 190, buf)));
    }
    void sendRaw(const QByteArray& bytes)
    {
        if (m_tcp)
            m_tcp->write(bytes);
        else
            m_udp->writeDatagram(bytes, QHostAddress::LocalHost, m_port);
    }
    template <typename M>
    void send(const M& m)
    {
        sendRaw(frame(m));
    }
    // SET_MESSAGE_INTERVAL to vehicle 1; its ack's result, or -1.
    int setInterval(uint32_t msgid, float us)
    {
        mavlink::CommandLong c;
        c.command = mavlink::mav::kCmdSetMessageInterval;
        c.targetSystem = 1;
        c.param[0] = float(msgid);
        c.param[1] = us;
        const size_t before = m_frames.size();
        send(c);
        int result = -1;
        waitUntil([&] {
            for (size_t i = before; i < m_frames.size(); ++i)
                if (m_frames[i].msgid == mavlink::kCommandAck)
                    return result = m_frames[i].as<mavlink::CommandAck>().result, true;
            return false;
        });
        return result;
    }
    int count(uint32_t msgid) const
    {
        return int(std::count_if(m_frames.begin(), m_frames.end(), [&](const auto& f) { return f.msgid == msgid; }));
    }
    // Every message of type M received, in order.
    template <typename M>
    std::vector<M> all() const
    {
        std::vector<M> out;
        for (const auto& f : m_frames)
            if (f.msgid == M::kId)
                out.push_back(f.as<M>());
        return out;
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& t : all<mavlink::StatusText>())
            out.emplace_back(t.text, strnlen(t.text, sizeof t.text));
        return out;
    }
    void clear() { m_frames.clear(); }
    QTcpSocket* tcp() const { return m_tcp; }

private:
    void take(const QByteArray& d)
    {
        m_cutter.feed(reinterpret_cast<const uint8_t*>(d.constData()), size_t(d.size()),
                      [&](const mavlink::Frame& f, mavlink::FrameCutter::Signature) { m_frames.push_back(f); });
    }
    QUdpSocket* m_udp = nullptr;
    QTcpSocket* m_tcp = nullptr;
    quint16 m_port = 0;
    mavlink::Encoder m_enc;
    mavlink::FrameCutter m_cutter;
    std::vector<mavlink::Frame> m_frames;
};

class MavlinkBridgeTest : public StationWithSim {
protected:
    void startBridge(bool control, std::optional<mavlink::SigningKey> key = std::nullopt)
    {
        port = testsupport::freeUdpPort();
        const auto endpoint = MavlinkEndpoint::parse(QStringLiteral("udp:127.0.0.1:%1").arg(port), nullptr);
        bridge = std::make_unique<MavlinkBridge>(app->ctrl, MavlinkBridge::Options{{*endpoint}, control, key});
        ASSERT_TRUE(bridge->start());
    }

    // Runs the ground station to its end; its JSON lines by step.
    std::map<std::string, json> runPeer(const QString& steps, QStringList extra = {})
    {
        QProcess node;
        node.setWorkingDirectory(QStringLiteral(VELMORA_MAVLINK_PEER_DIR));
        node.start(QStringLiteral("node"), QStringList{"gcs_check.cjs", "--port", QString::number(port), "--vehicles",
                                                       "1,2,3", "--steps", steps} +
                                               extra);
        EXPECT_TRUE(node.waitForStarted(5000));
        EXPECT_TRUE(waitUntil([&] { return node.state() == QProcess::NotRunning; }, 100000));
        const QString out = QString::fromUtf8(node.readAllStandardOutput());
        EXPECT_EQ(node.exitCode(), 0) << out.toStdString() << node.readAllStandardError().toStdString();
        std::map<std::string, json> byStep;
        for (const auto& line : out.split('\n', Qt::SkipEmptyParts)) {
            json j = json::parse(line.toStdString());
            byStep[j.value("step", "")] = j;
        }
        return byStep;
    }

    // A bridge on a UDP link to `port` and a tcpin link on a free port.
    void startTwoLinks(MavlinkBridge::Options o)
    {
        if (!port) {  // a restart keeps its endpoints
            port = testsupport::freeUdpPort();
            tcpPort = testsupport::freeTcpPort();
        }
        o.endpoints = {*MavlinkEndpoint::parse(QStringLiteral("udp:127.0.0.1:%1").arg(port), nullptr),
                       *MavlinkEndpoint::parse(QStringLiteral("tcpin:%1").arg(tcpPort), nullptr)};
        bridge = std::make_unique<MavlinkBridge>(app->ctrl, o);
        QString error;
        ASSERT_TRUE(bridge->start(&error)) << error.toStdString();
    }

    json status() const { return bridge->status(); }

    void TearDown() override
    {
        bridge.reset();
        StationWithSim::TearDown();
    }

    quint16 port = 0;
    quint16 tcpPort = 0;
    std::unique_ptr<MavlinkBridge> bridge;
};

TEST_F(MavlinkBridgeTest, AnIndependentGroundStationSeesFliesAndPlansEveryVehicle)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& v : mvm()->vehicleList())
            if (FleetReadModel::vehicleState(*v).lat == 0)
                return false;
        return true;
    }));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    const auto routesBefore = app->ctrl->flightRouteMgr()->flightRoutes().size();
    // The operator works on vehicle 3 with a route of their own; the ground station plans vehicle 2.
    mvm()->setActiveVevhile(mvm()->findVehicleControllerById(3));
    auto* routes = app->ctrl->missionsCtrler().get();
    auto operatorRoute = std::make_shared<MavMultiPointRouteConfig>();
    operatorRoute->setName("operator's");
    ASSERT_TRUE(app->ctrl->flightRouteMgr()->addFlightRoute(operatorRoute, nullptr));
    routes->stopEditing();
    const auto activeRoute = routes->activeFlightRoute();
    ASSERT_TRUE(activeRoute);

    auto r = runPeer("listen,unsupported,unknownTarget,garbage,takeoff,upload,download,fence");

    // Every vehicle heard, at the simulator's position.
    for (int id : {1, 2, 3}) {
        const auto& pos = r["listen"]["positions"][std::to_string(id)];
        ASSERT_TRUE(pos.is_object()) << id;
        const auto& model = sim->vehicle(id)->flightModel();
        EXPECT_NEAR(pos["lat"].get<double>(), model.latitude() * 1e7, 1.5) << id;
        EXPECT_NEAR(pos["lon"].get<double>(), model.longitude() * 1e7, 1.5) << id;
        // The simulator's airframe (a quadrotor), read from its parameters.
        EXPECT_EQ(r["listen"]["types"][std::to_string(id)], 2) << id;
        for (const char* name : {"HEARTBEAT", "SYS_STATUS", "GPS_RAW_INT", "ATTITUDE", "VFR_HUD"})
            EXPECT_GT(r["listen"]["heard"][std::to_string(id)].value(name, 0), 0) << id << name;
    }
    EXPECT_EQ(r["unsupported"]["result"], 3);
    EXPECT_TRUE(r["unknownTarget"]["ack"].is_null());
    EXPECT_GE(status()["dropped"]["unknownTarget"].get<int>(), 1);
    // Take-off: accepted by the vehicle, then a climb.
    EXPECT_EQ(r["takeoff"]["result"], 0) << r["takeoff"].dump();
    EXPECT_TRUE(r["takeoff"]["climbed"].get<bool>());

    // The upload made one stored route and one upload; the download reads it back.
    EXPECT_EQ(r["upload"]["result"], 0) << r["upload"].dump();
    EXPECT_EQ(app->ctrl->flightRouteMgr()->flightRoutes().size(), routesBefore + 2);
    EXPECT_EQ(app->ctrl->services()->missions().uploads().finished, 1);
    EXPECT_EQ(sim->vehicle(2)->mission().wayPoints().size(), 20u);
    EXPECT_EQ(mvm()->activeVehicle()->vehicleId(), 3) << "the operator's selection stays";
    EXPECT_EQ(routes->activeFlightRoute(), activeRoute) << "and so does the operator's route";
    json nav = json::array();
    for (const auto& item : r["download"]["items"])
        if (item[0] != 178)
            nav.push_back({item[0], item[1], item[2], item[3]});
    ASSERT_EQ(nav.size(), 20u) << r["download"].dump();
    for (size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(nav[i][0], r["upload"]["sent"][i][0]) << i;
        EXPECT_NEAR(nav[i][1].get<double>(), r["upload"]["sent"][i][1].get<double>(), 1.5) << i;
        EXPECT_NEAR(nav[i][2].get<double>(), r["upload"]["sent"][i][2].get<double>(), 1.5) << i;
        EXPECT_NEAR(nav[i][3].get<double>(), r["upload"]["sent"][i][3].get<double>(), 0.01) << i;
    }
    // The scratch download stored nothing.
    EXPECT_EQ(app->ctrl->flightRouteMgr()->flightRoutes().size(), routesBefore + 2);
    EXPECT_TRUE(r["fence"]["items"].is_array());
    const json s = status();
    EXPECT_EQ(s["commands"]["ACCEPTED"], 1) << s.dump();
    EXPECT_EQ(s["missions"]["results"]["ACCEPTED"], 1) << s.dump();
    EXPECT_EQ(s["groundStations"][0]["systemId"], 255);
}

TEST_F(MavlinkBridgeTest, SignedReadOnlyBridgeDropsUnsignedAndDeniesCommands)
{
    SimOptions options;
    options.count = 3;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    mavlink::SigningKey key{};
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(0xA0 + i);
    ASSERT_NO_FATAL_FAILURE(startBridge(false, key));
    QByteArray hex = QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toHex();

    // The peer checks that every frame it hears carries a good signature.
    auto r = runPeer("hear,unsigned,deniedTakeoff,deniedUpload", {"--key", QString::fromLatin1(hex)});
    EXPECT_TRUE(r["unsigned"]["ack"].is_null());
    EXPECT_GE(status()["dropped"]["signing"].get<int>(), 1);
    EXPECT_EQ(r["deniedTakeoff"]["result"], 2);
    EXPECT_EQ(r["deniedUpload"]["result"], 14);
    for (const auto& v : mvm()->vehicleList())
        EXPECT_FALSE(FleetReadModel::vehicleState(*v).armed) << v->vehicleId();
}

// A signed frame captured on one socket is refused on every other socket and link, and again
// after a restart; a timestamp over a minute ahead cannot lock a stream out.
TEST_F(MavlinkBridgeTest, SignedFramesCannotBeReplayedAnywhere)
{
    mavlink::SigningKey key{};
    key.fill(0x5A);
    MavlinkBridge::Options o;
    o.signingKey = key;
    const QString state = testsupport::makeTempDir("replay");
    o.replayStateFile = state + "/replay.json";
    o.portsStateFile = state + "/ports.json";
    ASSERT_NO_FATAL_FAILURE(startTwoLinks(o));
    const quint16 sentFrom = bridge->localPort(0);
    RawGcs gcs(port, bridge->localPort(0), &key);
    const QByteArray captured = gcs.frame(mavlink::Heartbeat{});
    gcs.sendRaw(captured);
    ASSERT_TRUE(waitUntil([&] { return status()["messagesIn"] == 1; }));

    RawGcs otherUdp(0, bridge->localPort(0));
    otherUdp.sendRaw(captured);
    RawGcs otherTcp(tcpPort);
    otherTcp.sendRaw(captured);
    ASSERT_TRUE(waitUntil([&] { return status()["dropped"]["signing"] == 2; })) << status().dump();
    mavlink::Encoder ahead;
    ahead.setSigning(&key, 0, mavlink::signingTimestampNow() + 2 * mavlink::ReplayGuard::kMinute);
    uint8_t buf[mavlink::kMaxFrameLen];
    gcs.sendRaw(
        QByteArray(reinterpret_cast<const char*>(buf), qsizetype(ahead.encode(mavlink::Heartbeat{}, 255, 190, buf))));
    ASSERT_TRUE(waitUntil([&] { return status()["dropped"]["signing"] == 3; })) << status().dump();
    gcs.send(mavlink::Heartbeat{});  // the stream goes on: the frame ahead did not move it
    ASSERT_TRUE(waitUntil([&] { return status()["messagesIn"] == 2; })) << status().dump();

    bridge.reset();
    ASSERT_NO_FATAL_FAILURE(startTwoLinks(o));
    // Restarted, it sends from the same port: a ground station that answers the first address it
    // heard still reaches it.
    EXPECT_EQ(bridge->localPort(0), sentFrom);
    RawGcs again(0, bridge->localPort(0));
    again.sendRaw(captured);
    ASSERT_TRUE(waitUntil([&] { return status()["dropped"]["signing"] == 1; })) << status().dump();
    EXPECT_EQ(status()["messagesIn"], 0);
}

// Rates are the asking sink's own: one ground station cannot hide a vehicle from the others,
// nobody stops or slows HEARTBEAT, the floor is 20 ms, and a client's settings end with it.
TEST_F(MavlinkBridgeTest, MessageRatesBelongToTheLinkThatAsked)
{
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 1));
    ASSERT_NO_FATAL_FAILURE(startTwoLinks({}));
    RawGcs watcher(port, bridge->localPort(0));
    RawGcs other(tcpPort);
    auto abuser = std::make_unique<RawGcs>(tcpPort);
    using namespace mavlink;
    EXPECT_EQ(abuser->setInterval(kHeartbeat, -1), mav::kResultDenied);
    EXPECT_EQ(abuser->setInterval(kHeartbeat, 5e6), mav::kResultDenied);
    EXPECT_EQ(abuser->setInterval(kGlobalPositionInt, -1), mav::kResultAccepted);
    EXPECT_EQ(abuser->setInterval(kAttitude, 1), mav::kResultAccepted);
    EXPECT_EQ(status()["streamOverrides"], 1);
    // Position and attitude go as each sample comes: at 20 samples a second, more than a
    // quarter-second schedule could send, never more than one per sample.
    GcsSettings::getInstance()->setTeleReqInterval(50);
    testsupport::pumpEvents(300);
    QElapsedTimer window;
    watcher.clear(), other.clear(), abuser->clear();
    window.start();
    testsupport::waitUntil([] { return false; }, 1500);
    const qint64 ms = window.elapsed();
    for (RawGcs* g : {&watcher, &other}) {
        EXPECT_GE(g->count(kHeartbeat), 1);
        EXPECT_GT(g->count(kGlobalPositionInt), ms / 250 + 2);
        EXPECT_LE(g->count(kGlobalPositionInt), ms / 50 + 3);
        EXPECT_GT(g->count(kAttitude), ms / 250 + 2);
        EXPECT_LE(g->count(kAttitude), ms / 50 + 3) << "another link's rate is its own";
    }
    EXPECT_GE(abuser->count(kHeartbeat), 1);
    EXPECT_EQ(abuser->count(kGlobalPositionInt), 0);
    EXPECT_GT(abuser->count(kAttitude), ms / 250 + 2);
    EXPECT_LE(abuser->count(kAttitude), ms / MavlinkBridge::kMinIntervalMs + 2);
    abuser.reset();
    EXPECT_TRUE(waitUntil([&] { return status()["streamOverrides"] == 0; })) << status().dump();
}

// Loopback unless told otherwise, control reachable from elsewhere only when signed, idle TCP
// clients do not hold the slots.
TEST_F(MavlinkBridgeTest, ExposureAndIdleClientsAreBounded)
{
    mavlink::SigningKey key{};
    struct Case {
        bool control;
        bool signedLinks;
        QString bind;
        bool starts;
    };
    for (const auto& c :
         {Case{true, false, "", true}, Case{true, false, "127.0.0.1", true}, Case{true, false, "0.0.0.0", false},
          Case{true, false, "192.0.2.1", false}, Case{true, true, "0.0.0.0", true}, Case{false, false, "0.0.0.0", true},
          Case{false, false, "not-an-address", false}}) {
        MavlinkBridge::Options o;
        o.control = c.control;
        o.signingKey = c.signedLinks ? std::optional(key) : std::nullopt;
        o.bindAddress = c.bind;
        EXPECT_EQ(MavlinkBridge::checkOptions(o).isEmpty(), c.starts) << c.bind.toStdString() << c.control;
    }
    MavlinkBridge::Options remote;
    remote.endpoints = {*MavlinkEndpoint::parse("udp:192.0.2.7:14550", nullptr)};
    QString error;
    EXPECT_FALSE(MavlinkBridge(app->ctrl, remote).start(&error));
    EXPECT_TRUE(error.contains("--mavlink-bind")) << error.toStdString();

    MavlinkBridge::Options o;
    o.tcpQuietMs = 300;
    ASSERT_NO_FATAL_FAILURE(startTwoLinks(o));
    for (const auto& a : QNetworkInterface::allAddresses())
        if (!a.isLoopback() && a.protocol() == QAbstractSocket::IPv4Protocol) {
            QTcpSocket outside;
            outside.connectToHost(a, tcpPort);
            EXPECT_FALSE(outside.waitForConnected(1000)) << a.toString().toStdString();
        }
    RawGcs talking(tcpPort);
    std::vector<std::unique_ptr<RawGcs>> idle;
    for (int i = 1; i < MavlinkLinks::kMaxTcpClients; ++i)
        idle.push_back(std::make_unique<RawGcs>(tcpPort));
    QElapsedTimer sinceTalk;
    sinceTalk.start();
    auto talkUntil = [&](const std::function<bool()>& done) {
        return waitUntil([&] {
            if (sinceTalk.elapsed() > 100) {
                talking.send(mavlink::Heartbeat{});
                sinceTalk.restart();
            }
            return done();
        });
    };
    EXPECT_TRUE(talkUntil([&] { return status()["tcpClientsClosedQuiet"] == MavlinkLinks::kMaxTcpClients - 1; }))
        << status().dump();
    RawGcs late(tcpPort);
    late.send(mavlink::Heartbeat{});
    const std::string lateAddress = "127.0.0.1:" + std::to_string(late.tcp()->localPort());
    EXPECT_TRUE(talkUntil([&] {
        const json now = status();
        for (const auto& g : now["groundStations"])
            if (g["address"] == lateAddress)
                return true;
        return false;
    })) << status().dump();
    EXPECT_EQ(talking.tcp()->state(), QAbstractSocket::ConnectedState);
}

// The ground stations heard are bounded and forget the silent.
TEST_F(MavlinkBridgeTest, HeardGroundStationsAreBoundedAndExpire)
{
    MavlinkBridge::Options o;
    // Long enough that no sender expires while the others are still sending on a loaded machine
    // (at 500 ms the first ones did, and the cap was never reached; at 2 s one did once while the
    // disk was busy and the test process stalled).
    o.groundStationExpiryMs = 3000;
    ASSERT_NO_FATAL_FAILURE(startTwoLinks(o));
    const int senders = int(MavlinkBridge::kMaxGroundStations) + 40;
    // All open at once: a sender closed before the next binds may leave it the same port, and two
    // senders on one address are one ground station (7 runs in 40 failed so).
    std::vector<std::unique_ptr<RawGcs>> held;
    for (int i = 0; i < senders; ++i) {
        held.push_back(std::make_unique<RawGcs>(0, bridge->localPort(0)));
        held.back()->send(mavlink::Heartbeat{});
    }
    ASSERT_TRUE(waitUntil([&] { return status()["messagesIn"] == senders; })) << status().dump();
    EXPECT_EQ(status()["groundStations"].size(), MavlinkBridge::kMaxGroundStations);
    EXPECT_EQ(status()["groundStationsDropped"], 40);
    EXPECT_TRUE(waitUntil([&] { return status()["groundStations"].empty(); }, 10000));
}

// A client fetches every parameter of every vehicle (read from the vehicles first), sets one of
// each kind, and is told in words why a set is refused; the station's values follow.
TEST_F(MavlinkBridgeTest, ParametersListReadAndSetAsAClientDoes)
{
    SimOptions options;
    options.count = 3;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    const json sets = json::array({{"PSC_POS_X_P", 1.25, 9}, {"BSC_MAX_ALT", 321, 3}, {"ATC_ROLL_P", 1e6, 9}});
    auto r = runPeer("hear,params,paramSet", {"--sets", QString::fromStdString(sets.dump())});
    const auto& table = mavlinkparams::table();
    EXPECT_EQ(r["params"]["complete"], json::array({true, true, true})) << r["params"]["counts"].dump();
    const json& got = r["params"]["table"];
    ASSERT_EQ(got.size(), table.size());
    const auto vehicle = mvm()->findVehicleControllerById(1);
    auto stationValue = [&](const mavlinkparams::Entry& e) {
        for (const auto& f : app->ctrl->services()->params().values(vehicle, e.group).value.fields)
            if (f.name == e.field)
                return f.value;
        return -1.0;
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const auto& e = table[i];
        ASSERT_TRUE(got.contains(e.id)) << e.id;
        EXPECT_EQ(got[e.id][0], i) << e.id;
        EXPECT_EQ(got[e.id][1], e.type) << e.id;
        if (e.id != "PSC_POS_X_P" && e.id != "BSC_MAX_ALT") {
            EXPECT_NEAR(got[e.id][2].get<double>(), stationValue(e), 1e-3) << e.id;
        }
    }
    const json& answers = r["paramSet"]["results"];
    EXPECT_NEAR(answers[0]["value"].get<double>(), 1.25, 1e-6) << answers.dump();
    EXPECT_EQ(answers[1]["value"], 321) << answers.dump();
    EXPECT_NEAR(stationValue(table[*mavlinkparams::indexOf("PSC_POS_X_P")]), 1.25, 1e-9);
    EXPECT_EQ(stationValue(table[*mavlinkparams::indexOf("BSC_MAX_ALT")]), 321);
    EXPECT_NEAR(answers[2]["value"].get<double>(), stationValue(table[*mavlinkparams::indexOf("ATC_ROLL_P")]), 1e-6);
    ASSERT_EQ(answers[2]["texts"].size(), 1u) << answers.dump();
    EXPECT_NE(answers[2]["texts"][0].get<std::string>().find("range"), std::string::npos) << answers.dump();
}

// Modes and arming as an SDK script uses them, in the declared family's (PX4's) encoding; the
// heartbeat's armed flag and the landed state are the vehicle's.
TEST_F(MavlinkBridgeTest, ModesArmingAndLandedStateAsAClientExpects)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    auto r = runPeer("hear,modes")["modes"];
    EXPECT_EQ(r["before"]["landed"], 1) << r.dump();
    EXPECT_EQ(r["before"]["heartbeat"]["autopilot"], 12);
    EXPECT_FALSE(r["before"]["heartbeat"]["armed"].get<bool>());
    EXPECT_EQ(r["arm"]["result"], 2);
    EXPECT_NE(r["arm"]["text"].get<std::string>().find("NAV_TAKEOFF"), std::string::npos) << r.dump();
    EXPECT_EQ(r["takeoff"]["result"], 0) << r.dump();
    EXPECT_TRUE(r["climbed"].get<bool>());
    EXPECT_TRUE(r["flying"]["landed"] == 2 || r["flying"]["landed"] == 3) << r.dump();
    EXPECT_TRUE(r["flying"]["heartbeat"]["armed"].get<bool>()) << r.dump();
    EXPECT_EQ(r["hold"]["result"], 0) << r.dump();
    EXPECT_EQ(r["posctl"]["result"], 2);
    EXPECT_NE(r["posctl"]["text"].get<std::string>().find("AUTO_LOITER"), std::string::npos) << r.dump();
    EXPECT_EQ(r["reposition"]["result"], 2);
    EXPECT_FALSE(r["reposition"]["text"].get<std::string>().empty());
    EXPECT_EQ(r["rtl"]["result"], 0) << r.dump();
    EXPECT_TRUE(FleetReadModel::vehicleState(*mvm()->findVehicleControllerById(1)).armed);
}

// Each vehicle names itself uniquely with its firmware version; time and time sync answer.
TEST_F(MavlinkBridgeTest, IdentityAndTimeAsAClientAsksAtConnect)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 600000;  // no fix during the case: no position, no home
    options.code = "VM";  // VM-1, VM-2, VM-3
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(false));
    for (const auto& v : mvm()->vehicleList())
        ASSERT_TRUE(waitUntil([&] {
            return app->ctrl->services()->params().values(v, "basic").value.readSinceAlive &&
                   !v->vehicleCode().isEmpty();
        }));
    auto r = runPeer("identity")["identity"];
    std::set<std::string> uids;
    for (int id : {1, 2, 3}) {
        const json& v = r["versions"][std::to_string(id)];
        ASSERT_TRUE(v.is_object()) << r.dump();
        EXPECT_NE(v["uid"], "0") << id;
        uids.insert(v["uid"].get<std::string>());
        EXPECT_NE(v["sw"], 0) << "the simulator's firmware version " << id;
    }
    EXPECT_EQ(uids.size(), 3u);
    EXPECT_EQ(r["timesync"]["ts1"], "12345") << r.dump();
    EXPECT_NEAR(r["systemTimeMs"].get<double>(), r["now"].get<double>(), 5000);
    EXPECT_TRUE(r["withPosition"].empty()) << r.dump();
}

// What a client uploads downloads identical, item for item.
TEST_F(MavlinkBridgeTest, AnUploadedMissionDownloadsAsSent)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    auto r = runPeer("hear,roundTrip")["roundTrip"];
    EXPECT_EQ(r["result"], 0) << r.dump();
    EXPECT_EQ(r["count"], 4) << r.dump();
    EXPECT_TRUE(r["diffs"].empty()) << r.dump();
    EXPECT_EQ(sim->vehicle(2)->mission().wayPoints().size(), 4u);
}

// A mission file with its home at item 0, sent as legacy items, flies without the home and
// downloads as it went up; a mission the station cannot fly is refused in words.
TEST_F(MavlinkBridgeTest, MissionFilesLoadAsClientsSendThem)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    auto all = runPeer("hear,wpFile,missionEdits");
    const json& r = all["wpFile"];
    const json& edits = all["missionEdits"];
    EXPECT_EQ(edits["cleared"]["r"], 14) << edits.dump();
    EXPECT_EQ(edits["setCurrent"]["r"]["result"], 2) << edits.dump();
    for (const char* what : {"cleared", "setCurrent", "setMsg"})
        EXPECT_FALSE(edits[what]["text"].get<std::string>().empty()) << what;
    EXPECT_EQ(r["result"], 0) << r.dump();
    EXPECT_EQ(r["count"], 5) << r.dump();
    EXPECT_TRUE(r["diffs"].empty()) << r.dump();
    EXPECT_EQ(sim->vehicle(2)->mission().wayPoints().size(), 4u) << "take-off, two waypoints, return";
    EXPECT_EQ(r["refused"], 3);
    EXPECT_NE(r["text"].get<std::string>().find("item 1 (command 17)"), std::string::npos) << r.dump();
}

// Two ground stations at once: one that never closes its download does not stop the other's
// upload; the upload is acknowledged before the vehicle has it, and what the vehicle did follows
// in words to the uploader only; a download is answered from what the vehicle is known to hold.
TEST_F(MavlinkBridgeTest, TwoGroundStationsKeepTheirOwnTransfers)
{
    SimOptions options;
    options.fixAfterMs = 0;
    options.latencyMs = 300;  // the vehicle link is slow and lossy: the clients must not wait on it
    options.jitterMs = 50;
    options.loss = 0.03;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 1));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    RawGcs reader(port, bridge->localPort(0)), writer(0, bridge->localPort(0));  // the reader gets the streams
    const auto vehicle = app->ctrl->multiVehicleMgr()->findVehicleControllerById(1);
    ASSERT_TRUE(waitUntil([&] { return FleetReadModel::vehicleState(*vehicle).lat != 0; }));
    const auto pos = FleetReadModel::vehicleState(*vehicle);

    mavlink::MissionRequestList list;
    list.targetSystem = 1;
    reader.send(list);  // and never acknowledged
    ASSERT_TRUE(waitUntil([&] { return reader.count(mavlink::kMissionCount) == 1; }, 15000));

    mavlink::MissionCount up;
    up.targetSystem = 1;
    up.count = 2;
    writer.send(up);
    ASSERT_TRUE(waitUntil([&] { return writer.count(mavlink::kMissionRequestInt) == 1; }))
        << (writer.texts().empty() ? "" : writer.texts().back());
    for (uint16_t seq = 0; seq < 2; ++seq) {
        mavlink::MissionItemInt item;
        item.targetSystem = 1;
        item.seq = seq;
        item.command = mavlink::mav::kCmdNavWaypoint;
        item.frame = mavlink::mav::kFrameGlobalRelativeAltInt;
        item.x = int32_t(std::llround((pos.lat + 0.00006 * (seq + 1)) * 1e7));
        item.y = int32_t(std::llround(pos.lon * 1e7));
        item.z = 4;
        writer.send(item);
        ASSERT_TRUE(waitUntil([&] {
            return writer.count(mavlink::kMissionRequestInt) == seq + 2 || writer.count(mavlink::kMissionAck) == 1;
        }));
    }
    ASSERT_EQ(writer.all<mavlink::MissionAck>().at(0).type, mavlink::mav::kMissionAccepted);
    EXPECT_EQ(status()["missions"]["onTheirWay"], 1) << "acknowledged before the vehicle has it";
    ASSERT_TRUE(waitUntil([&] { return !writer.texts().empty(); }, 20000));
    EXPECT_EQ(writer.texts().back(), "Vehicle 1 took the route (2 waypoints)");
    EXPECT_TRUE(reader.texts().empty()) << reader.texts().front();
    EXPECT_EQ(sim->vehicle(1)->mission().wayPoints().size(), 2u);

    // The reader cancels, then asks again: answered from the station's copy, without a read.
    mavlink::MissionAck cancel;
    cancel.targetSystem = 1;
    cancel.type = mavlink::mav::kMissionOperationCancelled;
    reader.send(cancel);
    ASSERT_TRUE(waitUntil([&] { return status()["missions"]["active"] == 0; })) << status().dump();
    const auto downloads = app->ctrl->services()->missions().downloads().started;
    reader.clear();
    reader.send(list);
    ASSERT_TRUE(waitUntil([&] { return reader.count(mavlink::kMissionCount) == 1; }, 3000));
    EXPECT_EQ(reader.all<mavlink::MissionCount>().at(0).count, 2);
    EXPECT_EQ(app->ctrl->services()->missions().downloads().started, downloads);
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto current = reader.all<mavlink::MissionCurrent>();
            return !current.empty() && current.back().total == 2;
        },
        5000));
    EXPECT_EQ(reader.all<mavlink::MissionCurrent>().back().missionState, mavlink::mav::kMissionStateNotStarted);

    // The health a client shows: every part the vehicle reports good, the battery full.
    using namespace mavlink::mav;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto status = reader.all<mavlink::SysStatus>();
            return !status.empty() && status.back().batteryRemaining == 100;
        },
        5000));
    const auto health = reader.all<mavlink::SysStatus>().back();
    const uint32_t parts = kSensorGyro | kSensorAccel | kSensorMag | kSensorGps | kSensorRcReceiver | kSensorBattery |
                           kSensorPrearmCheck | kSensorAhrs;
    EXPECT_EQ(health.sensorsPresent & parts, parts);
    EXPECT_EQ(health.sensorsHealth & parts, parts);
    ASSERT_TRUE(waitUntil([&] { return !reader.all<mavlink::BatteryStatus>().empty(); }));
    EXPECT_EQ(reader.all<mavlink::BatteryStatus>().back().chargeState, kChargeOk);
    EXPECT_EQ(reader.all<mavlink::BatteryStatus>().back().voltages[0], health.voltageBattery);

    // Flown: each item reached in turn, then the mission complete.
    mavlink::CommandLong start;
    start.targetSystem = 1;
    start.command = mavlink::mav::kCmdMissionStart;
    writer.send(start);
    ASSERT_TRUE(waitUntil([&] { return reader.all<mavlink::MissionItemReached>().size() == 2; }, 20000));
    EXPECT_EQ(reader.all<mavlink::MissionItemReached>().at(0).seq, 0);
    EXPECT_EQ(reader.all<mavlink::MissionItemReached>().at(1).seq, 1);
    EXPECT_TRUE(waitUntil(
        [&] {
            return reader.all<mavlink::MissionCurrent>().back().missionState == mavlink::mav::kMissionStateComplete;
        },
        3000));
}

// A client of the standard modes: the list, the current one, and a switch by standard mode.
TEST_F(MavlinkBridgeTest, StandardModesAsANewerClientAsks)
{
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 1));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    RawGcs gcs(port, bridge->localPort(0));
    using namespace mavlink::mav;
    auto command = [&](uint16_t id, float p0, float p1 = 0) {
        mavlink::CommandLong c;
        c.targetSystem = 1;
        c.command = id;
        c.param[0] = p0;
        c.param[1] = p1;
        const size_t before = gcs.all<mavlink::CommandAck>().size();
        gcs.send(c);
        std::optional<uint8_t> result;
        waitUntil(
            [&] {
                const auto acks = gcs.all<mavlink::CommandAck>();
                for (size_t i = before; i < acks.size(); ++i)
                    if (acks[i].command == id)
                        result = acks[i].result;
                return result.has_value();
            },
            10000);
        return result;
    };
    EXPECT_EQ(command(kCmdRequestMessage, float(mavlink::kAvailableModes)), kResultAccepted);
    ASSERT_TRUE(waitUntil([&] { return gcs.all<mavlink::AvailableModes>().size() == 12; }));
    std::map<std::string, mavlink::AvailableModes> byName;
    for (const auto& m : gcs.all<mavlink::AvailableModes>())
        byName[std::string(m.modeName, strnlen(m.modeName, sizeof m.modeName))] = m;
    EXPECT_EQ(byName["AUTO_TAKEOFF"].standardMode, kStdModeTakeoff);
    EXPECT_EQ(byName["AUTO_TAKEOFF"].properties, kModePropertyAutoMode);
    EXPECT_EQ(byName["MANUAL"].properties, kModePropertyNotUserSelectable);
    ASSERT_TRUE(waitUntil([&] { return !gcs.all<mavlink::CurrentMode>().empty(); }));

    EXPECT_EQ(command(kCmdDoSetStandardMode, kStdModeOrbit), kResultDenied);
    EXPECT_EQ(command(kCmdDoSetStandardMode, kStdModeTakeoff), kResultAccepted);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto now = gcs.all<mavlink::CurrentMode>();
            return now.back().standardMode == kStdModeTakeoff || now.back().customMode == (4u << 16 | 3u << 24);
        },
        10000));
}

TEST_F(MavlinkBridgeTest, LossyGroundStationSoak)
{
    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    ASSERT_NO_FATAL_FAILURE(startBridge(true));
    auto r = runPeer("hear,upload,download", {"--loss", "0.3"});
    EXPECT_EQ(r["upload"]["result"], 0) << r["upload"].dump();
    EXPECT_EQ(app->ctrl->services()->missions().uploads().finished, 1);
    EXPECT_EQ(status()["missions"]["results"]["ACCEPTED"], 1);
    int nav = 0;
    for (const auto& item : r["download"]["items"])
        nav += item[0] != 178;
    EXPECT_EQ(nav, 20) << r["download"].dump();
}

// The mapping between route waypoints and mission items, both ways, and what cannot be mapped.
TEST(MavlinkMissionMapping, RoutesAndItemsMapBothWaysAndTheRestIsRefused)
{
    using namespace mavlink;
    auto wp = [](MavProtoWayPointType type, double lat, double lon, double alt, float vel, uint16_t hover) {
        MavProtoWayPointData_t w;
        w.type = type;
        w.lat = lat;
        w.lon = lon;
        w.alt = alt;
        w.vel = vel;
        w.hoverTime = hover;
        return w;
    };
    const std::vector<MavProtoWayPointData_t> route = {
        wp(MAVPROTO_WP_TAKEOFF, 22.5, 113.9, 20, 3, 0), wp(MAVPROTO_WP_PASS, 22.501, 113.9, 30, 3, 0),
        wp(MAVPROTO_WP_HOVER, 22.502, 113.901, 30, 6, 12), wp(MAVPROTO_WP_LAND, 22.502, 113.901, 0, 6, 0)};
    const auto items = mavlinkmission::itemsFromRoute(route);
    std::vector<uint16_t> commands;
    for (const auto& it : items)
        commands.push_back(uint16_t(it.command));
    EXPECT_EQ(commands, (std::vector<uint16_t>{178, 22, 16, 178, 16, 21}));
    EXPECT_EQ(float(items[4].param1), 12.0f);
    EXPECT_EQ(float(items[3].param2), 6.0f);

    FleetReadModel::VehicleState vehicle;
    vehicle.lat = 22.4;
    vehicle.lon = 113.8;
    vehicle.homeLat = 22.3;
    vehicle.homeLon = 113.7;
    vehicle.returnAltitude = 50;
    const auto back = mavlinkmission::pointsFromItems(items, vehicle, 5);
    ASSERT_EQ(back.error, 0);
    ASSERT_EQ(back.points.size(), 4u);
    for (size_t i = 0; i < route.size(); ++i) {
        const auto p = back.points[i].data;
        EXPECT_EQ(p.type, route[i].type) << i;
        EXPECT_NEAR(p.lat, route[i].lat, 1e-7) << i;
        EXPECT_EQ(p.vel, route[i].vel) << i;
        EXPECT_EQ(p.hoverTime, route[i].hoverTime) << i;
    }

    // A position of 0 puts the item at (0, 0): no position.
    auto item = [](uint16_t command, uint8_t frame = mav::kFrameGlobalRelativeAltInt, int32_t position = 1,
                   float z = 30) {
        MissionItemInt it;
        it.command = command;
        it.frame = frame;
        it.x = position ? 225000000 : 0;
        it.y = position ? 1139000000 : 0;
        it.z = z;
        return it;
    };
    struct Case {
        const char* what;
        std::vector<MissionItemInt> items;
        uint8_t error;
        int badSeq;
    };
    const std::vector<Case> cases = {
        {"take-off not first", {item(16), item(22)}, mav::kMissionUnsupported, 1},
        {"land not last", {item(21), item(16)}, mav::kMissionUnsupported, 0},
        {"loiter", {item(16), item(17)}, mav::kMissionUnsupported, 1},
        {"local frame", {item(16, 1)}, mav::kMissionUnsupportedFrame, 0},
        {"waypoint without position", {item(16, 6, 0)}, mav::kMissionInvalidParam5X, 0},
        {"speed only", {item(178)}, mav::kMissionDenied, 0},
    };
    for (const auto& c : cases) {
        const auto m = mavlinkmission::pointsFromItems(c.items, vehicle, 5);
        EXPECT_EQ(m.error, c.error) << c.what;
        EXPECT_EQ(m.badSeq, c.badSeq) << c.what;
    }
    // Return to launch goes home at the vehicle's return altitude; a take-off without a position
    // starts where the vehicle stands.
    const auto rtl = mavlinkmission::pointsFromItems({item(22, 6, 0), item(16), item(20, 2, 0, 0)}, vehicle, 5);
    ASSERT_EQ(rtl.points.size(), 3u);
    EXPECT_EQ(double(rtl.points[0].data.lat), 22.4);
    EXPECT_EQ(double(rtl.points[2].data.lat), 22.3);
    EXPECT_EQ(double(rtl.points[2].data.alt), 50.0);

    // Parameter names fit MAVLink's 16 characters and are unique; integers survive their packing.
    std::set<std::string> names;
    for (const auto& e : mavlinkparams::table()) {
        EXPECT_LE(e.id.size(), 16u) << e.id;
        EXPECT_TRUE(names.insert(e.id).second) << e.id;
    }
    for (const auto& [type, value] : std::vector<std::pair<uint8_t, double>>{{mav::kParamUint8, 200},
                                                                             {mav::kParamInt16, -1234},
                                                                             {mav::kParamUint16, 65000},
                                                                             {mav::kParamInt32, -7e8},
                                                                             {mav::kParamReal32, 0.125}})
        EXPECT_EQ(mavlinkparams::decode(mavlinkparams::encode(value, type), type), value) << int(type);

    const json zones = {{"zones",
                         {{{"shape", "circle"}, {"center", {22.5, 113.9}}, {"radius", 200}},
                          {{"shape", "polygon"}, {"points", {{22.6, 113.9}, {22.6, 114.0}, {22.7, 114.0}}}}}}};
    const auto fence = mavlinkmission::fenceItems(zones);
    ASSERT_EQ(fence.size(), 4u);
    EXPECT_EQ(uint16_t(fence[0].command), mav::kCmdFenceCircleExclusion);
    EXPECT_EQ(float(fence[0].param1), 200.0f);
    EXPECT_EQ(uint16_t(fence[3].command), mav::kCmdFencePolygonVertexExclusion);
    EXPECT_EQ(float(fence[3].param1), 3.0f);
    EXPECT_EQ(uint16_t(fence[3].seq), 3);
}
