#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "instr/PROLOGIX/PROLOGIX.h"
#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "sim/K617/k617_sim.h"
#include "support/wire.h"

namespace {
const int kPort = 11;

// A controller that answers the address query with a line cut short (no line feed) and answers
// nothing else.
class CutAddrReply : public PtyLine {
protected:
    void handleLine(const std::string &line) override {
        if (line == "++addr") send("7 9");
    }
};

class Prologix : public ::testing::Test {
protected:
    void SetUp() override {
        clock_set_scale(0.02);
        ASSERT_TRUE(sim.start()) << sim.error();
        setenv("VRIM_COM11", sim.path().c_str(), 1);
        ASSERT_EQ(PROLOGIX_Open(kPort), 0);
    }
    void TearDown() override { PROLOGIX_Close(); }
    K617Sim sim;
};
}  // namespace

TEST_F(Prologix, LinesOnTheWireAndBufferLimit) {
    EXPECT_EQ(wire_traffic_after(sim, 12), "++savecfg 0\r");
    sim.clearTraffic();

    // 98 characters fill the line buffer exactly; one more is refused and nothing is written.
    std::string longest(98, 'a');
    EXPECT_EQ(PROLOGIX_Send(longest.c_str()), 0);
    EXPECT_EQ(wire_traffic_after(sim, 99), longest + "\r");
    std::string tooLong(99, 'b');
    EXPECT_EQ(PROLOGIX_Send(tooLong.c_str()), -1);
    EXPECT_EQ(PROLOGIX_Send(nullptr), -1);
    EXPECT_EQ(PROLOGIX_Send("++ver"), 0);
    EXPECT_EQ(wire_traffic_after(sim, 105), longest + "\r++ver\r");

    // The reply keeps its carriage return and drops the line feed.
    char buf[100];
    std::string ver = "Prologix GPIB-USB Controller version 6.107\r";
    ASSERT_EQ(PROLOGIX_Receive(buf, 90), static_cast<int>(ver.size()));
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_ANSWERED);
    EXPECT_EQ(std::string(buf), ver);
}

TEST_F(Prologix, LongReplyStopsAtLimitAndNextSendDropsTheRest) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    PROLOGIX_Send("++ver");
    ASSERT_EQ(PROLOGIX_Receive(buf, 10), 10);
    EXPECT_EQ(std::string(buf), "Prologix G");
    EXPECT_EQ(buf[11], '#');  // nothing written past limit + NUL

    Delay(0.2);  // let the rest of the line arrive, so the flush has something to drop
    PROLOGIX_Send("++auto");
    ASSERT_EQ(PROLOGIX_Receive(buf, 10), 2);
    EXPECT_EQ(std::string(buf), "0\r");
}

TEST_F(Prologix, SetAddrQueryAndSet) {
    int pad = -1, sad = 42;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), 1);
    EXPECT_EQ(pad, 3);
    EXPECT_EQ(sad, 42);  // not in the reply: kept

    sim.clearTraffic();
    pad = 5, sad = -1;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), 0);
    pad = 5, sad = 31;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), 0);
    pad = 5, sad = 3;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), 0);
    pad = 31, sad = 3;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), -1);
    EXPECT_EQ(wire_traffic_after(sim, 31), "++addr 5\r++addr 5\r++addr 5 3\r");

    pad = -1, sad = -1;
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), 2);
    EXPECT_EQ(pad, 5);
    EXPECT_EQ(sad, 3);
}

TEST(PrologixFaults, UnreadableAddressReplyConvertsNothingWithinTimeout) {
    clock_set_scale(kClockTimeoutScale);  // time-outs last their nominal program time
    CutAddrReply cut;
    ASSERT_TRUE(cut.start()) << cut.error();
    setenv("VRIM_COM12", cut.path().c_str(), 1);
    ASSERT_EQ(PROLOGIX_Open(12), 0);
    int pad = -1, sad = -1;
    double t0 = Timer();
    // The bytes "7 9" arrive without their line feed: they must not be taken as the address.
    EXPECT_EQ(PROLOGIX_SetAddr(&pad, &sad), -1);
    double waited = Timer() - t0;
    EXPECT_EQ(pad, -1);
    EXPECT_EQ(sad, -1);
    EXPECT_GE(waited, 3.1);
    EXPECT_LT(waited, 3.1 + 1.0);

    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(PROLOGIX_Receive(buf, 4), kRS232_Timeout);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_TIMED_OUT);
    EXPECT_EQ(PROLOGIX_Send("++ver"), 0);
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_IDLE);
    PROLOGIX_Close();
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_NOT_OPEN);

    setenv("VRIM_COM13", "/dev/does-not-exist-vrim", 1);
    EXPECT_LT(PROLOGIX_Open(13), 0);
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_NOT_OPEN);
    EXPECT_EQ(PROLOGIX_Send("++ver"), -1);
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_NOT_OPEN);
    EXPECT_EQ(PROLOGIX_Receive(buf, 4), kRS232_PortNotOpen);
    EXPECT_EQ(PROLOGIX_LinkStatus(), LINK_NOT_OPEN);
}
