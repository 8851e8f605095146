#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "instr/K617/K617.h"
#include "platform/core/clock.h"
#include "sim/K617/k617_sim.h"
#include "support/wire.h"

namespace {
using Cmds = std::vector<std::string>;

class K617 : public ::testing::Test {
protected:
    void SetUp() override {
        clock_set_scale(0.02);
        ASSERT_TRUE(sim.start()) << sim.error();
        setenv("VRIM_COM5", sim.path().c_str(), 1);
        K617_open(1, 5, 3, 0, 13);
    }
    void TearDown() override { K617_close(); }
    // Waits until the simulator has seen the device commands sent so far.
    Cmds commandsAfter(size_t n) {
        double t0 = Timer();
        while (sim.commands().size() < n && Timer() - t0 < 2) Delay(0.01);
        return sim.commands();
    }
    K617Sim sim;
};
}  // namespace

TEST_F(K617, OpenClearAndSettingCommandsOnTheWire) {
    const std::string open = "++savecfg 0\r++addr 3\r++auto 0\r++eoi 1\r++eot_enable 0\r++read_tmo_ms 1000\r";
    EXPECT_EQ(wire_traffic_after(sim, open.size()), open);
    sim.clearTraffic();
    double t0 = Timer();
    K617_clear();
    EXPECT_GE(Timer() - t0, 2.0);
    EXPECT_EQ(wire_traffic_after(sim, 6), "++clr\r");
    EXPECT_EQ(sim.deviceClears(), 1);

    // A range change waits 1 s for the input to settle, beyond the command's own 0.15 s.
    t0 = Timer();
    K617_current_mode(5);
    double took = Timer() - t0;
    EXPECT_GE(took, 1.0 + 0.15);
    EXPECT_LT(took, 1.0 + 0.15 + 0.5);
    K617_current_mode(10);
    K617_data_format(0);
    K617_trigger_mode(1);
    K617_reading_mode(0);
    K617_vsource_operate(2);
    K617_vsource_operate(0);
    K617_vsource_set(-0.03f);
    K617_zero_correct(0);
    EXPECT_EQ(commandsAfter(10),
              (Cmds{"F1R5X", "F1R10X", "G0X", "T1X", "B0X", "O1X", "O0X", "V-0.05X", "C0X", "Z0X"}));

    // Zero correction: five commands, 2 s of zero check before the zero is stored.
    t0 = Timer();
    K617_zero_correct(1);
    took = Timer() - t0;
    EXPECT_GE(took, 2.0 + 5 * 0.15);
    EXPECT_LT(took, 2.0 + 5 * 0.15 + 1.0);
    commandsAfter(15);
    EXPECT_EQ(sim.commandsSince(10), (Cmds{"C0X", "Z0X", "C1X", "Z1X", "C0X"}));
    K617SimSettings s = sim.settings();
    EXPECT_EQ(s.function, 1);
    EXPECT_EQ(s.range, 10);
    EXPECT_FALSE(s.zeroCheck);
    EXPECT_TRUE(s.zeroCorrect);
    EXPECT_EQ(s.trigger, 1);
}

TEST(K617Format, VsourceRoundsToTheGrid) {
    struct Case {
        float in;
        const char *out;
    } cases[] = {{12.34f, "V+12.35X"}, {12.36f, "V+12.35X"}, {0.02f, "V+0.00X"},   {-0.03f, "V-0.05X"},
                 {1.07f, "V+1.05X"},   {-1.0f, "V-1.00X"},   {100.0f, "V+100.00X"}, {-0.02f, "V+0.00X"}};
    for (const Case &c : cases) {
        char buf[K617_BufSize];
        EXPECT_EQ(K617_vsource_format(buf, sizeof buf, c.in), static_cast<int>(std::strlen(c.out))) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    char small[6];
    EXPECT_EQ(K617_vsource_format(small, sizeof small, 12.34f), -1);
    EXPECT_STREQ(small, "");
}

TEST(K617Parse, StatusWordFieldsAndCutShortReply) {
    K617STATUS st{};
    ASSERT_EQ(K617_parse_status(" 617" "1" "10" "2" "1" "0" "1" "3" "0" "0" "0" "1" "23" "1" "0AB", &st), 14);
    const K617STATUS want{1, 10, 2, 1, 0, 1, 3, 0, 0, 0, 1, 23, 1, {'0', 'A'}};
    EXPECT_EQ(std::memcmp(&want, &st, sizeof st), 0);

    // Cut after the eoi digit (and after one terminator character): the terminator keeps both
    // of its old characters, the fields before the cut are updated.
    EXPECT_EQ(K617_parse_status("617" "0" "05" "000000000" "00" "0", &st), 13);
    EXPECT_EQ(st.function, 0);
    EXPECT_EQ(st.range, 5);
    EXPECT_EQ(std::string(st.terminator, 2), "0A");
    EXPECT_EQ(K617_parse_status("617" "1" "05" "000000000" "00" "0" "Z", &st), 13);
    EXPECT_EQ(std::string(st.terminator, 2), "0A");

    // Not a status word: nothing changes.
    K617STATUS before = st;
    EXPECT_EQ(K617_parse_status("NDCA+1.0000E-09\r", &st), 0);
    EXPECT_EQ(K617_parse_status("", &st), 0);
    EXPECT_EQ(std::memcmp(&before, &st, sizeof st), 0);
}

TEST(K617Parse, ReadingPrefixLocationAndNoNumber) {
    char prefix[5] = {'x', 'x', 'x', 'x', 'x'};
    int loc = 7;
    EXPECT_DOUBLE_EQ(K617_parse_reading("NDCA-1.2345E-09\r", prefix, &loc), -1.2345e-9);
    EXPECT_EQ(loc, -1);
    EXPECT_STREQ(prefix, "NDCA");
    EXPECT_DOUBLE_EQ(K617_parse_reading("NDCA+2.5E-12,017\r", prefix, &loc), 2.5e-12);
    EXPECT_EQ(loc, 17);
    EXPECT_DOUBLE_EQ(K617_parse_reading("NDCA+1e3", nullptr, nullptr), 1000.0);
    EXPECT_TRUE(std::isnan(K617_parse_reading("", nullptr, nullptr)));
    EXPECT_TRUE(std::isnan(K617_parse_reading("?#*!~@&^%$\r", nullptr, nullptr)));
    EXPECT_TRUE(std::isnan(K617_parse_reading("NDCA", prefix, &loc)));
    EXPECT_EQ(loc, -1);
}

TEST_F(K617, ReadingsAndStatusFromTheInstrument) {
    sim.setCurrentSource([] { return 1.2345e-9; });
    K617_current_mode(0);  // autorange
    K617_zero_correct(1);
    K617_data_format(0);
    K617_trigger_mode(1);
    K617_vsource_set(12.34f);
    K617_vsource_operate(1);

    char prefix[5];
    int loc = 5;
    EXPECT_NEAR(K617_get(prefix, &loc), 1.2345e-9, 1e-14);
    EXPECT_STREQ(prefix, "NDCA");
    EXPECT_EQ(loc, -1);
    K617_data_format(2);
    K617_get(prefix, &loc);
    EXPECT_GE(loc, 0);
    K617_data_format(0);

    // A fixed range too small for the current shows the overflow reading.
    K617_current_mode(3);  // 200 pA
    EXPECT_GT(K617_get(nullptr, nullptr), 1e9);
    K617_current_mode(0);

    // Zero check on: the input is cut off.
    sim.clearTraffic();
    K617_send("C1X", 3);
    EXPECT_NEAR(K617_get(nullptr, nullptr), 0.0, 1e-13);
    EXPECT_EQ(sim.traffic(), "C1X\rX\r++read eoi\r");
    size_t before = sim.commands().size();  // the reading above proves every earlier command arrived
    K617_send("C0X", 3);

    EXPECT_NEAR(K617_vsource_get(), 12.35, 1e-9);
    commandsAfter(before + 4);
    EXPECT_EQ(sim.commandsSince(before), (Cmds{"C0X", "B4X", "X", "B0X"}));

    K617_status();
    EXPECT_EQ(K617Stat.function, 1);
    EXPECT_EQ(K617Stat.range, 0);
    EXPECT_EQ(K617Stat.zero_check, 0);
    EXPECT_EQ(K617Stat.zero_correct, 1);
    EXPECT_EQ(K617Stat.trigger, 1);
    EXPECT_EQ(K617Stat.vsource_operate, 1);
    EXPECT_EQ(K617Stat.read_mode, 0);
    K617_vsource_operate(0);
    K617_status();
    EXPECT_EQ(K617Stat.vsource_operate, 0);
    EXPECT_NEAR(sim.settings().vsource, 12.35, 1e-9);
}

TEST_F(K617, FaultsGiveNaNWithinTimeoutAndNoStaleBytes) {
    clock_set_scale(kClockTimeoutScale);  // time-outs last their nominal program time
    sim.setCurrentSource([] { return 2.0e-9; });
    K617_current_mode(0);
    K617_zero_correct(1);
    ASSERT_EQ(K617_status(), 14);  // thirteen numbers and the terminator pair
    EXPECT_EQ(K617_LinkStatus(), LINK_ANSWERED);
    const K617STATUS good = K617Stat;
    ASSERT_EQ(good.function, 1);

    for (K617Fault f : {K617Fault::NoReply, K617Fault::Garbled, K617Fault::CutShort}) {
        sim.setFault(f);
        double t0 = Timer();
        double v = K617_get(nullptr, nullptr);
        double took = Timer() - t0;
        EXPECT_TRUE(std::isnan(v)) << static_cast<int>(f) << " gave " << v;
        // "X" and "++read eoi" each cost 0.05 s, the command 0.1 s more, the read at most 3.1 s.
        EXPECT_LT(took, 0.2 + 3.1 + 0.5) << static_cast<int>(f);
        EXPECT_EQ(K617_status(), 0) << static_cast<int>(f);
        EXPECT_EQ(std::memcmp(&good, &K617Stat, sizeof good), 0) << static_cast<int>(f);
        // A garbled line is an answer (not a good one); silence and a line cut short are not.
        EXPECT_EQ(K617_LinkStatus(), f == K617Fault::Garbled ? LINK_ANSWERED : LINK_TIMED_OUT)
            << static_cast<int>(f);

        // Once the instrument answers again, the next reading is its own, not a leftover.
        sim.setFault(K617Fault::None);
        EXPECT_NEAR(K617_get(nullptr, nullptr), 2.0e-9, 1e-13) << static_cast<int>(f);
    }

    sim.setFault(K617Fault::Slow);
    double t0 = Timer();
    EXPECT_NEAR(K617_get(nullptr, nullptr), 2.0e-9, 1e-13);
    double took = Timer() - t0;
    EXPECT_GE(took, K617Sim::kSlowDelay);
    EXPECT_LT(took, 0.2 + 3.1 + 0.5);
    sim.setFault(K617Fault::None);
}

TEST_F(K617, SimulatedTriggerModesHoldOrRefreshTheReading) {
    std::atomic<double> amps{1.0e-9};  // read on the simulator's thread
    sim.setCurrentSource([&amps] { return amps.load(); });
    K617_current_mode(0);
    K617_zero_correct(1);
    K617_trigger_mode(7);  // one-shot on external trigger: nothing triggers, the reading is held
    double held = K617_get(nullptr, nullptr);
    amps = 3.0e-9;
    EXPECT_EQ(K617_get(nullptr, nullptr), held);
    K617_trigger_mode(5);  // one-shot on X: every "X" of a reading takes a new one
    EXPECT_NEAR(K617_get(nullptr, nullptr), 3.0e-9, 1e-13);
    amps = 4.0e-9;
    K617_trigger_mode(1);  // one-shot on talk
    EXPECT_NEAR(K617_get(nullptr, nullptr), 4.0e-9, 1e-13);
}
