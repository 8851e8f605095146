// Instrument faults rehearsed on the simulated station: for every instrument and every kind of
// fault, set after a clean reference scan, the map scan goes on to its end, the status line
// names the fault, the session log has a fault line for every position the fault touched, and
// the record beside the map counts the faults of each block. Also: an electrometer silent from
// start-up leaves the panel usable, and a value typed outside a field's limits is refused.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"
#include "formats/maprecord.h"

namespace {

const char kRefqe2[] = "4000 0.30\n6000 0.41\n";

AppRunOptions options() {
    AppRunOptions o;
    o.copyRefqe = false;
    o.files["refqe.txt"] = kRefqe2;
    o.limitSeconds = 60;
    // A stuck stage gives up after this bound instead of the default 900 s.
    o.env["VRIM_USMC_MOVE_LIMIT"] = "60";
    return o;
}

// The status line's alert names the instrument of the latest fault; a late answer the busy test
// machine caused after it may stand there instead.
bool alert_names(std::map<std::string, std::string> &c, const std::string &dir, const std::string &name) {
    std::string alert = session_alert(c);
    if (alert.find(name) != std::string::npos) return true;
    auto faults = session_faults(dir);
    return session_late_answer(alert) && !faults.empty() && faults.back().find(name) != std::string::npos;
}

// Fault texts of a block that are not late answers of the busy test machine.
int block_faults(const MapRecordBlock &b) {
    int n = 0;
    for (const auto &t : b.faultText) n += !session_late_answer(t);
    return n;
}

struct Case {
    const char *instrument;  // as the fault action names it
    const char *kind;
    const char *name;        // as the program names it
};

std::string case_name(const ::testing::TestParamInfo<Case> &i) {
    std::string s = std::string(i.param.instrument) + "_" + i.param.kind;
    for (char &c : s)
        if (c == '-') c = '_';
    return s;
}

class FaultRehearsal : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(FaultRehearsal, MapGoesOnAndEveryTouchedPositionSaysSo) {
    const Case &k = GetParam();
    std::string inst = k.instrument, kind = k.kind;
    bool stageZ = inst == "stage-z";
    bool atShutdown = kind == "nopoweroff";
    // A late monochromator still answers a move inside its 10 s: nothing wrong comes back.
    bool harmless = inst == "mono" && kind == "slow";
    bool touchesPositions = !stageZ && !atShutdown && !harmless;
    std::string script = kSessionTable + "press REFERENCE_SCAN\nidle\n" + "fault " + inst + " " + kind +
                         "\nfile map.dat\npress MAP_SCAN\nidle\n" +
                         (stageZ ? "set Z_TARGET 1000\nidle\npress MOVE_Z\nidle\n" : "") +
                         "dump-controls c.txt\nquit\n";
    AppRunOptions o = options();
    // Where the blocks must stay clean, a late-answer check must not see the machine's own pauses.
    if (!touchesPositions) o.timeScale = 0.03;
    AppRun r = app_run(script, o);
    ASSERT_FALSE(r.timedOut) << "the program waited past the operation's time-out";
    EXPECT_EQ(r.status, 0) << r.err;

    // A late answer is what this case rehearses only for the slow electrometer.
    bool lateIsTheFault = inst == "electrometer" && kind == "slow";
    auto faults = session_faults(r.dir, lateIsTheFault);
    MapRecordDoc d;
    std::string err;
    ASSERT_EQ(maprecord_read(r.dir + "/map.dat.json", &d, &err), 0) << err;
    EXPECT_EQ(d.state, "finished");
    ASSERT_EQ(d.blocks.size(), 3u);
    EXPECT_EQ(app_read_text(r.dir + "/map.dat").size(), 3u * (40 + 2 * 20));
    auto c = app_controls(r.dir + "/c.txt");

    if (touchesPositions) {
        for (int p = 1; p <= 3; p++) {
            EXPECT_TRUE(session_any_with(faults, k.name, "position " + std::to_string(p) + " of 3"))
                << "no fault line for position " << p;
            EXPECT_GT(d.blocks[p - 1].faults, 0) << p;
            ASSERT_FALSE(d.blocks[p - 1].faultText.empty()) << p;
            EXPECT_TRUE(session_any_with(d.blocks[p - 1].faultText, k.name)) << d.blocks[p - 1].faultText[0];
            EXPECT_EQ(d.blocks[p - 1].faults, (int)d.blocks[p - 1].faultText.size());
        }
        EXPECT_TRUE(alert_names(c, r.dir, k.name)) << c["STATUS"];
    } else {
        for (const auto &b : d.blocks) EXPECT_EQ(block_faults(b), 0) << (b.faultText.empty() ? "" : b.faultText[0]);
        if (stageZ && !atShutdown) {
            EXPECT_TRUE(alert_names(c, r.dir, k.name)) << c["STATUS"];
        }
        if (atShutdown) {
            EXPECT_TRUE(session_any_with(faults, std::string(k.name) + ": power off")) << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryInstrumentAndKind, FaultRehearsal,
    ::testing::Values(Case{"mono", "noreply", "monochromator"}, Case{"mono", "garbled", "monochromator"},
                      Case{"mono", "cut", "monochromator"}, Case{"mono", "error", "monochromator"},
                      Case{"mono", "slow", "monochromator"}, Case{"mono", "unplugged", "monochromator"},
                      Case{"electrometer", "noreply", "electrometer"}, Case{"electrometer", "garbled", "electrometer"},
                      Case{"electrometer", "cut", "electrometer"}, Case{"electrometer", "error", "electrometer"},
                      Case{"electrometer", "slow", "electrometer"}, Case{"electrometer", "unplugged", "electrometer"},
                      Case{"stage-x", "missing", "stage X"}, Case{"stage-x", "fail", "stage X"},
                      Case{"stage-x", "stuck", "stage X"}, Case{"stage-x", "nopoweroff", "stage X"},
                      Case{"stage-y", "missing", "stage Y"}, Case{"stage-y", "fail", "stage Y"},
                      Case{"stage-y", "stuck", "stage Y"}, Case{"stage-y", "nopoweroff", "stage Y"},
                      Case{"stage-z", "missing", "stage Z"}, Case{"stage-z", "fail", "stage Z"},
                      Case{"stage-z", "stuck", "stage Z"}, Case{"stage-z", "nopoweroff", "stage Z"}),
    case_name);

// A clean map after a fault was cleared: every block of the new record has 0 faults.
// Faults present from start-up: each is said at the step that meets it.
TEST(Faults, StartUpFaultsAreSaid) {
    struct {
        const char *faults;
        const char *says;
    } cases[] = {
        {"mono:unplugged", "monochromator: open the monochromator on serial port 4"},
        {"mono:slow", "monochromator: read the grating: no whole answer within 1 s"},
        {"stage-x:missing", "stage X: find its controller: serial number 0000000000004925 is not among"},
        {"electrometer:error", "electrometer: poll reading: the reading is not a number"},
    };
    for (const auto &c : cases) {
        AppRunOptions o = options();
        o.env["VRIM_STATION_FAULTS"] = c.faults;
        AppRun r = app_run("idle\ndump-controls c.txt\nquit\n", o);
        EXPECT_EQ(r.status, 0) << c.faults << r.err;
        EXPECT_TRUE(session_any_with(session_faults(r.dir), c.says)) << c.faults << "\n" << app_read_text(r.dir + "/vrim.log");
        EXPECT_NE(r.err.find(std::string("vrim: FAULT ") + c.says), std::string::npos) << r.err;
        auto m = app_controls(r.dir + "/c.txt");
        std::string instrument = std::string(c.says).substr(0, std::string(c.says).find(':'));
        // One fault or many, as far as the start-up got before the dump.
        EXPECT_NE(session_alert(m).find(" since start; latest at "), std::string::npos) << m["STATUS"];
        EXPECT_TRUE(alert_names(m, r.dir, instrument)) << m["STATUS"];
    }
}

TEST(Faults, ClearedFaultLeavesACleanRecord) {
    AppRunOptions o = options();
    o.timeScale = 0.03;  // a late-answer check must not see the test machine's own pauses
    AppRun r = app_run(kSessionTable +
                           "press REFERENCE_SCAN\nidle\nfault mono error\nwait 1\nfault mono none\n"
                           "file map.dat\npress MAP_SCAN\nidle\nquit\n",
                       o);
    ASSERT_EQ(r.status, 0) << r.err;
    MapRecordDoc d;
    std::string err;
    ASSERT_EQ(maprecord_read(r.dir + "/map.dat.json", &d, &err), 0) << err;
    EXPECT_EQ(d.state, "finished");
    ASSERT_EQ(d.blocks.size(), 3u);
    for (const auto &b : d.blocks) EXPECT_EQ(block_faults(b), 0) << (b.faultText.empty() ? "" : b.faultText[0]);
}

// A value typed outside a field's limits: refused by the panel, said on the status line and in
// the log until the operator's next action, and never sent.
TEST(Faults, RefusedEntryIsSaidOnTheStatusLine) {
    std::vector<std::string> st;
    AppRun r = app_run_logged("idle\nset VSOURCE_VALUE 500\nidle\ndump-controls c.txt\nset WL_FIRST 4100\nidle\n"
                              "dump-controls d.txt\nquit\n",
                              &st, options());
    ASSERT_EQ(r.status, 0) << r.err;
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_NE(c["STATUS"].find("500 is outside"), std::string::npos) << c["STATUS"];
    EXPECT_TRUE(session_any_with(app_lines(app_read_text(r.dir + "/vrim.log")), "input refused: ", "500 is outside"));
    auto d = app_controls(r.dir + "/d.txt");
    EXPECT_EQ(d["STATUS"].find("500 is outside"), std::string::npos) << d["STATUS"];
    for (const auto &l : st) EXPECT_EQ(l.find("V+50"), std::string::npos) << l;
}

// The status line's standing notes: stages not homed, a short positions file, a reference table
// that stopped early, and a QUIT that waits for the running scan.
TEST(StatusNotes, SayWhatTheOperatorShouldKnow) {
    AppRunOptions o = options();
    o.files["refqe.txt"] = "4000 0.30\n6000 0.41\n6500 x\n";
    o.files["four.txt"] = "30000 124000\n190000 160000\n200000 170000\n210000 180000\n";
    AppRun r = app_run("idle\ndump-controls start.txt\nfile mcp_positions.txt\npress LOAD_POSITIONS\nidle\n"
                       "file four.txt\npress LOAD_POSITIONS\nidle\ndump-controls four.txt.c\n"
                       "press HOME_ALL\nidle\ndump-controls homed.txt\n"
                       "set POINT_WAIT 60\nidle\nfile map.dat\npress MAP_SCAN\nwait 100\npress QUIT\nwait 5\n"
                       "dump-controls quit.txt\npress STOP\n",
                       o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;  // the deferred QUIT ends the program once STOP ends the scan
    auto start = app_controls(r.dir + "/start.txt");
    EXPECT_NE(start["STATUS"].find("The stages have not been homed since start."), std::string::npos);
    EXPECT_NE(start["STATUS"].find("refqe.txt: 2 pairs read; line 3 is not a pair: \"6500 x\"."), std::string::npos)
        << start["STATUS"];
    auto four = app_controls(r.dir + "/four.txt.c");
    EXPECT_NE(four["STATUS"].find("4 positions loaded into rows 1\u20134; rows 5\u2013256 keep earlier positions and a "
                                  "map scan will visit them."),
              std::string::npos)
        << four["STATUS"];
    auto homed = app_controls(r.dir + "/homed.txt");
    EXPECT_EQ(homed["STATUS"].find("not been homed"), std::string::npos) << homed["STATUS"];
    auto quit = app_controls(r.dir + "/quit.txt");
    EXPECT_NE(quit["STATUS"].find("Map scan: position 1 of 121"), std::string::npos) << quit["STATUS"];
    EXPECT_NE(quit["STATUS"].find("The program will quit when the map scan ends; press STOP to end it now."),
              std::string::npos)
        << quit["STATUS"];
    auto log = app_lines(app_read_text(r.dir + "/vrim.log"));
    EXPECT_TRUE(session_any_with(log, "QUIT during the map scan: the program will quit when it ends"));
    EXPECT_TRUE(session_any_with(log, "Map scan stopped by the operator (STOP)"));
}

// A reference scan that saw no light (the reference detector's row points off the detector):
// every sample QE would be 0, and the status line says so.
TEST(StatusNotes, ReferenceCurrentTooSmallForAQe) {
    AppRun r = app_run("idle\ncell 1 1 1000\ncell 2 1 1000\nset DARK_WAIT 0\nset POINT_WAIT 0.2\n"
                       "press REFERENCE_SCAN\nidle\ndump-controls c.txt\nquit\n",
                       options());
    ASSERT_EQ(r.status, 0) << r.err;
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_NE(c["STATUS"].find("The reference current is not above 1e-12 A at 2 of 2 points: the sample QE there "
                               "will be 0."),
              std::string::npos)
        << c["STATUS"];
    auto log = app_lines(app_read_text(r.dir + "/vrim.log"));
    EXPECT_TRUE(session_any_with(log, "reference current not above 1e-12 A at 2 of 2 points"));
}
