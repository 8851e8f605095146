// Time left: the plan of a map from the panel's waits, the refinement from the positions measured
// so far against a station slower than the model, and the H:MM:SS text.
#include <gtest/gtest.h>

#include <cmath>

#include "support/app_run.h"
#include "vrim/observe/progress.h"

TEST(Progress, MapPlanAndRefinementTrackAStationSlowerThanTheModel) {
    std::vector<std::array<int, 2>> pos;
    for (int k = 0; k < 40; k++) pos.push_back({20000 * (k / 8), 5000 * (k % 8)});
    ProgressCosts c;
    std::vector<int> wl;
    for (int i = 0; i < 61; i++) wl.push_back(4000 + 100 * i);
    ProgressPlan plan = progress_map_plan(pos, {0, 0}, 1.0, 2.0, wl, c);
    ASSERT_EQ(plan.fixed.size(), 40u);
    EXPECT_DOUBLE_EQ(plan.fixed[0], 60.0 + 61 * 2.0);
    // The move to a new column is the longest.
    EXPECT_GT(plan.model[8], plan.model[7]);

    // The "real" station: every instrument step takes 1.7 times the model, waits exactly as set.
    Progress p;
    double t = 1000;
    p.begin(plan, t);
    EXPECT_NEAR(p.left(t), p.planned(), 1e-9);
    double truth[40];
    for (int k = 0; k < 40; k++) truth[k] = plan.fixed[(size_t)k] + 1.7 * plan.model[(size_t)k];
    for (int k = 0; k < 4; k++) {  // a tenth of the map
        t += truth[k];
        p.unitDone(t);
    }
    double rest = 0;
    for (int k = 4; k < 40; k++) rest += truth[k];
    EXPECT_NEAR(p.left(t), rest, 0.05 * rest);
    EXPECT_NEAR(p.elapsed(t), t - 1000, 1e-9);
    // Half-way through the next position, its own time counts down.
    double mid = t + truth[4] / 2;
    EXPECT_NEAR(p.left(mid), rest - truth[4] / 2, 0.05 * rest);
    // A position that overruns its estimate does not make the rest negative.
    EXPECT_GE(p.left(t + 10 * truth[4]), 0.0);
    p.end();
    EXPECT_EQ(p.left(t), 0.0);
}

TEST(Progress, SpectrumAndQuickPlansAndText) {
    std::vector<int> wl(10, 5000);
    ProgressPlan s = progress_spectrum_plan(1000, 0.5, 1.0, wl);
    ASSERT_EQ(s.fixed.size(), 11u);
    EXPECT_DOUBLE_EQ(s.fixed[0], 30.0);
    EXPECT_DOUBLE_EQ(s.fixed[1], 1.0);
    ProgressPlan q = progress_quick_plan(2.0, 0.5, {4000, 4050, 4100});
    ASSERT_EQ(q.fixed.size(), 4u);
    EXPECT_DOUBLE_EQ(q.fixed[0], 2.0);

    EXPECT_EQ(progress_hms(0), "0:00:00");
    EXPECT_EQ(progress_hms(7.4), "0:00:07");
    EXPECT_EQ(progress_hms(3723), "1:02:03");
    EXPECT_EQ(progress_hms(-5), "0:00:00");
    EXPECT_EQ(progress_hms(NAN), "0:00:00");
    EXPECT_EQ(progress_hms(100 * 3600 + 59), "100:00:59");

    EXPECT_EQ(progress_text(0), "");
    progress_scan().begin(s, 10);
    EXPECT_EQ(progress_text(10).rfind(", elapsed 0:00:00, left ", 0), 0u);
    progress_scan().end();
}

// A time-scaled map of 20 positions in two columns: the time left that the session log gives
// after the second block (a tenth of the map) is close to what the other 18 took. A time-scaled
// run stretches the test machine's own stalls by the time scale, so the run is scaled less than
// most and the tolerance is wider than the model's own (see the test above): a busy machine
// changes its pace during the run.
TEST(Progress, TimeLeftAfterATenthOfAMapMatchesTheRest) {
    std::string script = "idle\ncell 1 1 30000\ncell 2 1 124000\n";
    for (int k = 0; k < 20; k++) {
        int row = k + 2;
        script += "cell 1 " + std::to_string(row) + " " + std::to_string(150000 + 40000 * (k / 10)) + "\n";
        script += "cell 2 " + std::to_string(row) + " " + std::to_string(120000 + 8000 * (k % 10)) + "\n";
    }
    script += "cell 1 22 0\ncell 2 22 0\nset DARK_WAIT 0.05\nset POINT_WAIT 0.5\n"
              "press REFERENCE_SCAN\nidle\nfile map.dat\npress MAP_SCAN\nidle\nquit\n";
    AppRunOptions o;
    o.copyRefqe = false;
    o.files["refqe.txt"] = "4000 0.30\n4500 0.35\n5000 0.40\n5500 0.42\n6000 0.41\n6500 0.38\n7000 0.33\n7500 0.27\n";
    o.limitSeconds = 180;
    o.timeScale = 0.05;
    AppRun r = app_run(script, o);
    ASSERT_FALSE(r.timedOut) << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<double> elapsed, left;
    for (const std::string &l : app_lines(app_read_text(r.dir + "/vrim.log"))) {
        size_t at = l.find(" map block ");
        if (at == std::string::npos) continue;
        int h1, m1, s1, h2, m2, s2;
        size_t e = l.find("elapsed ");
        ASSERT_NE(e, std::string::npos) << l;
        ASSERT_EQ(sscanf(l.c_str() + e, "elapsed %d:%d:%d, left %d:%d:%d", &h1, &m1, &s1, &h2, &m2, &s2), 6) << l;
        elapsed.push_back(h1 * 3600 + m1 * 60 + s1);
        left.push_back(h2 * 3600 + m2 * 60 + s2);
    }
    ASSERT_EQ(elapsed.size(), 20u);
    double rest = elapsed[19] - elapsed[1];
    EXPECT_GT(rest, 100.0);
    EXPECT_NEAR(left[1], rest, 0.2 * rest) << "after 2 of 20 positions, " << r.dir;
    EXPECT_EQ(left[19], 0.0);
}

// The status line carries the running scan's elapsed and left, and drops them when it ends.
#include "platform/core/clock.h"
#include "vrim/observe/journal.h"

TEST(Progress, StatusLineShowsElapsedAndLeft) {
    journal_reset();
    journal_scan_begin("Map scan");
    ProgressPlan plan;
    plan.fixed = {3600, 3600};
    plan.model = {0, 0};
    progress_map().begin(plan, Timer());
    std::string text, alert;
    journal_status(&text, &alert);
    EXPECT_NE(text.find(", elapsed 0:00:00, left 2:00:00"), std::string::npos) << text;
    progress_map().end();
    journal_scan_end(JOURNAL_FINISHED);
    journal_status(&text, &alert);
    EXPECT_EQ(text.find("elapsed"), std::string::npos) << text;
    journal_reset();
}
