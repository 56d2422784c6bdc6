// The codec against frames of an independent MAVLink implementation (node-mavlink; its
// tests/mavlink-peer/gen_vectors.cjs prints them): system 7, component 1, the sequence given.

#include "bridge/MavlinkCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace mavlink;

namespace {

std::vector<uint8_t> bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

template <typename M>
std::vector<uint8_t> framed(const M& msg, uint8_t seq)
{
    Encoder encoder;
    encoder.setNextSequence(7, seq);
    uint8_t buf[kMaxFrameLen];
    return {buf, buf + encoder.encode(msg, 7, 1, buf)};
}

std::vector<Frame> cut(const std::vector<uint8_t>& data, FrameCutter& cutter)
{
    std::vector<Frame> frames;
    cutter.feed(data.data(), data.size(), [&](const Frame& f, FrameCutter::Signature) { frames.push_back(f); });
    return frames;
}

}  // namespace

TEST(MavlinkCodec, FramesMatchAnIndependentImplementationBothWays)
{
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> encode;
        const char* hex;
    };
    const std::vector<Case> cases = {
        {"heartbeat",
         [] {
             Heartbeat m;
             m.type = 2;
             m.baseMode = 129;
             m.customMode = 5;
             m.systemStatus = 4;
             return framed(m, 0);
         },
         "fd09000000070100000005000000020081040305df"},
        {"sys_status",
         [] {
             SysStatus m;
             m.voltageBattery = 12600;
             return framed(m, 1);
         },
         "fd1f000001070101000000000000000000000000000000003831ffff000000000000000000000000ff95c0"},
        {"gps_raw_int",
         [] {
             GpsRawInt m;
             m.timeUsec = 123456789;
             m.lat = 225400000;
             m.lon = 1139500000;
             m.alt = 30250;
             m.eph = 120;
             m.vel = 350;
             m.cog = 9000;
             m.fixType = 3;
             m.satellitesVisible = 14;
             return framed(m, 2);
         },
         "fd1e000002070118000015cd5b0700000000c0546f0de063eb432a7600007800ffff5e012823030ea7c0"},
        {"attitude",
         [] {
             Attitude m;
             m.timeBootMs = 1000;
             m.roll = 0.1f;
             m.pitch = -0.2f;
             m.yaw = 3.0f;
             m.rollSpeed = 0.01f;
             m.yawSpeed = -0.5f;
             return framed(m, 3);
         },
         "fd1c00000307011e0000e8030000cdcccc3dcdcc4cbe000040400ad7233c00000000000000bf50ba"},
        {"global_position_int",
         [] {
             GlobalPositionInt m;
             m.timeBootMs = 2000;
             m.lat = 225400000;
             m.lon = 1139500000;
             m.alt = 30250;
             m.relativeAlt = 30250;
             m.vx = 120;
             m.vy = -40;
             m.vz = -100;
             m.hdg = 27000;
             return framed(m, 4);
         },
         "fd1c0000040701210000d0070000c0546f0de063eb432a7600002a7600007800d8ff9cff78693ab3"},
        {"vfr_hud",
         [] {
             VfrHud m;
             m.groundspeed = 3.5f;
             m.alt = 30.25f;
             m.climb = 1.0f;
             m.heading = 270;
             return framed(m, 5);
         },
         "fd1200000507014a000000000000000060400000f2410000803f0e016e32"},
        {"home_position",
         [] {
             HomePosition m;
             m.latitude = 225400000;
             m.longitude = 1139500000;
             m.timeUsec = 5000000;
             return framed(m, 6);
         },
         "fd370000060701f20000c0546f0de063eb43000000000000000000000000000000000000803f000000000000000000000000000000000"
         "000000000000000404b4ccbd3"},
        {"statustext",
         [] {
             StatusText m;
             m.severity = 2;
             std::strcpy(m.text, "battery_state 2, expected 0");
             return framed(m, 7);
         },
         "fd1c0000070701fd000002626174746572795f737461746520322c20657870656374656420308aec"},
        {"autopilot_version",
         [] {
             AutopilotVersion m;
             m.capabilities = mav::kCapMissionInt | mav::kCapCommandInt | mav::kCapMavlink2 | mav::kCapMissionFence;
             m.uid = 7;
             return framed(m, 8);
         },
         "fd0900000807019400000c6000000000000007d9e8"},
        {"command_ack",
         [] {
             CommandAck m;
             m.command = 22;
             m.result = 2;
             m.resultParam2 = 3;
             m.targetSystem = 255;
             m.targetComponent = 190;
             return framed(m, 9);
         },
         "fd0a00000907014d00001600020003000000ffbe9187"},
        {"mission_count",
         [] {
             MissionCount m;
             m.count = 20;
             m.targetSystem = 255;
             m.targetComponent = 190;
             return framed(m, 10);
         },
         "fd0400000a07012c00001400ffbe8b44"},
        {"mission_item_int",
         [] {
             MissionItemInt m;
             m.param1 = 5;
             m.param2 = 2;
             m.x = 225400000;
             m.y = 1139500000;
             m.z = 30;
             m.seq = 3;
             m.command = 16;
             m.targetSystem = 255;
             m.targetComponent = 190;
             m.frame = 6;
             return framed(m, 11);
         },
         "fd2500000b07014900000000a040000000400000000000000000c0546f0de063eb430000f04103001000ffbe06000154ad"},
        {"mission_request_int",
         [] {
             MissionRequestInt m;
             m.seq = 4;
             m.targetSystem = 255;
             m.targetComponent = 190;
             return framed(m, 12);
         },
         "fd0400000c07013300000400ffbe3662"},
        {"mission_ack",
         [] {
             MissionAck m;
             m.targetSystem = 255;
             m.targetComponent = 190;
             m.type = 14;
             m.missionType = 1;
             return framed(m, 13);
         },
         "fd0400000d07012f0000ffbe0e0107a6"},
        {"command_long",
         [] {
             CommandLong m;
             m.command = 22;
             m.targetSystem = 7;
             m.targetComponent = 1;
             m.confirmation = 1;
             m.param[6] = 30;
             return framed(m, 14);
         },
         "fd2100000e07014c00000000000000000000000000000000000000000000000000000000f041160007010172f7"},
        {"command_int",
         [] {
             CommandInt m;
             m.command = 193;
             m.targetSystem = 7;
             m.targetComponent = 1;
             m.param1 = 1;
             return framed(m, 15);
         },
         "fd2000000f07014b00000000803f000000000000000000000000000000000000000000000000c1000701dd22"},
        {"mission_request_list",
         [] {
             MissionRequestList m;
             m.targetSystem = 7;
             m.targetComponent = 1;
             m.missionType = 1;
             return framed(m, 16);
         },
         "fd0300001007012b0000070101e447"},
        {"message_interval",
         [] {
             MessageInterval m;
             m.intervalUs = 250000;
             m.messageId = 33;
             return framed(m, 17);
         },
         "fd050000110701f4000090d003002120a7"},
        {"mission_current",
         [] {
             MissionCurrent m;
             m.seq = 3;
             m.total = 7;
             m.missionState = mav::kMissionStateActive;
             return framed(m, 18);
         },
         "fd0500001207012a000003000700039380"},
        {"mission_item_reached",
         [] {
             MissionItemReached m;
             m.seq = 4;
             return framed(m, 19);
         },
         "fd0100001307012e000004bb6f"},
        {"available_modes",
         [] {
             AvailableModes m;
             m.customMode = 4 << 16 | 2 << 24;
             m.properties = mav::kModePropertyAutoMode;
             m.numberModes = 12;
             m.modeIndex = 8;
             m.standardMode = mav::kStdModeTakeoff;
             std::memcpy(m.modeName, "AUTO_TAKEOFF", 12);
             return framed(m, 20);
         },
         "fd170000140701b3010000000402040000000c08084155544f5f54414b454f46469c04"},
        {"current_mode",
         [] {
             CurrentMode m;
             m.customMode = m.intendedCustomMode = 4 << 16 | 4 << 24;
             m.standardMode = mav::kStdModeMission;
             return framed(m, 21);
         },
         "fd090000150701b401000000040400000404061c77"},
        {"battery_status",
         [] {
             BatteryStatus m;
             m.voltages[0] = 25200;
             m.batteryFunction = mav::kBatteryFunctionAll;
             m.type = mav::kBatteryTypeLipo;
             m.batteryRemaining = 100;
             m.chargeState = mav::kChargeOk;
             return framed(m, 22);
         },
         "fd290000160701930000ffffffffffffffffff7f7062ffffffffffffffffffffffffffffffffffffffff0001016400000000017762"},
    };
    for (const auto& c : cases) {
        const auto expected = bytes(c.hex);
        EXPECT_EQ(c.encode(), expected) << c.name;
        // Read back: one frame whose payload re-encodes to the same bytes.
        FrameCutter cutter;
        const auto frames = cut(expected, cutter);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        const MsgInfo* info = findMessage(frames[0].msgid);
        ASSERT_NE(info, nullptr) << c.name;
        Encoder encoder;
        encoder.setNextSequence(7, frames[0].seq);
        uint8_t buf[kMaxFrameLen];
        const size_t n = encoder.encode(info->id, info->crcExtra, frames[0].payload.data(), info->length, 7, 1, buf);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), expected) << c.name;
    }
    FrameCutter cutter;
    const auto command =
        cut(bytes("fd2100000e07014c00000000000000000000000000000000000000000000000000000000f041160007010172f7"), cutter)
            .at(0)
            .as<CommandLong>();
    EXPECT_EQ(command.command, 22);
    EXPECT_EQ(command.param[6], 30.0f);
    EXPECT_EQ(command.confirmation, 1);
}

TEST(MavlinkCodec, SignedFramesAreMadeAndCheckedLikeTheirs)
{
    SigningKey key{};
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(i);
    const auto theirs = bytes("fd0901001207010000000500000002008104035b920200a053e5f5f388741b593132");
    // Their time stamp (a fixed day in 2100) minus one: ours is the next.
    Encoder encoder;
    encoder.setSigning(&key, 2, 268237440000000ull - 1);
    encoder.setNextSequence(7, 18);
    Heartbeat hb;
    hb.type = 2;
    hb.baseMode = 129;
    hb.customMode = 5;
    hb.systemStatus = 4;
    uint8_t buf[kMaxFrameLen];
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + encoder.encode(hb, 7, 1, buf)), theirs);

    SigningKey wrong = key;
    wrong[0] ^= 1;
    struct Case {
        const SigningKey* key;
        FrameCutter::Signature expected;
    };
    for (const auto& c : {Case{&key, FrameCutter::Signature::Valid}, Case{&wrong, FrameCutter::Signature::Invalid},
                          Case{nullptr, FrameCutter::Signature::Invalid}}) {
        FrameCutter cutter;
        cutter.setKey(c.key);
        std::vector<FrameCutter::Signature> seen;
        cutter.feed(theirs.data(), theirs.size(), [&](const Frame&, FrameCutter::Signature s) { seen.push_back(s); });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], c.expected);
    }
    // A replayed frame is refused; a newer one of the same stream passes.
    FrameCutter cutter;
    std::vector<Frame> frames = cut(theirs, cutter);
    ReplayGuard guard;
    const uint64_t now = frames[0].timestamp + 10;
    EXPECT_TRUE(guard.accept(frames[0], now));
    EXPECT_FALSE(guard.accept(frames[0], now));
    frames[0].timestamp += 1;
    EXPECT_TRUE(guard.accept(frames[0], now));
    Frame stale = frames[0];
    stale.sysid = 9;  // a new stream more than a minute old
    EXPECT_FALSE(guard.accept(stale, stale.timestamp + 61ull * 100000));
    // A timestamp over a minute ahead would lock its stream out: refused, the record unmoved.
    Frame ahead = frames[0];
    ahead.timestamp = now + 61ull * 100000;
    EXPECT_EQ(guard.check(ahead, now), ReplayGuard::Verdict::Ahead);
    EXPECT_EQ(guard.records().begin()->second, frames[0].timestamp);
}

TEST(MavlinkCodec, BadBytesCostOnlyThemselves)
{
    const auto good = bytes("fd09000000070100000005000000020081040305df");
    auto badCrc = good;
    badCrc.back() ^= 0xFF;
    const auto v1 = bytes("fe0900070100000000000000000303a190");  // a MAVLink 1 heartbeat
    // Noise, a start byte with a cut header, noise.
    std::vector<uint8_t> stream = {0x00, 0xFD, 0x13, 0x55, 0xAA};
    stream.insert(stream.end(), badCrc.begin(), badCrc.end());
    stream.insert(stream.end(), v1.begin(), v1.end());
    stream.insert(stream.end(), good.begin(), good.end());
    auto unknown = good;
    unknown[7] = 0x99;  // a message id this side does not know
    stream.insert(stream.end(), unknown.begin(), unknown.end());
    stream.insert(stream.end(), good.begin(), good.end());
    stream.insert(stream.end(), good.begin(), good.begin() + 5);  // truncated: waits for the rest

    FrameCutter cutter;
    std::vector<Frame> frames;
    // Fed in ragged pieces: frames span feeds.
    for (size_t i = 0; i < stream.size(); i += 7) {
        const size_t n = std::min<size_t>(7, stream.size() - i);
        cutter.feed(stream.data() + i, n, [&](const Frame& f, FrameCutter::Signature) { frames.push_back(f); });
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].msgid, 0u);
    EXPECT_EQ(frames[0].as<Heartbeat>().customMode, 5u);
    EXPECT_EQ(cutter.counters().crcErrors, 1u);
    EXPECT_EQ(cutter.counters().unknownMessages, 1u);
    EXPECT_EQ(cutter.counters().mavlink1, 1u);
    // The rest of the truncated frame completes it.
    cutter.feed(good.data() + 5, good.size() - 5, [&](const Frame& f, FrameCutter::Signature) { frames.push_back(f); });
    EXPECT_EQ(frames.size(), 3u);
    // A flood without a frame never holds more than the bound.
    std::vector<uint8_t> flood(3 * FrameCutter::kMaxBuffered, 0xFD);
    cutter.feed(flood.data(), flood.size(), [&](const Frame& f, FrameCutter::Signature) { frames.push_back(f); });
    EXPECT_EQ(frames.size(), 3u);
}
