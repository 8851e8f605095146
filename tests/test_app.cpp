// The program's life as a whole: start-up in order with its five start-up events, the default
// grid file, the loop's dispatch and poll, and the shutdown, as the simulated instruments saw it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/app_run.h"

namespace {

std::vector<std::string> electrometer_only(const std::vector<std::string> &log) {
    std::vector<std::string> k;
    for (const auto &l : log)
        if (l.rfind("k617 ", 0) == 0 && l != "k617 clear") k.push_back(l.substr(5));
    return k;
}

}  // namespace

// A QUIT queued at once is handled only after the five start-up events and the events queued
// before it, and events queued after it are never handled; the electrometer is set up in its order
// before them and is left in trigger mode 0 after them, then the stages lose power.
TEST(AppLifecycle, StartUpEventsBeforeQueuedQuitAndShutdownOrder) {
    std::vector<std::string> log;
    AppRun r = app_run_logged("set VSOURCE_VALUE 2.5\nquit\npress ZERO_CORRECT\nset CURRENT_RANGE 3\n", &log);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;

    std::vector<std::string> k = electrometer_only(log);
    // Start-up, then the events: value, operate state, one poll (reading and status); the operator's
    // VSOURCE_VALUE and QUIT come after those; then trigger mode 0 at shutdown.
    std::vector<std::string> want = {"F1R0X", "C0X", "Z0X", "C1X", "Z1X", "C0X", "G0X", "T1X",
                                     "V+2.50X", "O0X", "X", "U0X", "V+2.50X", "T0X"};
    // The panel's timer may add polls (X, U0X) between the start-up events and the end.
    std::vector<std::string> got;
    for (size_t i = 0; i < k.size(); i++) {
        bool extraPoll = got.size() >= 12 && (k[i] == "X" || k[i] == "U0X");
        if (!extraPoll) got.push_back(k[i]);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(app_find_line(log, "k617 clear"), 0);

    int t0 = app_find_line(log, "k617 T0X");
    ASSERT_GE(t0, 0);
    int px = app_find_line(log, "stage X power off", t0), py = app_find_line(log, "stage Y power off", t0),
        pz = app_find_line(log, "stage Z power off", t0);
    EXPECT_GT(px, t0);
    EXPECT_GT(py, px);
    EXPECT_GT(pz, py);
    for (int i = t0 + 1; i < (int)log.size(); i++) EXPECT_NE(log[i].rfind("k617 ", 0), 0u) << log[i];

    // The default grid file: the reference position, then 11 columns of 11 points.
    std::string grid = "30000 124000\n";
    for (int x = 130000; x <= 280000; x += 15000)
        for (int y = 115000; y <= 265000; y += 15000) grid += std::to_string(x) + " " + std::to_string(y) + "\n";
    EXPECT_EQ(app_read_text(r.dir + "/mcp_positions.txt"), grid);
    EXPECT_EQ(app_lines(grid).size(), 122u);
}

// Start-up state on the panel, controls without a handler, and the poll following the source.
TEST(AppLifecycle, DispatchAndPoll) {
    std::vector<std::string> log;
    AppRun r = app_run_logged(
        "idle\ndump-controls start.txt\n"
        "press STOP\npress MONO_BUSY\npress STAGE_BUSY\nset NREF 7\nset DARK_WAIT 3\nidle\n"
        "dump-controls nohandler.txt\n"
        "set VSOURCE_OPERATE 1\npress POLL_TIMER\nidle\ndump-controls on.txt\n"
        "set VSOURCE_OPERATE 0\npress POLL_TIMER\nidle\ndump-controls off.txt\n"
        "quit\n",
        &log);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;

    auto start = app_controls(r.dir + "/start.txt");
    EXPECT_EQ(start["NREF"], "61");           // refqe.txt read into row 0
    EXPECT_EQ(start["GRATING"], "1");         // read back from the monochromator
    EXPECT_EQ(start["WL_CURRENT"], "5000");
    EXPECT_EQ(start["STAGE_BUSY"], "0");
    // WL_LAST filled by a start-up event from the panel's first, step and count.
    int last = std::stoi(start["WL_FIRST"]) + (std::stoi(start["WL_COUNT"]) - 1) * std::stoi(start["WL_STEP"]);
    EXPECT_EQ(start["WL_LAST"], std::to_string(last));
    // The first reading is the dark current of the input (about -2e-13 A).
    double cur = std::stod(start["CURRENT"]);
    EXPECT_LT(cur, -1e-13);
    EXPECT_GT(cur, -3e-13);

    // STOP, lamps and inputs read only by handlers change nothing and send nothing.
    auto nh = app_controls(r.dir + "/nohandler.txt");
    for (const char *c : {"WL_LAST", "GRATING", "WL_CURRENT", "POS_X", "POS_Y", "POS_Z", "VSOURCE_OPERATE"})
        EXPECT_EQ(nh[c], start[c]) << c;
    EXPECT_EQ(nh["NREF"], "7");
    int o1 = app_find_line(log, "k617 O1X");
    ASSERT_GE(o1, 0);
    // No instrument command other than polls between the start-up events and the switch.
    int firstPoll = app_find_line(log, "k617 U0X");
    for (int i = firstPoll + 1; i < o1; i++) EXPECT_TRUE(log[i] == "k617 X" || log[i] == "k617 U0X") << log[i];

    EXPECT_EQ(app_controls(r.dir + "/on.txt")["VSOURCE_OPERATE"], "1");
    EXPECT_EQ(app_controls(r.dir + "/off.txt")["VSOURCE_OPERATE"], "0");
    EXPECT_GE(app_find_line(log, "k617 U0X", o1), 0);
    EXPECT_GE(app_find_line(log, "k617 O0X", o1), 0);
}

// Without the panel file the program ends with -1, having closed what it opened and taken the
// motor power off; the electrometer is never opened.
TEST(AppLifecycle, MissingPanelFile) {
    std::vector<std::string> log;
    AppRunOptions opt;
    opt.copyPanel = false;
    AppRun r = app_run_logged("quit\n", &log, opt);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(electrometer_only(log).size(), 0u);
    EXPECT_GE(app_find_line(log, "stage X power off"), 0);
    EXPECT_GE(app_find_line(log, "stage Y power off"), 0);
    EXPECT_GE(app_find_line(log, "stage Z power off"), 0);
    EXPECT_EQ(app_lines(app_read_text(r.dir + "/mcp_positions.txt")).size(), 122u);
}

// Without refqe.txt the program starts with an empty reference table; a grid file that cannot be
// written (here a folder of that name) is skipped.
TEST(AppLifecycle, MissingReferenceTableAndUnwritableGrid) {
    AppRunOptions opt;
    opt.copyRefqe = false;
    opt.dirs.push_back("mcp_positions.txt");
    AppRun r = app_run("idle\ndump-controls c.txt\ndump-row 0 row0.txt\nquit\n", opt);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(app_controls(r.dir + "/c.txt")["NREF"], "0");
    EXPECT_EQ(app_read_text(r.dir + "/row0.txt"), "");
}
