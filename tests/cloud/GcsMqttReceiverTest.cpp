#include "cloud/GcsMqttReceiver.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

using testsupport::LogCapture;

namespace {

constexpr char kPos[] = "gcs/notify/vehicle/VC-1/position";
constexpr char kStatus[] = "gcs/notify/vehicle/VC-1/status";

TEST(GcsMqttReceiver, DecodesRecordsAndReadsMissingKeysAsZero)
{
    auto pos = GcsMqttReceiver::decode(kPos, R"({"latitude":22.5,"longitude":113.9,"altitude":-3,"extra":"x"})");
    ASSERT_TRUE(pos);
    const auto& p = static_cast<const RemoteVehiclePositionMessage&>(*pos);
    EXPECT_EQ(p.vehicleCode, "VC-1");
    EXPECT_EQ(p.type, RemoteVehicleBaseMessage::Position);
    EXPECT_DOUBLE_EQ(p.latitude, 22.5);
    EXPECT_DOUBLE_EQ(p.longitude, 113.9);
    EXPECT_DOUBLE_EQ(p.altitude, -3);

    auto status = GcsMqttReceiver::decode(kStatus, "{}");
    ASSERT_TRUE(status);
    const auto& s = static_cast<const RemoteVehicleStatusMessage&>(*status);
    EXPECT_EQ(s.type, RemoteVehicleBaseMessage::Status);
    EXPECT_EQ(s.roll + s.pitch + s.yaw + s.speed, 0.0);

    // Not ours: no record and no warning.
    LogCapture::instance().clear();
    for (const char* topic : {"gcs/notify/vehicle/VC-1/battery", "gcs/notify/vehicle//position",
                              "gcs/notify/vehicle/a/b/position", "other/VC-1/position"})
        EXPECT_FALSE(GcsMqttReceiver::decode(topic, "{}")) << topic;
    EXPECT_EQ(LogCapture::instance().lines().size(), 0u);
}

TEST(GcsMqttReceiver, BadPayloadsGiveOneShortWarningAndNoRecord)
{
    const QByteArray huge = "{\"latitude\":\"" + QByteArray(1 << 20, 'a');
    const QByteArray deep = QByteArray(200000, '[') + QByteArray(200000, ']');
    const QByteArray deepInObject = "{\"latitude\":" + QByteArray(200000, '[');
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"not JSON", "latitude=1"},
        {"empty", ""},
        {"array", "[1,2,3]"},
        {"number", "42"},
        {"string", "\"abc\""},
        {"latitude as string", R"({"latitude":"22.5"})"},
        {"latitude null", R"({"latitude":null})"},
        {"latitude bool", R"({"latitude":true})"},
        {"overflowing number", R"({"latitude":1e999})"},
        {"1 MiB unterminated string", huge},
        {"200000-deep nesting", deep},
        {"deep nesting inside", deepInObject},
        {"invalid UTF-8", "{\"latitude\":1,\"n\":\"\xC3\x28\xFF\"}"},
    };
    for (const auto& [name, payload] : cases) {
        LogCapture::instance().clear();
        EXPECT_FALSE(GcsMqttReceiver::decode(kPos, payload)) << name;
        const auto lines = LogCapture::instance().lines();
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_EQ(lines[0].level, spdlog::level::warn) << name;
        EXPECT_NE(
            lines[0].text.find("Failed to parse position payload, topic: gcs/notify/vehicle/VC-1/position, error: "),
            std::string::npos)
            << name;
        EXPECT_LT(lines[0].text.size(), 400u) << name;
        EXPECT_TRUE(std::all_of(lines[0].text.begin(), lines[0].text.end(), [](char c) {
            return c >= 0x20 && c < 0x7F;
        })) << name;
    }
    LogCapture::instance().clear();
    EXPECT_FALSE(GcsMqttReceiver::decode(kStatus, R"({"roll":[1]})"));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "Failed to parse status payload"), 1);
}

// Values at the limits pass; past them, the record is refused with one warning.
TEST(GcsMqttReceiver, ValuesOutOfRangeAreRefused)
{
    const struct {
        const char* topic;
        const char* payload;
        bool accepted;
    } cases[] = {
        {kPos, R"({"latitude":-90,"longitude":180,"altitude":100000})", true},
        {kPos, R"({"latitude":90.0001})", false},
        {kPos, R"({"longitude":-180.5})", false},
        {kPos, R"({"altitude":1e6})", false},
        {kStatus, R"({"roll":-360,"pitch":360,"yaw":359.9,"speed":1000})", true},
        {kStatus, R"({"roll":1e300})", false},
        {kStatus, R"({"pitch":-1e39})", false},
        {kStatus, R"({"yaw":361})", false},
        {kStatus, R"({"speed":-1000.5})", false},
    };
    for (const auto& c : cases) {
        LogCapture::instance().clear();
        EXPECT_EQ(bool(GcsMqttReceiver::decode(c.topic, c.payload)), c.accepted) << c.payload;
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "is outside"), c.accepted ? 0 : 1)
            << c.payload;
    }
}

}  // namespace
