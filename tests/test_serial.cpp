#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "sim/pty_line.h"
#include "support/echo_line.h"

using Echo = EchoLine;

TEST(Serial, RoundTripTerminatorCountAndTimeout) {
    clock_set_scale(0.05);
    Echo sim;
    ASSERT_TRUE(sim.start()) << sim.error();
#if !defined(_WIN32)
    // The real serial code runs here, on a pseudo-terminal, unless a run asks otherwise.
    if (!std::getenv("VRIM_SIM_LINE")) {
        EXPECT_EQ(sim.kind(), SimLineKind::Pty);
    }
#endif
    setenv("VRIM_COM9", sim.path().c_str(), 1);
    ASSERT_EQ(OpenComConfig(9, "", 38400, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(SetXMode(9, 0), 0);
    EXPECT_EQ(SetCTSMode(9, 0), 0);
    EXPECT_EQ(SetComTime(9, 1.0), 0);

    char buf[100];
    ASSERT_EQ(ComWrt(9, "hello\r", 6), 6);
    int n = ComRdTerm(9, buf, 90, '\n');
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, n), "olleh");

    // Count reached: the rest of the line stays queued for the next read.
    ASSERT_EQ(ComWrt(9, "abcdef\r", 7), 7);
    EXPECT_EQ(ComRdTerm(9, buf, 4, '\n'), 4);
    EXPECT_EQ(std::string(buf, 4), "fedc");
    EXPECT_EQ(ComRdTerm(9, buf, 90, '\n'), 2);
    EXPECT_EQ(std::string(buf, 2), "ba");

    // No reply: a time-out code after about the port's time-out, never a hang.
    double t0 = Timer();
    ASSERT_EQ(ComWrt(9, "mute\r", 5), 5);
    EXPECT_EQ(ComRdTerm(9, buf, 90, '\n'), kRS232_Timeout);
    double waited = Timer() - t0;
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 3.0);

    // A line cut short is not handed out; after the flush nothing stale remains.
    ASSERT_EQ(ComWrt(9, "cut\r", 4), 4);
    EXPECT_EQ(ComRdTerm(9, buf, 90, '\n'), kRS232_Timeout);
    ASSERT_EQ(ComWrt(9, "x\r", 2), 2);
    Delay(0.5);
    EXPECT_EQ(FlushInQ(9), 0);
    EXPECT_EQ(GetInQLen(9), 0);

    EXPECT_EQ(CloseCom(9), 0);
    EXPECT_EQ(CloseCom(9), kRS232_PortNotOpen);
    EXPECT_EQ(ComWrt(0, "x", 1), kRS232_InvalidPort);
}

TEST(Serial, MissingDeviceFailsToOpen) {
#if defined(_WIN32)
    setenv("VRIM_COM7", "COM199", 1);
#else
    setenv("VRIM_COM7", "/dev/does-not-exist-vrim", 1);
#endif
    EXPECT_EQ(OpenComConfig(7, "", 38400, 0, 8, 1, 512, 512), kRS232_CannotOpenPort);
    EXPECT_EQ(ComWrt(7, "x", 1), kRS232_PortNotOpen);
}

// A port of the system (on Windows: through the communications API) when a run names one in
// VRIM_TEST_REAL_PORT whose far end answers as Echo does; skipped otherwise. The Windows test run
// puts a pseudo-terminal of the host behind a Wine COM port for it.
TEST(SerialRealPort, RoundTripThroughTheSystemPort) {
    const char *dev = std::getenv("VRIM_TEST_REAL_PORT");
    if (!dev || !*dev) GTEST_SKIP() << "no VRIM_TEST_REAL_PORT";
    clock_set_scale(1.0);
    ASSERT_EQ(OpenComConfig(30, dev, 38400, 0, 8, 1, 512, 512), 0) << dev;
    EXPECT_EQ(SetXMode(30, 0), 0);
    EXPECT_EQ(SetCTSMode(30, 0), 0);
    EXPECT_EQ(SetComTime(30, 2.0), 0);
    char buf[100];
    ASSERT_EQ(ComWrt(30, "hello\r", 6), 6);
    ASSERT_EQ(ComRdTerm(30, buf, 90, '\n'), 5);
    EXPECT_EQ(std::string(buf, 5), "olleh");
    ASSERT_EQ(ComWrt(30, "abcdef\r", 7), 7);
    EXPECT_EQ(ComRdTerm(30, buf, 4, '\n'), 4);
    EXPECT_EQ(std::string(buf, 4), "fedc");
    EXPECT_EQ(ComRdTerm(30, buf, 90, '\n'), 2);
    double t0 = Timer();
    ASSERT_EQ(ComWrt(30, "mute\r", 5), 5);
    EXPECT_EQ(ComRdTerm(30, buf, 90, '\n'), kRS232_Timeout);
    EXPECT_GE(Timer() - t0, 1.99);
    ASSERT_EQ(ComWrt(30, "x\r", 2), 2);
    Delay(0.3);
    EXPECT_GT(GetInQLen(30), 0);
    EXPECT_EQ(FlushInQ(30), 0);
    EXPECT_EQ(GetInQLen(30), 0);
    EXPECT_EQ(CloseCom(30), 0);
}
