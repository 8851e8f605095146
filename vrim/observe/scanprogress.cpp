// Progress of the running scans from the settings they started with, on the program clock, shown
// on the status line and in the session log. The status line takes the progress at its next redraw
// (the scan's next point or position, its end, or a slice of a long wait), so nothing here redraws
// it.
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

namespace {

const double kQuickSettle = 2.0;  // seconds before the first point of a quick scan

// The running map's positions measure fewer points than the reference table holds.
bool mapShort;
int mapPoints;       // points each position measures
int mapTablePoints;  // points of the reference table

// The wavelengths (tenths of a nanometre) of the first `points` points of the reference table.
std::vector<int> table_wavelengths(int points) {
    points = std::clamp(points, 0, VRIM_POINTS);
    return std::vector<int>(wl[0], wl[0] + points);
}

std::array<int, 2> shown_position() {
    std::array<int, 2> at{};
    GetCtrlVal(p1h, POS_X, &at[0]);
    GetCtrlVal(p1h, POS_Y, &at[1]);
    return at;
}

}  // namespace

void progress_begin_map(const MapPlan &plan, int first, const ScanSettings &s) {
    std::vector<std::array<int, 2>> pos;
    for (const ScanPosition &p : plan.positions)
        if (p.index >= first) pos.push_back({p.x, p.y});
    std::vector<int> w = table_wavelengths(s.points);
    Progress &p = progress_map();
    p.begin(progress_map_plan(pos, shown_position(), s.darkWait, s.pointWait, w), Timer());
    mapShort = s.points < s.tablePoints;
    mapPoints = s.points;
    mapTablePoints = s.tablePoints;
    log_line("Map scan estimate: %zu positions of %zu points, about %s (program time)", pos.size(), w.size(),
             progress_hms(p.planned()).c_str());
}

void progress_position_done(void) {
    progress_map().unitDone(Timer());
}

void progress_end_map(void) {
    progress_map().end();
    mapShort = false;
}

void progress_begin_spectrum(const ScanSettings &s, const ScanPosition &to, int points) {
    std::array<int, 2> at = shown_position();
    double steps = std::fabs((double)to.x - at[0]) + std::fabs((double)to.y - at[1]);
    progress_scan().begin(progress_spectrum_plan(steps, s.darkWait, s.pointWait, table_wavelengths(points)), Timer());
}

void progress_begin_quick(const ScanSettings &s) {
    std::vector<int> pts;
    for (int i = 0; i < s.wlCount; i++) pts.push_back((int)((long long)s.wlFirst + (long long)i * s.wlStep));
    progress_scan().begin(progress_quick_plan(kQuickSettle, s.pointWait, pts), Timer());
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

std::string progress_text(double now) {
    bool map = progress_map().active();
    const Progress &p = map ? progress_map() : progress_scan();
    if (!p.active()) return std::string();
    std::string s;
    if (map && mapShort) {
        char buf[80];
        snprintf(buf, sizeof buf, ", %d of %d points per position", mapPoints, mapTablePoints);
        s = buf;
    }
    return s + ", elapsed " + progress_hms(p.elapsed(now)) + ", left " + progress_hms(p.left(now));
}
