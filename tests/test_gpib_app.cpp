// The program on the electrometer's GPIB-board link (VRIM_K617_LINK=0) when the board fails: the
// GPIB report is printed, and the program runs its ordered shutdown (the stages lose power) and
// ends with status 1 instead of stopping where the board failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"

namespace {

AppRunOptions boardOptions(const char *library) {
    AppRunOptions o;
    o.env["VRIM_K617_LINK"] = "0";
    o.env["VRIM_GPIB_LIBRARY"] = library;
    return o;
}

bool has_line_with(const std::vector<std::string> &lines, const std::string &what) {
    for (const auto &l : lines)
        if (l.find(what) != std::string::npos) return true;
    return false;
}

// The shutdown that followed: the reason in the session log, every stage's power off in order, and
// the electrometer told nothing after the failure.
void expectShutdownAfterFailure(const AppRun &r, const std::vector<std::string> &station) {
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.err;
    auto log = app_lines(app_read_text(r.dir + "/vrim.log"));
    EXPECT_TRUE(has_line_with(log, "shutdown: the electrometer's GPIB board failed")) << app_read_text(r.dir + "/vrim.log");
    EXPECT_TRUE(has_line_with(log, "shutdown done:"));
    EXPECT_NE(r.err.find("vrim: the electrometer's GPIB board failed; shutting down"), std::string::npos) << r.err;
    int px = app_find_line(station, "stage X power off"), py = app_find_line(station, "stage Y power off"),
        pz = app_find_line(station, "stage Z power off");
    EXPECT_GE(px, 0);
    EXPECT_GT(py, px);
    EXPECT_GT(pz, py);
    // The report once, as the board layer left its status.
    size_t first = r.out.find("OpenDev Error\nibsta = &H");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("OpenDev Error", first + 1), std::string::npos) << r.out;
}

}  // namespace

// No GPIB board at all: the open fails at start-up, before the loop takes any event.
TEST(GpibBoardLink, NoBoardAtStartUpShutsDownWithStatusOne) {
    std::vector<std::string> station;
    AppRun r = app_run_logged("idle\nquit\n", &station, boardOptions("/nonexistent/libgpib-vrim.so"));
    expectShutdownAfterFailure(r, station);
    EXPECT_NE(r.out.find("OpenDev Error\nibsta = &H8000  < ERR >\niberr = 7 ENEB <No GPIB board>\nibcntl = 0\n\n"),
              std::string::npos)
        << r.out;
}

// A board that takes the start-up's commands and then fails the first reading (the poll): the
// loop notices after that event and shuts down.
TEST(GpibBoardLink, BoardFailingInThePollShutsDownWithStatusOne) {
    std::vector<std::string> station;
    AppRunOptions o = boardOptions(VRIM_GPIB_TESTLIB_PATH);
    o.env["VRIM_TESTLIB_READ_FAILS"] = "1";
    AppRun r = app_run_logged("idle\nquit\n", &station, o);
    expectShutdownAfterFailure(r, station);
    EXPECT_NE(r.out.find("OpenDev Error\nibsta = &Hc000  < ERR TIMO >\niberr = 6 EABO <Operation aborted>\n"
                         "ibcntl = 0\n\n"),
              std::string::npos)
        << r.out;
    auto log = app_read_text(r.dir + "/vrim.log");
    EXPECT_NE(log.find("electrometer: GPIB address 3 on GPIB board 5"), std::string::npos) << log;
    EXPECT_NE(log.find("start-up done"), std::string::npos) << log;
}

// A working board: the program runs and quits as on the adapter's link.
TEST(GpibBoardLink, WorkingBoardQuitsNormally) {
    std::vector<std::string> station;
    AppRun r = app_run_logged("idle\nquit\n", &station, boardOptions(VRIM_GPIB_TESTLIB_PATH));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("OpenDev Error"), std::string::npos) << r.out;
    EXPECT_GE(app_find_line(station, "stage Z power off"), 0);
}

// A board that fails part-way through the first position of a map: the map ends at its next wait
// instead of moving on through every position with readings that are not numbers, and the
// shutdown follows.
TEST(GpibBoardLink, BoardFailingInAMapEndsItAndShutsDown) {
    std::vector<std::string> station;
    AppRunOptions o = boardOptions(VRIM_GPIB_TESTLIB_PATH);
    o.copyRefqe = false;
    o.files["refqe.txt"] = kSessionRefqe8;
    o.env["VRIM_TESTLIB_READ_FAILS"] = "30";  // inside the first position's 34 readings
    AppRun r = app_run_logged(kSessionTable + "file map.dat\npress MAP_SCAN\nidle\nquit\n", &station, o);
    expectShutdownAfterFailure(r, station);
    MapRecordDoc rec = session_record(r.dir);
    EXPECT_EQ(rec.state, "stopped");
    EXPECT_EQ(rec.blocks.size(), 0u);
    EXPECT_NE(app_read_text(r.dir + "/vrim.log").find("Map scan ended early at position 1 of 3"), std::string::npos)
        << app_read_text(r.dir + "/vrim.log");
}
