#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "instr/SP2155/SP2155.h"
#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "sim/SP2155/sp2155_sim.h"
#include "sim/pty_line.h"

namespace {
// Real seconds per program second: the least at which time-outs last their nominal program time,
// which these tests measure.
constexpr double kScale = kClockTimeoutScale;

// Answers each line with the next canned reply (exact bytes), or nothing when none is queued.
class Scripted : public PtyLine {
public:
    ~Scripted() override { stop(); }
    void queue(const std::string &r) {
        std::lock_guard<std::mutex> lk(m_);
        replies_.push_back(r);
    }

protected:
    void handleLine(const std::string &) override {
        std::string r;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (replies_.empty()) return;
            r = replies_.front();
            replies_.pop_front();
        }
        send(r);
    }

private:
    std::mutex m_;
    std::deque<std::string> replies_;
};

void openOn(PtyLine &line) {
    clock_set_scale(kScale);
    ASSERT_TRUE(line.start()) << line.error();
    setenv("VRIM_COM4", line.path().c_str(), 1);
    SP2155_Open(4);
}

std::string received() { return std::string(SP2155_Receive); }

// Program seconds a call takes.
template <class F> double timed(F f) {
    double t0 = Timer();
    f();
    return Timer() - t0;
}
}  // namespace

TEST(SP2155Parse, AcknowledgementPayloadAndRounding) {
    EXPECT_TRUE(sp2155_reply_ok(" 1  ok\r", 7));
    EXPECT_TRUE(sp2155_reply_ok("  OK\r", 5));
    EXPECT_TRUE(sp2155_reply_ok("oK\r", 3));
    EXPECT_FALSE(sp2155_reply_ok("ok", 2));
    EXPECT_FALSE(sp2155_reply_ok("  ok", 4));      // no CR before the line feed
    EXPECT_FALSE(sp2155_reply_ok(" ?\r", 3));
    EXPECT_FALSE(sp2155_reply_ok("  0k\r", 5));

    EXPECT_EQ(sp2155_payload_len(11 + 5), 11);
    EXPECT_EQ(sp2155_payload_len(5), 0);
    EXPECT_EQ(sp2155_payload_len(4), 0);  // acknowledgement with one blank or none
    EXPECT_EQ(sp2155_payload_len(3), 0);

    EXPECT_EQ(sp2155_nm_to_tenths(500.25f), 5003);
    EXPECT_EQ(sp2155_nm_to_tenths(500.24f), 5002);
    EXPECT_EQ(sp2155_nm_to_tenths(499.96f), 5000);

    float nm = 0;
    EXPECT_TRUE(sp2155_parse_nm("   500.000 nm", &nm));
    EXPECT_FLOAT_EQ(nm, 500.0f);
    for (const char *bad : {"", "  nm", "?NM 500.0", "inf", "nan", "1e30"}) EXPECT_FALSE(sp2155_parse_nm(bad, &nm)) << bad;
    int g = 0;
    EXPECT_TRUE(sp2155_parse_int(" 2", &g));
    EXPECT_EQ(g, 2);
    EXPECT_FALSE(sp2155_parse_int(" x", &g));
    EXPECT_FALSE(sp2155_parse_int(" 99999999999999", &g));

    char buf[100];
    ASSERT_EQ(sp2155_format_goto(5003, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "500.3 GOTO");
    sp2155_format_goto(1000, buf, sizeof buf);
    EXPECT_STREQ(buf, "100.0 GOTO");
    EXPECT_EQ(sp2155_format_goto(5003, buf, 8), -1);
}

TEST(SP2155Wire, ExactBytesOfEveryOperation) {
    SP2155Sim sim;
    sim.setWavelengthNm(500.0);
    sim.setSpeedNmPerSecond(1000.0);
    sim.setGratingChangeSeconds(0.5);
    openOn(sim);

    double t = timed([] { EXPECT_EQ(SP2155_GetWavelength(), 5000); });
    EXPECT_GE(t, 0.05);  // the pause before every line
    EXPECT_EQ(sim.traffic(), "?NM\r");
    EXPECT_EQ(SP2155_nout(), 4);
    EXPECT_EQ(received(), " 500.000 nm");
    EXPECT_EQ(SP2155_nin(), 11);

    sim.clearTraffic();
    SP2155_SetWavelength(5003);
    EXPECT_EQ(sim.traffic(), "500.3 GOTO\r");
    EXPECT_NEAR(sim.wavelengthNm(), 500.3, 1e-9);
    EXPECT_EQ(SP2155_GetWavelength(), 5003);
    sim.clearTraffic();
    SP2155_SetWavelength(1000);
    EXPECT_EQ(sim.traffic(), "100.0 GOTO\r");
    EXPECT_FALSE(sim.moving());  // the call returned after the move's answer

    sim.clearTraffic();
    EXPECT_EQ(SP2155_GetGrating(), 1);
    SP2155_SetGrating(2);
    EXPECT_EQ(sim.grating(), 2);
    SP2155_SetGrating(3);
    SP2155_SetGrating(0);
    SP2155_Echo(1);
    SP2155_Echo(0);
    EXPECT_EQ(sim.traffic(), "?GRATING\r2 GRATING\rECHO\rNO-ECHO\r");
    EXPECT_EQ(sim.grating(), 2);

    sim.clearTraffic();
    EXPECT_EQ(SP2155_GetTurret(), 1);
    SP2155_SetTurret(2);
    SP2155_SetSpeed(100);
    SP2155_Scan(5000);
    Delay(0.2);
    EXPECT_EQ(sim.traffic(), "");

    // Longest command that fits goes out whole; one more character is refused unsent.
    sim.clearTraffic();
    std::string cmd98(98, 'A'), cmd99(99, 'A');
    SP2155_Cmd(cmd98.c_str(), 0);
    EXPECT_EQ(sim.traffic(), cmd98 + "\r");
    EXPECT_EQ(SP2155_nout(), 99);
    sim.clearTraffic();
    EXPECT_EQ(SP2155_Cmd(cmd99.c_str(), 0), -1);
    EXPECT_EQ(SP2155_Cmd(nullptr, 0), -1);
    Delay(0.2);
    EXPECT_EQ(sim.traffic(), "");
    SP2155_Close();
}

TEST(SP2155Wire, ReplyShapes) {
    Scripted line;
    openOn(line);
    // Acknowledgement alone, either case: a good reply with an empty payload.
    line.queue("  ok\r\n");
    EXPECT_EQ(SP2155_Cmd("ECHO", 0), 0);
    EXPECT_EQ(received(), "");
    line.queue("  OK\r\n");
    EXPECT_EQ(SP2155_Cmd("ECHO", 0), 0);
    // Shorter than the five-byte acknowledgement: still good, payload empty, buffer intact.
    std::memset(SP2155_Send, 'S', sizeof SP2155_Send);
    line.queue("ok\r\n");
    EXPECT_EQ(SP2155_Cmd("ECHO", 0), 0);
    EXPECT_EQ(SP2155_nin(), 0);
    EXPECT_EQ(received(), "");
    line.queue(" Ok\r\n");
    EXPECT_EQ(SP2155_Cmd("ECHO", 0), 0);

    line.queue(" 500.25 nm  ok\r\n");
    EXPECT_EQ(SP2155_GetWavelength(), 5003);
    line.queue(" 2  ok\r\n");
    EXPECT_EQ(SP2155_GetGrating(), 2);

    // An error answer: -1, the raw bytes kept (and terminated, so nothing older is read).
    line.queue(" ?\r\n");
    EXPECT_EQ(SP2155_Cmd("?NM", 0), -1);
    EXPECT_EQ(SP2155_nin(), 3);
    EXPECT_EQ(std::string(SP2155_Receive, 3), " ?\r");
    EXPECT_EQ(SP2155_Receive[3], '\0');
    line.queue(" 123.4 nm  ok\r");  // no line feed: cut short
    EXPECT_EQ(SP2155_GetWavelength(), 0);

    // A reply longer than 90 bytes is cut there and refused; its rest is not taken for the
    // next reply.
    line.queue(std::string(120, '7') + "  ok\r\n");
    EXPECT_EQ(SP2155_Cmd("?NM", 0), -1);
    EXPECT_EQ(SP2155_nin(), 90);
    Delay(0.1);
    line.queue(" 1  ok\r\n");
    EXPECT_EQ(SP2155_GetGrating(), 1);
    SP2155_Close();
}

TEST(SP2155Timing, LongTimeOutsAreRestoredToOneSecond) {
    SP2155Sim sim;
    sim.setWavelengthNm(100.0);
    sim.setSpeedNmPerSecond(100.0);
    sim.setGratingChangeSeconds(20.0);
    openOn(sim);

    // A 6 s move is waited for (10 s time-out) and answered.
    double t = timed([] { SP2155_SetWavelength(7000); });
    EXPECT_EQ(SP2155_nin(), 0);
    EXPECT_GE(t, 6.0);
    EXPECT_LT(t, 8.0);
    EXPECT_NEAR(sim.wavelengthNm(), 700.0, 1e-9);

    // The next query times out after 1 s again.
    sim.setFault(SP2155Fault::NoReply);
    t = timed([] { EXPECT_EQ(SP2155_Cmd("?NM", 0), -1); });
    EXPECT_GE(t, 1.0);
    EXPECT_LT(t, 2.0);

    // A 20 s grating change is waited for (30 s time-out); 1 s again afterwards.
    sim.setFault(SP2155Fault::None);
    t = timed([] { SP2155_SetGrating(2); });
    EXPECT_GE(t, 20.0);
    EXPECT_LT(t, 23.0);
    EXPECT_EQ(sim.grating(), 2);
    sim.setFault(SP2155Fault::NoReply);
    t = timed([] { SP2155_GetGrating(); });
    EXPECT_LT(t, 2.0);

    // A move longer than 10 s: the call gives up at 10 s.
    sim.setFault(SP2155Fault::None);
    sim.setSpeedNmPerSecond(40.0);
    t = timed([] { SP2155_SetWavelength(1000); });  // 600 nm at 40 nm/s takes 15 s
    EXPECT_EQ(SP2155_nin(), kRS232_Timeout);
    EXPECT_GE(t, 10.0);
    EXPECT_LT(t, 11.5);
    SP2155_Close();
}

TEST(SP2155Faults, FailureCodeNoOverwaitNoStaleBytes) {
    SP2155Sim sim;
    sim.setWavelengthNm(500.0);
    sim.setSlowExtraSeconds(1.5);
    openOn(sim);
    // A wrong answer is still an answer; silence, a line cut short and a late answer are not.
    const struct {
        SP2155Fault f;
        double atMost;  // program s a query may take
        LinkStatus status;
    } cases[] = {{SP2155Fault::NoReply, 1.6, LINK_TIMED_OUT},
                 {SP2155Fault::Garbled, 0.6, LINK_ANSWERED},
                 {SP2155Fault::CutShort, 1.6, LINK_TIMED_OUT},
                 {SP2155Fault::ErrorAnswer, 0.6, LINK_ANSWERED},
                 {SP2155Fault::Slow, 1.6, LINK_TIMED_OUT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.f));
        sim.setFault(SP2155Fault::None);
        ASSERT_EQ(SP2155_GetWavelength(), 5000);  // a good reply sits in the buffer
        EXPECT_EQ(SP2155_LinkStatus(), LINK_ANSWERED);
        sim.setFault(c.f);
        double t = timed([] { EXPECT_EQ(SP2155_GetWavelength(), 0); });
        EXPECT_LT(t, c.atMost);
        EXPECT_EQ(SP2155_LinkStatus(), c.status);
        // An answer that comes after its time-out is flushed before the next command, never
        // read as that command's reply.
        Delay(c.f == SP2155Fault::Slow ? 1.0 : 0.2);
        EXPECT_EQ(SP2155_Cmd("?NM", 0), -1);
        Delay(c.f == SP2155Fault::Slow ? 2.0 : 0.2);
        sim.setFault(SP2155Fault::None);
        EXPECT_EQ(SP2155_GetGrating(), 1);
        EXPECT_EQ(SP2155_GetWavelength(), 5000);
    }
    SP2155_Close();
}

TEST(SP2155Faults, MissingPortFailsAtOnce) {
    clock_set_scale(kScale);
    setenv("VRIM_COM4", "/dev/does-not-exist-vrim-mono", 1);
    SP2155_Open(4);
    EXPECT_EQ(SP2155_LinkStatus(), LINK_NOT_OPEN);
    double t = timed([] { EXPECT_EQ(SP2155_Cmd("?NM", 0), -1); });
    EXPECT_LT(t, 0.5);
    EXPECT_EQ(SP2155_LinkStatus(), LINK_NOT_OPEN);
    // A command refused before sending leaves nothing to say about the line.
    EXPECT_EQ(SP2155_Cmd(std::string(99, 'X').c_str(), 0), -1);
    EXPECT_EQ(SP2155_LinkStatus(), LINK_IDLE);
    EXPECT_EQ(SP2155_GetWavelength(), 0);
    EXPECT_EQ(SP2155_GetGrating(), 0);
    t = timed([] { SP2155_SetGrating(2); });
    EXPECT_LT(t, 0.5);
    SP2155_Close();
}

TEST(SP2155Sim, MoveRunsOnTheClockAndBadCommandsChangeNothing) {
    SP2155Sim sim;
    sim.setWavelengthNm(100.0);
    sim.setSpeedNmPerSecond(100.0);
    openOn(sim);
    std::thread mover([] { SP2155_SetWavelength(5000); });  // 400 nm: 4 s
    Delay(2.0);
    EXPECT_TRUE(sim.moving());
    EXPECT_NEAR(sim.wavelengthNm(), 300.0, 80.0);
    mover.join();
    EXPECT_FALSE(sim.moving());
    EXPECT_EQ(SP2155_LastResult(), 0);

    for (const char *bad : {"1500.0 GOTO", "4 GRATING", "0 GRATING", "HELLO", "5x GOTO"})
        EXPECT_EQ(SP2155_Cmd(bad, 0), -1) << bad;
    EXPECT_EQ(SP2155_GetWavelength(), 5000);
    EXPECT_EQ(SP2155_GetGrating(), 1);
    SP2155_Close();
}
