// Stage moves, progress lines and homing on the simulated controllers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "sim/uSMC/usmc_sim.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kX[] = "0000000000004925";
const char kY[] = "0000000000006030";

struct Motion : testing::Test {
    void SetUp() override {
        clock_set_scale(0.002);
        usmc_sim_select(true);
        usmc_sim_reset();
        uSMC_SetSpeed(15000);
        CaptureStdout();
        ASSERT_EQ(uSMC_Open(), 0);
        ASSERT_EQ(uSMC_Init(1, 1), 0);
        ASSERT_EQ(uSMC_Init(2, 1), 0);
        GetCapturedStdout();
        usmc_sim_clear_logs();
    }
    void TearDown() override { uSMC_Close(); }
    std::vector<UsmcSimStart> starts() {
        std::vector<UsmcSimStart> v(64);
        v.resize(size_t(std::min(usmc_sim_starts(v.data(), 64), 64)));
        return v;
    }
    int position(int node) {
        int pos = 0;
        EXPECT_EQ(uSMC_GetPosition(node, &pos), 0);
        return pos;
    }
    int physical(const char *serial) {
        int pos = 0;
        EXPECT_TRUE(usmc_sim_position(serial, &pos));
        return pos;
    }
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST_F(Motion, HomingSequenceMovesSpeedsAndNewZero) {
    ASSERT_TRUE(usmc_sim_set_position(kX, 1000));
    ASSERT_TRUE(usmc_sim_set_position(kY, 280000));  // far corner of the default grid
    CaptureStdout();
    ASSERT_EQ(uSMC_ReferenceMove(1), 0);
    GetCapturedStdout();
    auto s = starts();
    ASSERT_EQ(s.size(), 4u);
    // Counted from the start point as 0; the switch sits at physical -5000.
    EXPECT_EQ(s[0].from, 0);       EXPECT_EQ(s[0].dest, -500000); EXPECT_EQ(s[0].speed, 10000.0f);
    EXPECT_EQ(s[1].from, -6000);   EXPECT_EQ(s[1].dest, -1000);   EXPECT_EQ(s[1].speed, 10000.0f);
    EXPECT_EQ(s[2].from, -1000);   EXPECT_EQ(s[2].dest, -500000); EXPECT_EQ(s[2].speed, 500.0f);
    EXPECT_EQ(s[3].from, -6000);   EXPECT_EQ(s[3].dest, -1000);   EXPECT_EQ(s[3].speed, 15000.0f);
    for (auto &m : s) EXPECT_EQ(m.divisor, 8);
    EXPECT_EQ(position(1), 0);
    EXPECT_EQ(physical(kX), 0);
    CaptureStdout();
    ASSERT_EQ(uSMC_ReferenceMove(2), 0);
    GetCapturedStdout();
    EXPECT_EQ(physical(kY), 0);
    EXPECT_EQ(uSMC_GetSpeed(), 15000.0f);
    USMC_Mode m;
    ASSERT_EQ(USMC_GetMode(0, &m), 0u);
    EXPECT_TRUE(m.Tr1En && m.Tr2En && !m.TrSwap && !m.EncoderEn);
}

TEST_F(Motion, HomingWithASwitchBeyondTheApproach) {
    ASSERT_TRUE(usmc_sim_set_limits(kX, -800000, 450000));
    CaptureStdout();
    ASSERT_EQ(uSMC_ReferenceMove(1), 0);
    GetCapturedStdout();
    auto s = starts();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1].from, -500000);  // the fast approach ends without the switch
    EXPECT_EQ(s[2].from, -495000);
    EXPECT_EQ(s[3].from, -500000);  // end of the slow approach
    EXPECT_EQ(position(1), 0);
    EXPECT_EQ(physical(kX), -495000);
}

TEST_F(Motion, FailedHomingStepGivesTheSpeedBack) {
    uSMC_SetSpeed(12345);
    struct Case { const char *op; int skip; };
    for (Case c : {Case{"USMC_SetCurrentPosition", 0}, Case{"USMC_Start", 2}, Case{"USMC_GetState", 3},
                   Case{"USMC_SetMode", 0}}) {
        usmc_sim_fail(c.op, c.skip, 0x41, 1);
        CaptureStdout();
        EXPECT_EQ(uSMC_ReferenceMove(1), 0x41) << c.op;
        GetCapturedStdout();
        EXPECT_EQ(uSMC_GetSpeed(), 12345.0f) << c.op;
    }
    // A speed the controller lowers stays the working speed.
    usmc_sim_set_max_speed(8000);
    uSMC_SetSpeed(15000);
    ASSERT_EQ(uSMC_MoveTo(2, 100), 0);
    EXPECT_EQ(uSMC_GetSpeed(), 8000.0f);
}

TEST_F(Motion, MovesSetTheirStartParametersAndKeepTheRest) {
    // Leave the controller with start parameters unlike a move's (a move of length 0 ends at once).
    USMC_StartParameters odd{};
    odd.SDivisor = 2; odd.SlStart = FALSE; odd.LoftEn = TRUE; odd.WSyncIN = TRUE;
    odd.DefDir = TRUE; odd.SyncOUTR = TRUE; odd.ForceLoft = TRUE;
    float speed = 15000;
    ASSERT_EQ(USMC_Start(0, position(1), &speed, &odd), 0u);
    CaptureStdout();
    ASSERT_EQ(uSMC_MoveTo(1, position(1) + 3000), 0);
    GetCapturedStdout();
    USMC_StartParameters sp;
    ASSERT_EQ(USMC_GetStartParameters(0, &sp), 0u);
    EXPECT_EQ(sp.SDivisor, 8);
    EXPECT_TRUE(sp.SlStart);
    EXPECT_FALSE(sp.LoftEn);
    EXPECT_FALSE(sp.WSyncIN);
    // Those a move does not name stay the controller's.
    EXPECT_TRUE(sp.DefDir && sp.SyncOUTR && sp.ForceLoft);
}

TEST_F(Motion, ProgressLinesOncePerSecondFromTheSecondSecond) {
    clock_set_scale(0.05);  // slow enough that a busy machine does not stretch a move
    // Within the first second: none.
    CaptureStdout();
    ASSERT_EQ(uSMC_MoveFor(2, 0), 0);
    ASSERT_EQ(uSMC_MoveTo(2, 6000), 0);  // 0.6 s with the ramps
    EXPECT_EQ(GetCapturedStdout(), "");
    auto s = starts();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].dest, s[0].from);  // moving by 0 is a move to the present position

    // 3.5 s (3.3 s at 15000 microsteps/s plus half of each 0.2 s ramp): two or three lines.
    const std::regex line("2 CurPos [0-9]+ L0 R0 Rot0 (Run|Stopped) On");
    for (int run = 0; run < 2; ++run) {
        int from = position(2);
        CaptureStdout();
        double t0 = Timer();
        ASSERT_EQ(uSMC_MoveTo(2, from + 49500), 0);
        double took = Timer() - t0;
        auto out = lines(GetCapturedStdout());
        EXPECT_GE(took, 3.5);
        EXPECT_LT(took, 3.8);
        EXPECT_GE(out.size(), 2u);
        EXPECT_LE(out.size(), 3u);
        for (auto &l : out) EXPECT_TRUE(std::regex_match(l, line)) << l;
        EXPECT_EQ(position(2), from + 49500);
    }
}

TEST_F(Motion, LimitSwitchEndsAMoveSuccessfully) {
    std::atomic<bool> done{false};
    std::atomic<bool> monotonic{true};
    // The station's optics read positions from another thread while the stage moves.
    std::thread reader([&] {
        int last = -1000000;
        while (!done) {
            int p;
            if (usmc_sim_position(kY, &p)) {
                if (p < last) monotonic = false;
                last = p;
            }
        }
    });
    CaptureStdout();
    int r = uSMC_MoveTo(2, 600000);
    GetCapturedStdout();
    done = true;
    reader.join();
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(position(2), 450000);
    USMC_State st;
    ASSERT_EQ(USMC_GetState(1, &st), 0u);
    EXPECT_TRUE(st.Trailer2);
    EXPECT_FALSE(st.Trailer1);
    EXPECT_FALSE(st.RUN);
    // Away from the switch is free.
    ASSERT_EQ(uSMC_MoveFor(2, -20000), 0);
    EXPECT_EQ(position(2), 430000);
}

TEST_F(Motion, FlashFileKeepsParametersAndPlaceAcrossRuns) {
    std::string path = testing::TempDir() + "usmc_flash_test.txt";
    std::remove(path.c_str());
    setenv("VRIM_USMC_FLASH", path.c_str(), 1);
    uSMC_Close();
    CaptureStdout();
    ASSERT_EQ(uSMC_Open(), 0);
    ASSERT_EQ(uSMC_Init(1, -2), 0);
    ASSERT_EQ(uSMC_MoveTo(1, 20000), 0);
    ASSERT_EQ(uSMC_PowerOffSave(1, 1), 0);
    GetCapturedStdout();
    uSMC_Close();

    usmc_sim_reset();  // a new run: nothing in memory
    CaptureStdout();
    ASSERT_EQ(uSMC_Open(), 0);
    GetCapturedStdout();
    USMC_Parameters p;
    ASSERT_EQ(USMC_GetParameters(0, &p), 0u);
    EXPECT_EQ(p.StartPos, 20000u);
    EXPECT_EQ(p.EncMult, 2.5f);
    EXPECT_EQ(p.MinP, 500.0f);
    EXPECT_EQ(position(1), 20000);
    EXPECT_EQ(physical(kX), 20000);
    unsetenv("VRIM_USMC_FLASH");
    std::remove(path.c_str());
}

namespace {
// A break check that turns true at its breakAt-th question (0: never) and counts the questions.
int asked = 0;
int breakAt = 0;
int breakWhenAsked() { return ++asked >= breakAt && breakAt > 0; }

int count_lines(const std::string &text, const std::string &line) {
    int n = 0;
    for (const auto &l : lines(text)) n += l == line;
    return n;
}

std::string calls() {
    std::string s(1u << 20, '\0');
    s.resize(usmc_sim_calls(&s[0], s.size()));
    return s;
}

struct BreakCheck : Motion {
    void SetUp() override {
        Motion::SetUp();
        asked = 0;
        breakAt = 0;
        uSMC_SetBreakCheck(breakWhenAsked);
    }
    void TearDown() override {
        uSMC_SetBreakCheck(nullptr);
        Motion::TearDown();
    }
};
}  // namespace

// A stage that keeps reporting that it runs: the move ends at the poll where the check turns
// true, with the motor stopped, instead of waiting for the move bound.
TEST_F(BreakCheck, StuckStageIsStoppedAtThePollTheCheckTurnsTrue) {
    ASSERT_TRUE(usmc_sim_set_stuck_motor(kX, true));
    breakAt = 25;
    CaptureStdout();
    EXPECT_EQ(uSMC_MoveTo(1, 100), uSMC_ERR_BROKEN);
    GetCapturedStdout();
    EXPECT_EQ(asked, breakAt);  // asked once before the start, then once per poll
    std::string log = calls();
    EXPECT_EQ(count_lines(log, "USMC_Stop 0"), 1) << log;
    // Nothing after the stop: the move returned at that poll.
    EXPECT_EQ(log.substr(log.size() - std::string("USMC_Stop 0\n").size()), "USMC_Stop 0\n") << log;
    // Polls: one state read per question but the first (before the start).
    EXPECT_EQ(count_lines(log, "USMC_GetState 0"), breakAt - 1);
    EXPECT_EQ(uSMC_LastCode(), uSMC_ERR_BROKEN);
    breakAt = 0;
    EXPECT_EQ(position(1), 100);
    USMC_State st{};
    ASSERT_EQ(USMC_GetState(0, &st), 0u);
    EXPECT_FALSE(st.RUN);
}

// An end asked for before the move starts nothing; a check that stays false changes nothing.
TEST_F(BreakCheck, EndAlreadyAskedStartsNothingAndAFalseCheckIsHarmless) {
    breakAt = 1;
    EXPECT_EQ(uSMC_MoveTo(1, 5000), uSMC_ERR_BROKEN);
    EXPECT_TRUE(starts().empty());
    EXPECT_EQ(calls().find("USMC_Start"), std::string::npos);
    EXPECT_EQ(physical(kX), 0);

    breakAt = 0;
    asked = 0;
    CaptureStdout();
    EXPECT_EQ(uSMC_MoveTo(1, 5000), 0);
    GetCapturedStdout();
    EXPECT_GE(asked, 1);  // a quick move may end before its second poll on a busy machine
    EXPECT_EQ(position(1), 5000);
    EXPECT_EQ(calls().find("USMC_Stop"), std::string::npos);
}

// Homing broken off during its first approach: the motor is stopped, no later step starts, and
// the working speed is given back.
TEST_F(BreakCheck, HomingBrokenOffStopsAndGivesTheSpeedBack) {
    ASSERT_TRUE(usmc_sim_set_position(kX, 280000));  // a long approach
    breakAt = 10;
    CaptureStdout();
    EXPECT_EQ(uSMC_ReferenceMove(1), uSMC_ERR_BROKEN);
    GetCapturedStdout();
    EXPECT_EQ(asked, breakAt);
    EXPECT_EQ(starts().size(), 1u);
    EXPECT_EQ(count_lines(calls(), "USMC_Stop 0"), 1);
    EXPECT_EQ(uSMC_GetSpeed(), 15000.0f);
    int before = physical(kX);
    EXPECT_GT(before, -5000);  // stopped short of the switch
    Delay(1.0);
    EXPECT_EQ(physical(kX), before);  // and stays where it stopped
}
