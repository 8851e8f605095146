// Stage driver against the simulated controllers and the library loader: discovery, node
// checks, power-off and the faults.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "sim/uSMC/usmc_sim.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kX[] = "0000000000004925";
const char kY[] = "0000000000006030";
const char kZ[] = "0000000000002894";

struct Driver : testing::Test {
    void SetUp() override {
        clock_set_scale(0.01);
        usmc_sim_select(true);
        usmc_sim_reset();
    }
    void TearDown() override { uSMC_Close(); }
    std::string open() {
        CaptureStdout();
        int r = uSMC_Open();
        std::string out = GetCapturedStdout();
        EXPECT_EQ(r, 0);
        return out;
    }
    std::string calls() {
        char buf[8192];
        usmc_sim_calls(buf, sizeof buf);
        return buf;
    }
};

}  // namespace

TEST_F(Driver, DiscoveryBySerial) {
    open();
    // The application's serial numbers come without a terminator.
    const char axes[3][16] = {{'0','0','0','0','0','0','0','0','0','0','0','0','4','9','2','5'},
                              {'0','0','0','0','0','0','0','0','0','0','0','0','6','0','3','0'},
                              {'0','0','0','0','0','0','0','0','0','0','0','0','2','8','9','4'}};
    EXPECT_EQ(uSMC_FindSerial(axes[0]), 0);
    EXPECT_EQ(uSMC_FindSerial(axes[1]), 1);
    EXPECT_EQ(uSMC_FindSerial(axes[2]), 2);
    EXPECT_EQ(uSMC_FindSerial("0000000000009999"), -1);
    uSMC_Close();

    // Same first 16 characters: the lower device wins. A missing controller is not found.
    const char *dup[] = {"0000000000000001", "0000000000004925AB", "0000000000004925"};
    usmc_sim_set_devices(dup, 3);
    ASSERT_TRUE(usmc_sim_set_missing("0000000000000001", true));
    EXPECT_EQ(open(),
              "Device - 0,\tSerial Number - 0000000000004925,\tVersion - 2.41\n"
              "Device - 1,\tSerial Number - 0000000000004925,\tVersion - 2.41\n");
    EXPECT_EQ(uSMC_FindSerial(kX), 0);
    EXPECT_EQ(uSMC_FindSerial("0000000000000001"), -1);
    uSMC_Close();

    // An empty list prints nothing and finds nothing.
    usmc_sim_set_devices(nullptr, 0);
    EXPECT_EQ(open(), "");
    EXPECT_EQ(uSMC_DeviceCount(), 0);
    EXPECT_EQ(uSMC_FindSerial(kX), -1);
    EXPECT_EQ(uSMC_Init(1, 1), uSMC_ERR_NODE);
}

TEST_F(Driver, NodesOutsideTheListAreRefusedBeforeAnyCall) {
    const char *two[] = {kX, kY};
    usmc_sim_set_devices(two, 2);
    open();
    usmc_sim_clear_logs();
    int pos = 4242;
    for (int node : {0, -1, 3, 5, 100}) {
        EXPECT_EQ(uSMC_Init(node, 1), uSMC_ERR_NODE) << node;
        EXPECT_EQ(uSMC_SetParameters(node, -1), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_PowerOn(node), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_PowerOffSave(node, 1), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_PowerOff(node), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_RevertStartPosition(node), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_MoveTo(node, 100), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_MoveFor(node, 100), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_GetPosition(node, &pos), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_ReferenceMove(node), uSMC_ERR_NODE);
        EXPECT_EQ(uSMC_LastCode(), uSMC_ERR_NODE);
    }
    EXPECT_EQ(pos, 4242);
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(uSMC_Reset(0), 0);

    // Five controllers listed: the driver still has records for four only.
    uSMC_Close();
    const char *five[] = {kX, kY, kZ, "0000000000000004", "0000000000000005"};
    usmc_sim_set_devices(five, 5);
    open();
    EXPECT_EQ(uSMC_FindSerial("0000000000000005"), 4);
    EXPECT_EQ(uSMC_Init(5, 1), uSMC_ERR_NODE);
    EXPECT_EQ(uSMC_Init(4, 1), 0);
}

TEST_F(Driver, PowerOffWaitsAndSavesThePositionReachedAfterIt) {
    open();
    ASSERT_EQ(uSMC_Init(2, 1), 0);
    usmc_sim_set_power_off_delay(0.3);
    // The motor is still moving when power is removed: it stops where it is then, and that
    // point (read once the power is off) becomes the start position.
    float speed = 15000;
    USMC_StartParameters sp;
    ASSERT_EQ(USMC_GetStartParameters(1, &sp), 0u);
    ASSERT_EQ(USMC_Start(1, 200000, &speed, &sp), 0u);
    Delay(0.5);
    usmc_sim_clear_logs();
    CaptureStdout();
    double t0 = Timer();
    ASSERT_EQ(uSMC_PowerOffSave(2, 1), 0);
    EXPECT_GE(Timer() - t0, 0.3);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_FALSE(usmc_sim_powered(kY));
    int phys = 0;
    ASSERT_TRUE(usmc_sim_position(kY, &phys));
    EXPECT_GT(phys, 1000);
    EXPECT_LT(phys, 200000);
    USMC_Parameters p;
    ASSERT_EQ(USMC_GetParameters(1, &p), 0u);
    EXPECT_EQ(int(p.StartPos), phys);
    std::string c = calls();
    EXPECT_EQ(c.rfind("USMC_GetParameters 1\nUSMC_GetMode 1\nUSMC_SetMode 1\nUSMC_GetState 1\n", 0), 0u) << c;
    size_t states = 0;
    for (size_t at = 0; (at = c.find("USMC_GetState", at)) != std::string::npos; ++at) ++states;
    EXPECT_GE(states, 2u);  // read again while the power was still on
    EXPECT_NE(c.find("USMC_GetState 1\nUSMC_SetParameters 1\nUSMC_SaveParametersToFlash 1\n"), std::string::npos);

    // A move is refused without power; power on brings it back.
    EXPECT_NE(uSMC_MoveTo(2, 0), 0);
    ASSERT_EQ(uSMC_PowerOn(2), 0);
    EXPECT_TRUE(usmc_sim_powered(kY));

    CaptureStdout();
    ASSERT_EQ(uSMC_RevertStartPosition(2), 0);
    EXPECT_EQ(GetCapturedStdout(), "\nStart Position is Reset to 0\n");
    ASSERT_EQ(USMC_GetParameters(1, &p), 0u);
    EXPECT_EQ(p.StartPos, 0u);
}

TEST_F(Driver, FaultsEndTheOperationWithTheirCode) {
    open();
    // Opening fails with the library's code and text.
    uSMC_Close();
    usmc_sim_fail("USMC_Init", 0, 0x32, 1);
    CaptureStdout();
    EXPECT_EQ(uSMC_Open(), 0x32);
    PrintError();
    EXPECT_EQ(GetCapturedStdout(), "\nUSMC_Init failed (simulated fault, code 0x32)");
    EXPECT_EQ(uSMC_Init(1, 1), uSMC_ERR_NODE);
    open();
    // A failing call: the steps after it do not run.
    usmc_sim_fail("USMC_GetMode", 0, 0x33, 1);
    usmc_sim_clear_logs();
    EXPECT_EQ(uSMC_Init(1, 1), 0x33);
    EXPECT_EQ(uSMC_LastCode(), 0x33);
    EXPECT_EQ(calls(), "USMC_GetParameters 0\nUSMC_SetParameters 0\nUSMC_GetMode 0\n");
    usmc_sim_fail("USMC_SaveParametersToFlash", 0, 0x34, 1);
    CaptureStdout();
    EXPECT_EQ(uSMC_SetParameters(1, -1), 0x34);
    EXPECT_EQ(GetCapturedStdout(), "");  // no report of a save that failed
    usmc_sim_fail("USMC_GetState", 0, 0x35, 1);
    int pos = 17;
    EXPECT_EQ(uSMC_GetPosition(1, &pos), 0x35);
    EXPECT_EQ(pos, 17);
    ASSERT_EQ(uSMC_Init(1, 1), 0);

    // Power that never goes off, a motor that never stops: bounded waits give a code.
    uSMC_SetWaitLimits(2.0, 1.0);
    ASSERT_TRUE(usmc_sim_set_stuck_power(kX, true));
    double t0 = Timer();
    EXPECT_EQ(uSMC_PowerOff(1), uSMC_ERR_TIMEOUT);
    EXPECT_LT(Timer() - t0, 3.0);
    ASSERT_TRUE(usmc_sim_set_stuck_power(kX, false));
    ASSERT_EQ(uSMC_PowerOn(1), 0);
    ASSERT_TRUE(usmc_sim_set_stuck_motor(kX, true));
    CaptureStdout();
    t0 = Timer();
    EXPECT_EQ(uSMC_MoveTo(1, 1000), uSMC_ERR_TIMEOUT);
    GetCapturedStdout();
    EXPECT_GT(Timer() - t0, 1.9);
    EXPECT_LT(Timer() - t0, 5.0);
    ASSERT_TRUE(usmc_sim_set_stuck_motor(kX, false));
    EXPECT_EQ(uSMC_MoveTo(1, 0), 0);
    uSMC_SetWaitLimits(900, 10);

    // A relative move past the int range is refused, nothing moves.
    usmc_sim_clear_logs();
    EXPECT_EQ(uSMC_MoveFor(1, 2147483647), 0);  // from 0: still in range (stops at the switch)
    EXPECT_EQ(uSMC_MoveFor(1, 2147483647), uSMC_ERR_RANGE);
}

TEST(StageLibrary, MissingOrIncompleteLibraryFailsToOpenAndSaysWhy) {
    usmc_sim_select(false);
    const char *station = std::getenv("VRIM_STATION");
    std::string saved = station ? station : "";
    unsetenv("VRIM_STATION");
    char text[101];

    setenv("VRIM_USMC_LIBRARY", "/nonexistent/libstages.so", 1);
    CaptureStdout();
    int r = uSMC_Open();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_NE(r, 0);
    EXPECT_EQ(uSMC_DeviceCount(), 0);
    USMC_GetLastErr(text, sizeof text);
    EXPECT_NE(std::string(text).find("/nonexistent/libstages.so"), std::string::npos) << text;
    EXPECT_EQ(uSMC_FindSerial(kX), -1);
    int pos;
    EXPECT_EQ(uSMC_GetPosition(1, &pos), uSMC_ERR_NODE);

    // A library that loads but has none of the operations.
#if defined(_WIN32)
    setenv("VRIM_USMC_LIBRARY", "version.dll", 1);
#else
    setenv("VRIM_USMC_LIBRARY", "libm.so.6", 1);
#endif
    EXPECT_NE(uSMC_Open(), 0);
    USMC_GetLastErr(text, sizeof text);
    EXPECT_NE(std::string(text).find("lacks the operation USMC_Init"), std::string::npos) << text;
    // Nothing is open: operations say so instead of crashing.
    USMC_State s;
    EXPECT_EQ(USMC_GetState(0, &s), DWORD(USMC_ERR_NOT_OPEN));

    unsetenv("VRIM_USMC_LIBRARY");
    if (station) setenv("VRIM_STATION", saved.c_str(), 1);
}
