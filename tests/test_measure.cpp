// Measurement procedures on the simulated station, run through the scripted operator: what each
// scan stores and draws, what a STOP in each wait leaves behind, and the QE formula itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/app_run.h"

// The QE of one point (measure.cpp).
float qe_point(float qeRef, float tokSample, float tokRef);

namespace {

// A short reference table keeps every run quick: 8 points, 400.0 … 750.0 nm.
const char kRefqe8[] =
    "4000 0.30\n4500 0.35\n5000 0.40\n5500 0.42\n6000 0.41\n6500 0.38\n7000 0.33\n7500 0.27\n";
const int kRefWl[8] = {4000, 4500, 5000, 5500, 6000, 6500, 7000, 7500};

// Reference detector in table row 1, sample position 1 on the sample's active area.
const char kTable[] =
    "idle\n"
    "cell 1 1 30000\ncell 2 1 124000\n"
    "cell 1 2 205000\ncell 2 2 190000\n";

double num(std::map<std::string, std::string> &m, const char *name) {
    EXPECT_TRUE(m.count(name)) << name;
    return atof(m[name].c_str());
}

// Station log lines (what the instruments saw), up to the nth line (from 1) that contains
// `until`, or to the end.
std::vector<std::string> log_until(const std::string &dir, const std::string &until = "", int nth = 1) {
    std::vector<std::string> v;
    for (const auto &l : app_lines(app_read_text(dir + "/station.log"))) {
        if (!until.empty() && l.find(until) != std::string::npos && --nth == 0) break;
        v.push_back(l);
    }
    return v;
}
// The same just before the program's shutdown, which always ends with trigger mode 0.
std::string trigger_before_shutdown(const std::string &dir) {
    std::vector<std::string> t;
    for (const auto &l : log_until(dir, "station stop"))
        if (l == "k617 T0X" || l == "k617 T1X") t.push_back(l);
    return t.size() >= 2 ? t[t.size() - 2] : std::string();
}
int index_of_wl(int w) {
    for (int i = 0; i < 8; i++)
        if (kRefWl[i] == w) return i;
    return -1;
}

AppRun run(const std::string &script, int limit = 90) {
    AppRunOptions o;
    o.copyRefqe = false;
    o.files["refqe.txt"] = kRefqe8;
    o.limitSeconds = limit;
    o.env["VRIM_STATION_LOG"] = "station.log";
    AppRun r = app_run(script, o);
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

}  // namespace

TEST(QeFormula, ThresholdAndSinglePrecisionRounding) {
    // Only a reference current above 1e-12 A gives a ratio.
    EXPECT_EQ(qe_point(0.5f, 2e-12f, 1e-12f), 0.0f);
    EXPECT_EQ(qe_point(0.5f, 2e-12f, -3e-10f), 0.0f);
    EXPECT_EQ(qe_point(0.5f, 2e-12f, NAN), 0.0f);
    EXPECT_EQ(qe_point(0.5f, 2e-12f, 0.0f), 0.0f);
    EXPECT_FLOAT_EQ(qe_point(0.5f, 2.2e-12f, 1.1e-12f), 1.0f);
    // Product rounded to single precision before the division: 1.05605078, where the quotient
    // taken in double precision and rounded once would be 1.0560509.
    float q = qe_point(0.584935069f, 8.61679783e-10f, 4.77275053e-10f);
    EXPECT_EQ(q, 1.05605078f);
    EXPECT_NE(q, (float)(0.584935069 * (double)8.61679783e-10f / (double)4.77275053e-10f));
}

// A sample scan before any reference gives QE 0; the reference scan measures the held table's
// points while a sample scan measures NREF points; each sample scan greys the earlier curves.
TEST(SampleAndReferenceScan, CountsQeAndCurves) {
    AppRun r = run(std::string(kTable) +
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\nset POSITION_INDEX 1\n"
                   "press SAMPLE_SCAN\nidle\ndump-row 1 before.txt\n"
                   "set NREF 5\n"
                   "press REFERENCE_SCAN\nidle\ndump-row 0 ref.txt\n"
                   "press SAMPLE_SCAN\nidle\ndump-row 1 after.txt\ndump-controls c.txt\nquit\n");
    auto before = app_row(r.dir + "/before.txt");
    ASSERT_EQ(before.size(), 8u);
    for (const auto &p : before) {
        EXPECT_GT(p.tok, 1e-12) << "sample lit at " << p.wl;
        EXPECT_EQ(p.qe, 0.0) << "no reference current yet at " << p.wl;
    }

    // All 8 reference points measured although NREF says 5; stored currents are positive.
    auto ref = app_row(r.dir + "/ref.txt");
    ASSERT_EQ(ref.size(), 8u);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(ref[i].wl, kRefWl[i]);
        EXPECT_GT(ref[i].tok, 1e-12) << i;
    }

    // The second sample scan measured 5 points; the others keep the first scan's values.
    auto after = app_row(r.dir + "/after.txt");
    ASSERT_EQ(after.size(), 8u);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(after[i].wl, kRefWl[i]);
        if (i < 5) {
            double want = ref[i].qe * after[i].tok / ref[i].tok;
            EXPECT_NEAR(after[i].qe, want, 1e-4 * want) << i;
            EXPECT_GT(after[i].qe, 0.0);
        } else {
            EXPECT_EQ(after[i].qe, 0.0) << i;
            EXPECT_EQ(after[i].tok, before[i].tok) << i;
        }
    }

    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(num(c, "POS_X"), 205000);
    EXPECT_EQ(num(c, "POS_Y"), 190000);
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);
    // One grey and one red current curve; the black reference, one grey and one blue QE curve.
    EXPECT_EQ(num(c, "GRAPH_SAMPLE"), 2);
    EXPECT_EQ(num(c, "GRAPH_QE"), 3);
    EXPECT_EQ(num(c, "GRAPH_REFERENCE"), 1);
    EXPECT_EQ(trigger_before_shutdown(r.dir), "k617 T0X");
}

// STOP in the reference scan's dark wait, then in the wait of a later point.
TEST(ReferenceScan, StopInEachWait) {
    AppRun r = run(std::string(kTable) +
                   "set DARK_WAIT 10\nset POINT_WAIT 60\n"
                   "press REFERENCE_SCAN\nwait 60\npress STOP\nidle\n"
                   "dump-row 0 dark.txt\ndump-controls dark.txt.c\n"
                   "set DARK_WAIT 0\n"
                   "press REFERENCE_SCAN\nwait 150\npress STOP\nidle\n"
                   "dump-row 0 point.txt\ndump-controls point.txt.c\nquit\n");
    // Dark wait: nothing stored or drawn, WAIT_LEFT as last shown; the electrometer is back in
    // trigger mode 0 and the poll runs again, so CURRENT shows live readings.
    auto dark = app_row(r.dir + "/dark.txt");
    ASSERT_EQ(dark.size(), 8u);
    for (const auto &p : dark) EXPECT_EQ(p.tok, 0.0);
    auto c = app_controls(r.dir + "/dark.txt.c");
    EXPECT_EQ(num(c, "OFFSET_REFERENCE"), 0);
    EXPECT_EQ(num(c, "GRAPH_REFERENCE"), 0);
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);
    EXPECT_GT(num(c, "WAIT_LEFT"), 500);
    EXPECT_LT(num(c, "WAIT_LEFT"), 600);
    // Trigger commands in order: start-up, the first scan, the STOP, the second scan. (Their
    // place among the cable lines depends on when the station's log samples them.)
    std::vector<std::string> t;
    for (const auto &l : log_until(r.dir))
        if (l == "k617 T0X" || l == "k617 T1X") t.push_back(l);
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 4),
              (std::vector<std::string>{"k617 T1X", "k617 T1X", "k617 T0X", "k617 T1X"}));

    // Point wait: offset and the points before the stopped one are new, the rest untouched; the
    // curve is drawn, trigger mode 0, timer on.
    c = app_controls(r.dir + "/point.txt.c");
    int i = index_of_wl((int)num(c, "WL_CURRENT"));
    ASSERT_GE(i, 1) << "STOP should land in the wait of a later point";
    auto pt = app_row(r.dir + "/point.txt");
    ASSERT_EQ(pt.size(), 8u);
    for (int k = 0; k < 8; k++) {
        if (k < i)
            EXPECT_GT(pt[k].tok, 1e-12) << k;
        else
            EXPECT_EQ(pt[k].tok, 0.0) << k;
    }
    EXPECT_LT(num(c, "OFFSET_REFERENCE"), 0);
    EXPECT_EQ(num(c, "GRAPH_REFERENCE"), 1);
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);
    EXPECT_EQ(trigger_before_shutdown(r.dir), "k617 T0X");
}

// STOP in a sample scan's dark wait, then in a point wait, after a complete scan of the row.
TEST(SampleScan, StopInEachWait) {
    AppRun r = run(std::string(kTable) +
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\nset POSITION_INDEX 1\n"
                   "press REFERENCE_SCAN\nidle\npress SAMPLE_SCAN\nidle\ndump-row 1 full.txt\n"
                   // Off the sample's active area: the new currents are only noise.
                   "cell 1 2 20000\ncell 2 2 20000\n"
                   "set DARK_WAIT 10\n"
                   "press SAMPLE_SCAN\nwait 80\npress STOP\nidle\n"
                   "dump-row 1 dark.txt\ndump-controls dark.txt.c\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 60\n"
                   "press SAMPLE_SCAN\nwait 150\npress STOP\nidle\n"
                   "dump-row 1 point.txt\ndump-controls point.txt.c\nquit\n");
    auto full = app_row(r.dir + "/full.txt");
    ASSERT_EQ(full.size(), 8u);

    auto dark = app_row(r.dir + "/dark.txt");
    ASSERT_EQ(dark.size(), 8u);
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(dark[k].tok, full[k].tok) << k;
        EXPECT_EQ(dark[k].qe, full[k].qe) << k;
    }
    auto c = app_controls(r.dir + "/dark.txt.c");
    EXPECT_EQ(num(c, "POS_X"), 20000);  // the stages went to the new position
    std::string mono;  // the monochromator parked for the dark offset
    for (const auto &l : log_until(r.dir, "cable sample", 3))
        if (l.rfind("mono wavelength", 0) == 0) mono = l;
    EXPECT_EQ(mono, "mono wavelength 100.0");
    EXPECT_EQ(num(c, "WL_CURRENT"), 1000);  // the panel shows where the monochromator is parked
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);     // the poll runs again after the STOP
    EXPECT_EQ(num(c, "GRAPH_SAMPLE"), 1);  // the earlier curve, grey; nothing new
    EXPECT_GT(num(c, "WAIT_LEFT"), 0);

    c = app_controls(r.dir + "/point.txt.c");
    int i = index_of_wl((int)num(c, "WL_CURRENT"));
    ASSERT_GE(i, 1);
    auto pt = app_row(r.dir + "/point.txt");
    ASSERT_EQ(pt.size(), 8u);
    for (int k = 0; k < 8; k++) {
        if (k < i)
            EXPECT_LT(std::fabs(pt[k].tok), 1e-13) << k;  // new, off the sample
        else
            EXPECT_EQ(pt[k].tok, full[k].tok) << k;
        EXPECT_EQ(pt[k].qe, full[k].qe) << k;  // QE not recomputed
    }
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);
    EXPECT_EQ(num(c, "GRAPH_SAMPLE"), 1);
    EXPECT_EQ(num(c, "GRAPH_QE"), 2);
    EXPECT_EQ(trigger_before_shutdown(r.dir), "k617 T0X");
}

// Position 0 is the reference row and 1000 lies past the store: both refused, nothing moves.
TEST(SampleScan, RefusesPositionsOutsideTheSampleRows) {
    AppRunOptions o;
    o.copyRefqe = false;
    o.copyPanel = false;
    o.files["refqe.txt"] = kRefqe8;
    o.env["VRIM_STATION_LOG"] = "station.log";
    // The shipped panel keeps POSITION_INDEX within 1 … 255; this copy lets the operator go wider.
    std::string ui = app_read_text(std::string(getenv("VRIM_SOURCE_DIR") ? getenv("VRIM_SOURCE_DIR") : "..") +
                                   "/vrim/vrim_ui.uir");
    size_t at = ui.find("name=\"POSITION_INDEX\"");
    ASSERT_NE(at, std::string::npos);
    size_t mn = ui.find("<number>", ui.find("\"minimum\"", at));
    size_t mx = ui.find("<number>", ui.find("\"maximum\"", at));
    ui.replace(mx, ui.find("</number>", mx) - mx, "<number>5000");
    ui.replace(mn, ui.find("</number>", mn) - mn, "<number>-5");
    o.files["vrim_ui.uir"] = ui;
    AppRun r = app_run(std::string(kTable) +
                           "set DARK_WAIT 0\nset POINT_WAIT 0.2\ndump-row 0 r0.txt\n"
                           "set POSITION_INDEX 0\npress SAMPLE_SCAN\nidle\n"
                           "set POSITION_INDEX 1000\npress SAMPLE_SCAN\nidle\n"
                           "dump-row 0 r0b.txt\ndump-controls c.txt\nquit\n",
                       o);
    ASSERT_EQ(r.status, 0) << r.err;
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(num(c, "POSITION_INDEX"), 1000);
    EXPECT_EQ(app_read_text(r.dir + "/r0.txt"), app_read_text(r.dir + "/r0b.txt"));
    EXPECT_EQ(num(c, "GRAPH_QE"), 1);
    EXPECT_EQ(num(c, "POS_X"), 0);
    std::string log = app_read_text(r.dir + "/station.log");
    EXPECT_EQ(log.find("cable sample"), std::string::npos);
    EXPECT_EQ(log.find("mono wavelength 100.0"), std::string::npos);
}

// Quick scan: its wavelengths and single readings in row 1, its curve sharing position 1's
// handle, and a STOP that cuts only the wait in progress.
TEST(CurrentScan, WavelengthsCurveHandleAndStop) {
    AppRun r = run(std::string(kTable) +
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\nset POSITION_INDEX 1\n"
                   "set WL_FIRST 4000\nset WL_STEP 50\nset WL_COUNT 3\n"
                   "press SAMPLE_SCAN\nidle\n"
                   "press CURRENT_SCAN\nidle\ndump-row 1 quick.txt\ndump-controls quick.txt.c\n"
                   "press SAMPLE_SCAN\nidle\ndump-controls sample.txt.c\n"
                   "set POINT_WAIT 60\n"
                   "press CURRENT_SCAN\nwait 30\npress STOP\nwait 30\ndump-controls mid.txt.c\n"
                   "idle\ndump-row 1 stop.txt\nquit\n");
    auto q = app_row(r.dir + "/quick.txt");
    ASSERT_GE(q.size(), 3u);
    EXPECT_EQ(q[0].wl, 4000);
    EXPECT_EQ(q[1].wl, 4050);
    EXPECT_EQ(q[2].wl, 4100);
    for (int k = 0; k < 3; k++) EXPECT_GT(q[k].tok, 1e-12) << k;  // negated readings of a lit sample
    EXPECT_EQ(q[3].wl, kRefWl[3]);  // the sample scan's points beyond stay

    // What the instruments saw during the quick scan: three wavelengths, one reading each.
    std::string log = app_read_text(r.dir + "/station.log");
    size_t a = log.find("k617 T1X", log.find("k617 T0X", log.find("cable sample")));
    size_t b = log.find("k617 T0X", a);
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    std::string scan = log.substr(a, b - a);
    EXPECT_EQ(scan, "k617 T1X\nmono wavelength 400.0\nk617 X\nmono wavelength 405.0\nk617 X\n"
                    "mono wavelength 410.0\nk617 X\n");

    // Shared handle: the quick scan replaced position 1's current curve; the next sample scan
    // greyed the quick scan's curve and drew its own beside it.
    auto c = app_controls(r.dir + "/quick.txt.c");
    EXPECT_EQ(num(c, "GRAPH_SAMPLE"), 1);
    EXPECT_EQ(num(c, "POLL_TIMER"), 1);
    c = app_controls(r.dir + "/sample.txt.c");
    EXPECT_EQ(num(c, "GRAPH_SAMPLE"), 2);

    // STOP at about 30 s ends the first point's wait only: 30 s later the scan is still in the
    // second point's 60 s wait.
    c = app_controls(r.dir + "/mid.txt.c");
    EXPECT_EQ(num(c, "WL_CURRENT"), 4050);
    EXPECT_GT(num(c, "WAIT_LEFT"), 0);
    auto s = app_row(r.dir + "/stop.txt");
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(s[2].wl, 4100);
}

// A QUIT taken by a wait is not acted on by the scan, and still ends the program after it, even
// when later waits take other events.
TEST(MDelay, QuitDuringScanEndsProgramAfterIt) {
    AppRun r = run(std::string(kTable) +
                   "set DARK_WAIT 0\nset POINT_WAIT 10\n"
                   "press REFERENCE_SCAN\nwait 15\nquit\nwait 15\nset WL_FIRST 4100\n"
                   "idle\ndump-controls after.txt\n",
                   60);
    EXPECT_EQ(r.status, 0);
    // The scan ran to its end before the program ended; nothing ran after it.
    EXPECT_EQ(trigger_before_shutdown(r.dir), "k617 T0X");
    std::string log = app_read_text(r.dir + "/station.log");
    EXPECT_NE(log.find("mono wavelength 750.0"), std::string::npos);
    EXPECT_NE(access((r.dir + "/after.txt").c_str(), F_OK), 0);
}
