#include <QProcess>

#include <gtest/gtest.h>

namespace {

TEST(CloudSim, RefusesBadArgumentsWithAReason)
{
    struct Case {
        QStringList args;
        const char* reason;
    };
    const Case cases[] = {
        {{"--port", "70000"}, "--port needs a number from 0 to 65535"},
        {{"--port", "x"}, "--port needs a number from 0 to 65535"},
        {{"--delay-ms", "-5"}, "--delay-ms needs a number >= 0"},
        {{"--fail", "/nfz/zones"}, "--fail needs PATH=CODE"},
        {{"--fail", "nfz/zones=500"}, "--fail needs PATH=CODE"},
        {{"--fail", "/nfz/zones=42"}, "--fail needs PATH=CODE"},
        {{"--account", "pilot@example.com"}, "--account needs EMAIL:PASSWORD"},
        {{"--account", "pilot@example.com:"}, "--account needs EMAIL:PASSWORD"},
        {{"--account", "a@b.c:pw", "--account-vehicle", "a@b.c:VM1"},
         "--account-vehicle needs EMAIL:CODE:NAME[:LOCALID]"},
        {{"--account", "a@b.c:pw", "--account-vehicle", "a@b.c:VM1:One:x"},
         "--account-vehicle needs EMAIL:CODE:NAME[:LOCALID]"},
        {{"--account-vehicle", "x@b.c:VM1:One"}, "--account-vehicle names an e-mail without --account"},
        {{"stray"}, "unexpected argument stray"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess sim;
        sim.start(VELMORA_CLOUD_SIM_BIN, c.args);
        ASSERT_TRUE(sim.waitForFinished(10000));
        EXPECT_EQ(sim.exitCode(), 2);
        EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(sim.readAllStandardError().contains(c.reason));
    }
}

}  // namespace
