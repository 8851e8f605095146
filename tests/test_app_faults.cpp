// Whole-program sessions on the simulated station with faults rehearsed: the panel stays usable
// with a silent electrometer, a script never hangs, the fault action reaches the station, and an
// out-of-range entry never reaches an instrument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "support/app_run.h"

namespace {

bool has_line_with(const std::vector<std::string> &v, const std::string &part) {
    for (const auto &l : v)
        if (l.find(part) != std::string::npos) return true;
    return false;
}

// The electrometer silent from start-up: every poll runs into its read time-out (several seconds
// with the status query), longer than the timer's interval. The operator's wavelength must still
// reach the monochromator within a few program seconds, and QUIT must end the program.
TEST(AppFaults, SilentElectrometerLeavesThePanelUsable) {
    std::vector<std::string> log;
    AppRunOptions opt;
    opt.env["VRIM_STATION_FAULTS"] = "electrometer:noreply";
    opt.limitSeconds = 60;
    // Time-outs last what they do at real time only in a run scaled this little or less; scaled
    // further they are stretched, and the 12 seconds below count time-outs.
    opt.timeScale = kClockTimeoutScale;
    // "fault stage-z none" changes nothing; its line in the station's log marks the time 12
    // program seconds after the operator's entry, after at most two polls it waits behind.
    AppRun r = app_run_logged("wait 20\nset WL_CURRENT 6000\nwait 12\nfault stage-z none\nquit\n", &log, opt);
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    int moved = app_find_line(log, "mono wavelength 600.0");
    int mark = app_find_line(log, "fault stage-z none");
    ASSERT_GE(moved, 0) << r.err;
    ASSERT_GE(mark, 0);
    EXPECT_LT(moved, mark);
    EXPECT_EQ(app_find_line(log, "fault electrometer noreply"), 0);  // set before anything else
}

// "idle SECONDS" gives up when the program stays busy: a message, a non-zero status, no hang.
TEST(AppFaults, IdleGivesUpAfterItsTime) {
    AppRunOptions opt;
    opt.limitSeconds = 60;
    AppRun r = app_run("set DARK_WAIT 10\npress REFERENCE_SCAN\nidle 30\necho not reached\nquit\n", opt);
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("line 3: the program was not idle within 30 s; giving up"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("not reached"), std::string::npos);

    // An idle reached in time goes on as a plain one.
    r = app_run("idle 30\necho reached\nquit\n", opt);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("reached"), std::string::npos);
}

// The operator's fault action on the simulated station, refused lines named by number; a value
// outside a field's limits is refused and never sent ("500" used to become V+50.00).
TEST(AppFaults, FaultActionAndRefusedEntry) {
    std::vector<std::string> log;
    AppRun r = app_run_logged("fault mono error\nfault lamp off\nfault mono none\n"
                              "set VSOURCE_VALUE 500\nset VSOURCE_VALUE 12.5\nwait 3\nquit\n",
                              &log);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(app_find_line(log, "fault mono error"), 0);
    EXPECT_GE(app_find_line(log, "fault mono none"), 0);
    EXPECT_NE(r.err.find("line 2: fault lamp off refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 4: refused: Source: 500 is outside -102.35 … 102.35 V"), std::string::npos) << r.err;
    EXPECT_TRUE(has_line_with(log, "k617 V+12.50X"));
    EXPECT_FALSE(has_line_with(log, "k617 V+50.00X"));
    EXPECT_FALSE(has_line_with(log, "k617 V+102.35X"));
}

}  // namespace
