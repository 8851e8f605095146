// Time left: the plan of a map from the panel's waits, the refinement from the positions measured
// so far against a station slower than the model, and the H:MM:SS text.
#include <gtest/gtest.h>

#include <cmath>

#include "vrim/progress.h"

TEST(Progress, MapPlanAndRefinementTrackAStationSlowerThanTheModel) {
    std::vector<std::array<int, 2>> pos;
    for (int k = 0; k < 40; k++) pos.push_back({20000 * (k / 8), 5000 * (k % 8)});
    ProgressCosts c;
    ProgressPlan plan = progress_map_plan(pos, {0, 0}, 1.0, 2.0, 61, c);
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
    ProgressPlan s = progress_spectrum_plan(1000, 0.5, 1.0, 10);
    ASSERT_EQ(s.fixed.size(), 11u);
    EXPECT_DOUBLE_EQ(s.fixed[0], 30.0);
    EXPECT_DOUBLE_EQ(s.fixed[1], 1.0);
    ProgressPlan q = progress_quick_plan(2.0, 0.5, 3);
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
