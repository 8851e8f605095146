// The scans' progress from the panel values they run with, on the program clock, shown on the
// status line and in the session log. The status line takes the progress at its next redraw (the
// scan's next point or position, its end, or a slice of a long wait), so nothing here redraws it.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/core/clock.h"
#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "vrim/observe/progress.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/store.h"

int held_ref_count(void);  // measure.cpp

namespace {

const double kQuickSettle = 2.0;  // seconds before the first point of a quick scan

struct Waits {
    double darkMin = 0;  // minutes
    double pointS = 0;   // seconds
    std::vector<int> wl; // tenths of a nanometre: the points the scan measures
};

Waits panel_waits(bool sample) {
    Waits w;
    float v = 0;
    if (GetCtrlVal(p1h, DARK_WAIT, &v) == 0) w.darkMin = v;
    v = 0;
    if (GetCtrlVal(p1h, POINT_WAIT, &v) == 0) w.pointS = v;
    int points = held_ref_count();
    int n = 0;
    if (sample && GetCtrlVal(p1h, NREF, &n) == 0) points = std::clamp(n, 0, points);
    w.wl.assign(wl[0], wl[0] + points);
    return w;
}

std::array<int, 2> shown_position() {
    std::array<int, 2> at{};
    GetCtrlVal(p1h, POS_X, &at[0]);
    GetCtrlVal(p1h, POS_Y, &at[1]);
    return at;
}

}  // namespace

void progress_begin_map(int first) {
    std::vector<std::array<int, 2>> pos;
    int rows = 0;
    GetNumTableRows(p1h, POSITIONS, &rows);
    for (int r = std::max(first, 1) + 1; r <= rows && r <= VRIM_ROWS; r++) {
        std::array<int, 2> xy{};
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, r), &xy[0]);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, r), &xy[1]);
        if (xy[0] <= 0 && xy[1] <= 0) break;
        pos.push_back(xy);
    }
    Waits w = panel_waits(true);
    Progress &p = progress_map();
    p.begin(progress_map_plan(pos, shown_position(), w.darkMin, w.pointS, w.wl), Timer());
    log_line("Map scan estimate: %zu positions of %zu points, about %s (program time)", pos.size(), w.wl.size(),
             progress_hms(p.planned()).c_str());
}

void progress_position_done(void) {
    progress_map().unitDone(Timer());
}

void progress_end_map(void) {
    progress_map().end();
}

void progress_begin_spectrum(int row) {
    std::array<int, 2> to{};
    GetTableCellVal(p1h, POSITIONS, MakePoint(1, row), &to[0]);
    GetTableCellVal(p1h, POSITIONS, MakePoint(2, row), &to[1]);
    std::array<int, 2> at = shown_position();
    double steps = std::fabs((double)to[0] - at[0]) + std::fabs((double)to[1] - at[1]);
    Waits w = panel_waits(row > 1);
    progress_scan().begin(progress_spectrum_plan(steps, w.darkMin, w.pointS, w.wl), Timer());
}

void progress_begin_quick(void) {
    int first = 0, step = 0, count = 0;  // tenths of a nanometre, tenths, points
    float wait = 0;                      // seconds
    GetCtrlVal(p1h, WL_FIRST, &first);
    GetCtrlVal(p1h, WL_STEP, &step);
    GetCtrlVal(p1h, WL_COUNT, &count);
    GetCtrlVal(p1h, POINT_WAIT, &wait);
    std::vector<int> pts;
    for (int i = 0; i < std::clamp(count, 0, VRIM_POINTS); i++) pts.push_back((int)((long long)first + (long long)i * step));
    progress_scan().begin(progress_quick_plan(kQuickSettle, wait, pts), Timer());
}

void progress_step(void) {
    progress_scan().unitDone(Timer());
}

void progress_end_scan(void) {
    progress_scan().end();
}

std::string progress_map_text(void) {
    double now = Timer();
    const Progress &p = progress_map();
    return "elapsed " + progress_hms(p.elapsed(now)) + ", left " + progress_hms(p.left(now));
}
