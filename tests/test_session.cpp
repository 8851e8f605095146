// Whole sessions on the simulated station through the scripted operator: what the session log
// and the record beside a map file say after a clean map, what a short reference table or
// positions file leaves behind, and that a sample scan never measures past the reference table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"
#include "formats/maprecord.h"

namespace {

const char kRefqe3[] = "4000 0.30\n5000 0.40\n6000 0.41\n";

int count_starting(const std::vector<std::string> &v, const std::string &prefix) {
    int n = 0;
    for (const auto &l : v) n += l.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace

// A clean map: the log tells start-up, both scans with their settings, every block and shutdown;
// the record says "finished", names the reference table with its hash and holds three blocks
// without faults.
TEST(Session, CleanMapLeavesLogAndFinishedRecord) {
    AppRunOptions o = session_options(kRefqe3);
    o.timeScale = 0.03;  // a late-answer check must not see the test machine's own pauses
    AppRun r = app_run(std::string(kSessionTable) +
                           "press REFERENCE_SCAN\nidle\nfile map.dat\npress MAP_SCAN\nidle\nquit\n",
                       o);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.status, 0) << r.err;

    auto log = session_log_texts(r.dir);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "start-up: vrim 1.1.0 in the working directory");
    EXPECT_TRUE(session_any_with(log, "monochromator: serial port 4 ("));
    EXPECT_TRUE(session_any_with(log, "electrometer: GPIB address 3 through the GPIB-USB adapter on serial port 5 ("));
    EXPECT_TRUE(session_any_with(log, "stage X: controller 0000000000004925 found"));
    EXPECT_TRUE(session_any_with(log, "stage Z: controller 0000000000002894 found"));
    EXPECT_TRUE(session_any_with(log, "read reference table refqe.txt: 3 points"));
    EXPECT_TRUE(session_any_with(log, "Reference scan started: DARK_WAIT 0 min, POINT_WAIT 0.2 s, NREF 3"));
    EXPECT_TRUE(session_any_with(log, "Reference scan finished; 0 faults; 3 of 3 points measured"));
    EXPECT_TRUE(session_any_with(log, "Map scan started: DARK_WAIT 0 min, POINT_WAIT 0.2 s, NREF 3 (table 3 points), "
                                   "CURRENT_RANGE"));
    EXPECT_TRUE(session_any_with(log, "3 positions, file map.dat"));
    EXPECT_EQ(count_starting(log, "map block "), 3);
    EXPECT_TRUE(session_any_with(log, "map block 2 written to map.dat: position 2, requested X 200000 Y 170000, read "
                                   "back X 200000 Y 170000, 0 faults"));
    EXPECT_TRUE(session_any_with(log, "Map scan finished; 0 faults; 3 blocks of 3 points in map.dat"));
    EXPECT_EQ(count_starting(log, "FAULT"), 0);
    EXPECT_EQ(log.back(), "shutdown done: 0 faults in this session");

    MapRecordDoc d;
    std::string err;
    ASSERT_EQ(maprecord_read(r.dir + "/map.dat.json", &d, &err), 0) << err;
    EXPECT_EQ(d.program, "vrim");
    EXPECT_EQ(d.version, "1.1.0");
    EXPECT_EQ(d.state, "finished");
    EXPECT_FALSE(d.started.empty());
    EXPECT_FALSE(d.updated.empty());
    EXPECT_EQ(d.refTable, "refqe.txt");
    std::string sha;
    ASSERT_EQ(sha256_file((r.dir + "/refqe.txt").c_str(), &sha), 0);
    EXPECT_EQ(d.refSha256, sha);
    EXPECT_EQ(d.refPoints, 3);
    EXPECT_FALSE(d.refScanned.empty());
    ASSERT_EQ(d.positions.size(), 3u);
    EXPECT_EQ(d.positions[2], (std::array<int, 2>{210000, 180000}));
    std::vector<std::string> names;
    for (const auto &s : d.settings) names.push_back(s.first);
    EXPECT_EQ(names, (std::vector<std::string>{"DARK_WAIT", "POINT_WAIT", "NREF", "CURRENT_RANGE", "GRATING",
                                               "VSOURCE_VALUE", "VSOURCE_OPERATE"}));
    ASSERT_EQ(d.blocks.size(), 3u);
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(d.blocks[k].index, k + 1);
        EXPECT_EQ(d.blocks[k].requested, d.blocks[k].readBack);
        EXPECT_EQ(d.blocks[k].faults, 0);
        EXPECT_TRUE(d.blocks[k].faultText.empty());
        EXPECT_FALSE(d.blocks[k].time.empty());
    }
    EXPECT_EQ(app_read_text(r.dir + "/map.dat").size(), 3u * (40 + 3 * 20));
}

// A STOP in the second position's wait: the record says "stopped" with the one block written.
TEST(Session, StoppedMapRecordKeepsTheWrittenBlocks) {
    AppRun r = app_run(std::string(kSessionTable) +
                           "press REFERENCE_SCAN\nidle\nset POINT_WAIT 60\nfile map.dat\npress MAP_SCAN\n"
                           "wait 300\npress STOP\nidle\nquit\n",
                       session_options(kRefqe3));
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.status, 0) << r.err;
    MapRecordDoc d;
    std::string err;
    ASSERT_EQ(maprecord_read(r.dir + "/map.dat.json", &d, &err), 0) << err;
    EXPECT_EQ(d.state, "stopped");
    EXPECT_EQ(d.blocks.size(), app_read_text(r.dir + "/map.dat").size() / (40 + 3 * 20));
    auto log = session_log_texts(r.dir);
    EXPECT_TRUE(session_any_with(log, "Map scan stopped by the operator (STOP) at position "));
}

// Reference tables that stop before their end: the log says how many pairs and where it stopped.
TEST(Session, ReferenceTableStoppedEarlyIsSaid) {
    AppRun r = app_run("quit\n", session_options("4000 0.30\n5000 0.40\n5500 x\n6000 0.41\n"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(session_any_with(session_log_texts(r.dir), "read reference table refqe.txt: 2 points; stopped at line 3"));
    r = app_run("quit\n", session_options("garbage\n"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(session_any_with(session_log_texts(r.dir), "read reference table refqe.txt: 0 points; stopped at line 1"));
}

// NREF raised above the table's three points: the sample scan measures three points and never
// sends the monochromator to a wavelength outside the table.
TEST(Session, SampleScanNeverMeasuresPastTheReferenceTable) {
    std::vector<std::string> st;
    AppRun r = app_run_logged(std::string(kSessionTable) +
                                  "press REFERENCE_SCAN\nidle\nset NREF 5\nset POSITION_INDEX 1\nidle\n"
                                  "press SAMPLE_SCAN\nidle\nquit\n",
                              &st, session_options(kRefqe3));
    ASSERT_EQ(r.status, 0) << r.err;
    int cable = app_find_line(st, "cable sample");
    ASSERT_GE(cable, 0);
    std::vector<std::string> mono;
    for (size_t i = cable; i < st.size(); i++)
        if (st[i].rfind("mono wavelength", 0) == 0) mono.push_back(st[i]);
    EXPECT_EQ(mono, (std::vector<std::string>{"mono wavelength 100.0", "mono wavelength 400.0",
                                              "mono wavelength 500.0", "mono wavelength 600.0"}));
    EXPECT_TRUE(session_any_with(session_log_texts(r.dir), "NREF 5 is above the 3 points of the reference table"));
}
