// Manual commands through the program under the scripted operator, as the panel and the
// simulated instruments saw them.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "platform/panel/userint.h"
#include "sim/uSMC/usmc_sim.h"
#include "support/app_run.h"
#include "vrim/observe/journal.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

namespace {

int count_lines(const std::vector<std::string> &v, const std::string &what) {
    int n = 0;
    for (const auto &l : v) n += l == what;
    return n;
}

}  // namespace

TEST(ManualCommands, LastWavelengthOfTheQuickScan) {
    EXPECT_EQ(wl_last(4000, 50, 61), 7000);
    EXPECT_EQ(wl_last(4000, 50, 1), 4000);
    EXPECT_EQ(wl_last(4000, 50, 0), 3950);
    // Panel values whose product leaves the int range give the range's end, not a wrapped value.
    EXPECT_EQ(wl_last(30000, 10000, INT_MAX), INT_MAX);
    EXPECT_EQ(wl_last(0, -10000, INT_MAX), INT_MIN);

    AppRun r = app_run(
        "idle\nset WL_FIRST 4000\nset WL_STEP 50\nset WL_COUNT 61\nidle\ndump-controls a.txt\n"
        "set WL_COUNT 1\nidle\ndump-controls b.txt\nquit\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(app_controls(r.dir + "/a.txt")["WL_LAST"], "7000");
    EXPECT_EQ(app_controls(r.dir + "/b.txt")["WL_LAST"], "4000");
}

// The reminder follows the grating command. The field offers only the gratings the monochromator
// accepts: a 3 is refused at the panel, so no command, lamp or reminder follows it and the field
// keeps 2. The wavelength shown stays as it was.
TEST(ManualCommands, GratingThenReminder) {
    std::vector<std::string> log;
    AppRun r = app_run_logged(
        "idle\ndump-controls before.txt\nset GRATING 2\nidle\ndump-controls g2.txt\n"
        "set GRATING 3\nidle\ndump-controls g3.txt\nquit\n",
        &log);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    int g2 = app_find_line(log, "mono grating 2");
    ASSERT_GE(g2, 0);
    int pop = app_find_line(log, "popup Reminder");
    EXPECT_GT(pop, g2);
    EXPECT_EQ(count_lines(log, "popup Reminder"), 1);
    EXPECT_EQ(app_find_line(log, "mono grating 3"), -1);
    EXPECT_NE(r.err.find("refused: Grating: 3 is outside 1 … 2; the value stays 2"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("popup: Reminder: 1.Switch the light source!\n2.Adjust the slit!\n3.Load the range file!"),
              std::string::npos);

    auto before = app_controls(r.dir + "/before.txt"), a = app_controls(r.dir + "/g2.txt"), b = app_controls(r.dir + "/g3.txt");
    EXPECT_EQ(a["WL_CURRENT"], before["WL_CURRENT"]);
    EXPECT_EQ(a["MONO_BUSY"], "0");
    EXPECT_EQ(b["MONO_BUSY"], "0");
    EXPECT_EQ(b["GRATING"], "2");
}

// Stage commands: GOTO_POSITION moves X then Y to the cells of row POSITION_INDEX + 1 and shows
// the read-back; MOVE_Z moves Z only; HOME_ALL reads nothing back.
TEST(ManualCommands, StageMovesAndHoming) {
    AppRun r = app_run(
        "idle\ncell 1 3 150000\ncell 2 3 160000\nset POSITION_INDEX 2\nidle\n"
        "press GOTO_POSITION\nidle\ndump-controls goto.txt\n"
        "set Z_TARGET 4000\npress MOVE_Z\nidle\ndump-controls z.txt\n"
        "press HOME_ALL\nidle\ndump-controls home.txt\n"
        // Position 0 is the reference detector's row 1: the stages can go back to it.
        "cell 1 1 30000\ncell 2 1 124000\nset POSITION_INDEX 0\nidle\npress GOTO_POSITION\nidle\n"
        "dump-controls ref.txt\nquit\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    auto g = app_controls(r.dir + "/goto.txt");
    EXPECT_EQ(g["POS_X"], "150000");
    EXPECT_EQ(g["POS_Y"], "160000");
    EXPECT_EQ(g["POS_Z"], "0");
    EXPECT_EQ(g["STAGE_BUSY"], "0");
    auto z = app_controls(r.dir + "/z.txt");
    EXPECT_EQ(z["POS_Z"], "4000");
    EXPECT_EQ(z["POS_X"], "150000");
    auto h = app_controls(r.dir + "/home.txt");
    EXPECT_EQ(h["POS_X"], "150000");
    EXPECT_EQ(h["POS_Y"], "160000");
    EXPECT_EQ(h["POS_Z"], "4000");
    EXPECT_EQ(h["STAGE_BUSY"], "0");
    auto ref = app_controls(r.dir + "/ref.txt");
    EXPECT_EQ(ref["POSITION_INDEX"], "0");
    EXPECT_EQ(ref["POS_X"], "30000");
    EXPECT_EQ(ref["POS_Y"], "124000");
}

// A voltage set while the source is off is programmed and leaves the source off.
TEST(ManualCommands, VoltageWhileSourceOff) {
    std::vector<std::string> log;
    AppRun r = app_run_logged("idle\nset VSOURCE_VALUE 5\nidle\npress POLL_TIMER\nidle\ndump-controls c.txt\nquit\n", &log);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(app_find_line(log, "k617 V+5.00X"), 0);
    EXPECT_EQ(app_find_line(log, "k617 O1X"), -1);
    EXPECT_EQ(app_controls(r.dir + "/c.txt")["VSOURCE_OPERATE"], "0");
}

// In the program's own process, with the simulated stages: selecting a position highlights its
// table row; going there moves the stages and leaves the selection alone.
TEST(ManualCommands, SelectionAndGotoPosition) {
    const char *src = getenv("VRIM_SOURCE_DIR");  // else the copy beside the program
    std::string uir = src ? std::string(src) + "/vrim/vrim_ui.uir" : app_bin_dir() + "/vrim_ui.uir";
    clock_set_scale(0.01);
    journal_set_log_path("/dev/null");  // no session log beside the test programs
    ASSERT_NE(InitCVIRTEEx(nullptr, nullptr, nullptr), 0);
    RegisterCallback("cb_timer", cb_timer);
    p1h = LoadPanel(0, uir.c_str(), PANEL);
    ASSERT_GE(p1h, 0);
    usmc_sim_select(true);
    usmc_sim_reset();
    uSMC_Open();
    for (int i = 0; i < 3; i++) {
        node[i] = uSMC_FindSerial(serials[i]) + 1;
        uSMC_Init(node[i], 1);
    }

    SetCtrlVal(p1h, POSITION_INDEX, 3);
    do_manual(POSITION_INDEX);
    Rect sel{};
    GetTableSelection(p1h, POSITIONS, &sel);
    EXPECT_EQ(sel.top, 4);
    EXPECT_EQ(sel.left, 1);
    EXPECT_EQ(sel.height, 1);
    EXPECT_EQ(sel.width, 2);

    SetTableCellVal(p1h, POSITIONS, MakePoint(1, 3), 150000);
    SetTableCellVal(p1h, POSITIONS, MakePoint(2, 3), 160000);
    SetCtrlVal(p1h, POSITION_INDEX, 2);
    do_manual(GOTO_POSITION);
    int x = 0, y = 0;
    EXPECT_TRUE(usmc_sim_position(serials[0], &x));
    usmc_sim_position(serials[1], &y);
    EXPECT_EQ(x, 150000);
    EXPECT_EQ(y, 160000);
    GetTableSelection(p1h, POSITIONS, &sel);
    EXPECT_EQ(sel.top, 4);  // still the row selected before

    for (int i = 0; i < 3; i++) uSMC_PowerOff(node[i]);
    uSMC_Close();
    DiscardPanel(p1h);
}
