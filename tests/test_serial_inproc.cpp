// The serial layer's second kind of port: an in-process line to a simulated instrument.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/core/clock.h"
#include "platform/core/inproc_line.h"
#include "platform/core/rs232.h"
#include "sim/pty_line.h"
#include "support/echo_line.h"

using Echo = EchoLine;

TEST(InprocSerial, SameContractAsARealPort) {
    clock_set_scale(0.05);
    Echo sim;
    ASSERT_TRUE(sim.start(SimLineKind::InProcess)) << sim.error();
    ASSERT_EQ(sim.path().rfind("inproc:", 0), 0u) << sim.path();
    setenv("VRIM_COM21", sim.path().c_str(), 1);
    ASSERT_EQ(OpenComConfig(21, "", 38400, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(SetXMode(21, 0), 0);
    EXPECT_EQ(SetCTSMode(21, 0), 0);
    EXPECT_EQ(SetComTime(21, 1.0), 0);

    char buf[100];
    ASSERT_EQ(ComWrt(21, "hello\r", 6), 6);
    ASSERT_EQ(ComRdTerm(21, buf, 90, '\n'), 5);
    EXPECT_EQ(std::string(buf, 5), "olleh");
    EXPECT_EQ(sim.traffic(), "hello\r");

    // Count reached: the rest of the line stays queued for the next read.
    ASSERT_EQ(ComWrt(21, "abcdef\r", 7), 7);
    EXPECT_EQ(ComRdTerm(21, buf, 4, '\n'), 4);
    EXPECT_EQ(std::string(buf, 4), "fedc");
    EXPECT_EQ(ComRdTerm(21, buf, 90, '\n'), 2);

    // No reply: a time-out after about the port's time-out; a line cut short is not handed out.
    double t0 = Timer();
    ASSERT_EQ(ComWrt(21, "mute\r", 5), 5);
    EXPECT_EQ(ComRdTerm(21, buf, 90, '\n'), kRS232_Timeout);
    EXPECT_GE(Timer() - t0, 0.99);
    EXPECT_LT(Timer() - t0, 3.0);
    ASSERT_EQ(ComWrt(21, "cut\r", 4), 4);
    EXPECT_EQ(ComRdTerm(21, buf, 90, '\n'), kRS232_Timeout);

    // What arrives unread is counted and flushed.
    ASSERT_EQ(ComWrt(21, "xy\r", 3), 3);
    Delay(0.5);
    EXPECT_EQ(GetInQLen(21), 3);
    EXPECT_EQ(FlushInQ(21), 0);
    EXPECT_EQ(GetInQLen(21), 0);

    // One port at a time on a line, as on a real port; free again after the close.
    setenv("VRIM_COM22", sim.path().c_str(), 1);
    EXPECT_EQ(OpenComConfig(22, "", 38400, 0, 8, 1, 512, 512), kRS232_CannotOpenPort);
    EXPECT_EQ(CloseCom(21), 0);
    EXPECT_EQ(OpenComConfig(22, "", 38400, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(CloseCom(22), 0);

    // An instrument that goes away (unplugged) fails the open port's writes and reads at once,
    // after what it had sent; the port can be closed, and it cannot be opened again.
    EXPECT_EQ(OpenComConfig(21, "", 38400, 0, 8, 1, 512, 512), 0);
    ASSERT_EQ(ComWrt(21, "ab\r", 3), 3);
    Delay(0.3);
    sim.stop();
    EXPECT_EQ(ComRdTerm(21, buf, 90, '\n'), 2);
    t0 = Timer();
    EXPECT_EQ(ComRdTerm(21, buf, 90, '\n'), kRS232_IOError);
    EXPECT_LT(Timer() - t0, 0.5);
    EXPECT_EQ(ComWrt(21, "x\r", 2), kRS232_IOError);
    EXPECT_EQ(CloseCom(21), 0);
    EXPECT_EQ(OpenComConfig(21, "", 38400, 0, 8, 1, 512, 512), kRS232_CannotOpenPort);
    EXPECT_EQ(ComWrt(21, "x", 1), kRS232_PortNotOpen);
    EXPECT_EQ(OpenComConfig(23, "inproc:no-such-line", 38400, 0, 8, 1, 512, 512), kRS232_CannotOpenPort);
}

TEST(InprocSerial, BytesArriveWholeAndInOrderAcrossThreads) {
    auto line = inproc_line_create_unique("order");
    ASSERT_TRUE(line);
    EXPECT_FALSE(inproc_line_create(line->name()));  // names are unique
    ASSERT_EQ(OpenComConfig(24, line->deviceName().c_str(), 38400, 0, 8, 1, 512, 512), 0);
    EXPECT_TRUE(line->portAttached());
    EXPECT_EQ(SetComTime(24, 5.0), 0);

    // The instrument side sends 20000 numbered lines from its own thread while the port reads.
    const int kLines = 20000;
    std::thread writer([&] {
        for (int i = 0; i < kLines; i++) line->deviceWrite(std::to_string(i) + "\n");
    });
    char buf[32];
    int bad = -1;
    for (int i = 0; i < kLines && bad < 0; i++) {
        int n = ComRdTerm(24, buf, sizeof buf, '\n');
        if (n < 0 || std::string(buf, static_cast<size_t>(n)) != std::to_string(i)) bad = i;
    }
    writer.join();
    EXPECT_EQ(bad, -1) << "line " << bad << " lost or out of order";

    // The other way: everything the port writes reaches the instrument, in order.
    std::string sent;
    for (int i = 0; i < 1000; i++) sent += std::to_string(i) + ",";
    ASSERT_EQ(ComWrt(24, sent.data(), static_cast<int>(sent.size())), static_cast<int>(sent.size()));
    std::string got;
    char chunk[512];
    while (got.size() < sent.size()) {
        size_t n = line->deviceRead(chunk, sizeof chunk, 100);
        if (n == 0) break;
        got.append(chunk, n);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(CloseCom(24), 0);
    EXPECT_FALSE(line->portAttached());
    inproc_line_remove(line->name());
    EXPECT_FALSE(inproc_line_find(line->name()));
}
