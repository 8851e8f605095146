// Time left of a running scan.
#include "vrim/progress.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
// Readings of a dark offset and of each point (the measurement procedures' fixed counts).
const int kDarkReadings = 10;
const int kPointReadings = 3;

double move_time(const ProgressCosts &c, std::array<int, 2> a, std::array<int, 2> b) {
    double t = 0;
    for (int k = 0; k < 2; k++)
        t += c.stageFixed + c.stagePerStep * std::fabs((double)a[(size_t)k] - (double)b[(size_t)k]);
    return t;
}
}  // namespace

ProgressPlan progress_map_plan(const std::vector<std::array<int, 2>> &positions, std::array<int, 2> from,
                               double darkWaitMin, double pointWaitS, int points, const ProgressCosts &c) {
    ProgressPlan p;
    if (points < 0) points = 0;
    double fixed = std::max(0.0, darkWaitMin) * 60.0 + points * std::max(0.0, pointWaitS);
    double work = c.park + kDarkReadings * c.reading + points * (c.wavelength + kPointReadings * c.reading);
    std::array<int, 2> at = from;
    for (const auto &xy : positions) {
        p.fixed.push_back(fixed);
        p.model.push_back(work + move_time(c, at, xy));
        at = xy;
    }
    return p;
}

ProgressPlan progress_spectrum_plan(double moveSteps, double darkWaitMin, double pointWaitS, int points,
                                    const ProgressCosts &c) {
    ProgressPlan p;
    p.fixed.push_back(std::max(0.0, darkWaitMin) * 60.0);
    p.model.push_back(2 * c.stageFixed + c.stagePerStep * std::fabs(moveSteps) + c.park + kDarkReadings * c.reading);
    for (int i = 0; i < points; i++) {
        p.fixed.push_back(std::max(0.0, pointWaitS));
        p.model.push_back(c.wavelength + kPointReadings * c.reading);
    }
    return p;
}

ProgressPlan progress_quick_plan(double settleS, double pointWaitS, int points, const ProgressCosts &c) {
    ProgressPlan p;
    p.fixed.push_back(std::max(0.0, settleS));
    p.model.push_back(0);
    for (int i = 0; i < points; i++) {
        p.fixed.push_back(std::max(0.0, pointWaitS));
        p.model.push_back(c.wavelength + c.reading);
    }
    return p;
}

void Progress::begin(const ProgressPlan &plan, double now) {
    plan_ = plan;
    active_ = true;
    done_ = 0;
    t0_ = tLast_ = now;
    actualWork_ = modelWork_ = 0;
}

void Progress::unitDone(double now) {
    if (!active_ || done_ >= total()) return;
    size_t i = (size_t)done_;
    actualWork_ += (now - tLast_) - plan_.fixed[i];
    modelWork_ += plan_.model[i];
    tLast_ = now;
    done_++;
}

double Progress::unitEstimate(size_t i) const {
    // What the instruments took beyond the waits, against the model: a slower or faster station
    // scales every unit to come alike.
    double ratio = modelWork_ > 0 ? actualWork_ / modelWork_ : 1.0;
    if (!(ratio > 0)) ratio = done_ > 0 ? 0 : 1.0;
    return plan_.fixed[i] + ratio * plan_.model[i];
}

double Progress::planned() const {
    double t = 0;
    for (size_t i = 0; i < plan_.fixed.size(); i++) t += plan_.fixed[i] + plan_.model[i];
    return t;
}

double Progress::left(double now) const {
    if (!active_) return 0;
    double t = 0;
    for (size_t i = (size_t)done_; i < plan_.fixed.size(); i++) {
        double e = unitEstimate(i);
        if (i == (size_t)done_) e = std::max(0.0, e - (now - tLast_));
        t += e;
    }
    return t;
}

std::string progress_hms(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    if (seconds > 359999999.0) seconds = 359999999.0;
    long long s = (long long)std::llround(seconds);
    char buf[32];
    snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    return buf;
}

Progress &progress_map() {
    static Progress p;
    return p;
}

Progress &progress_scan() {
    static Progress p;
    return p;
}

std::string progress_text(double now) {
    const Progress &p = progress_map().active() ? progress_map() : progress_scan();
    if (!p.active()) return std::string();
    return ", elapsed " + progress_hms(p.elapsed(now)) + ", left " + progress_hms(p.left(now));
}
