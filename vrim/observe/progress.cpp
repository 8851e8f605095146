// Time left of a running scan.
#include "vrim/observe/progress.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
// Readings of a dark offset and of each point (the measurement procedures' fixed counts).
const int kDarkReadings = 10;
const int kPointReadings = 3;
const int kDarkWavelength = 1000;  // tenths of a nanometre: where the dark offset is read

double mono(const ProgressCosts &c, int fromTenths, int toTenths) {
    return c.monoFixed + c.monoPerNm * std::fabs((double)toTenths - (double)fromTenths) / 10.0;
}

double stage(const ProgressCosts &c, std::array<int, 2> a, std::array<int, 2> b) {
    double t = 0;
    for (int k = 0; k < 2; k++)
        t += c.stageFixed + c.stagePerStep * std::fabs((double)a[(size_t)k] - (double)b[(size_t)k]);
    return t;
}

// The instrument work of one spectrum: park, dark readings, then each point's move and readings.
// Returns the dark part and appends the points' parts to *points.
double spectrum_work(const ProgressCosts &c, const std::vector<int> &wl, int readings, std::vector<double> *points) {
    int last = wl.empty() ? kDarkWavelength : wl.back();  // the previous spectrum ended there
    double dark = mono(c, last, kDarkWavelength) + kDarkReadings * c.reading + c.darkExtra;
    int at = kDarkWavelength;
    for (int w : wl) {
        points->push_back(mono(c, at, w) + readings * c.reading);
        at = w;
    }
    return dark;
}
}  // namespace

ProgressPlan progress_map_plan(const std::vector<std::array<int, 2>> &positions, std::array<int, 2> from,
                               double darkWaitMin, double pointWaitS, const std::vector<int> &wl,
                               const ProgressCosts &c) {
    ProgressPlan p;
    std::vector<double> pts;
    double work = spectrum_work(c, wl, kPointReadings, &pts) + c.positionEnd;
    for (double t : pts) work += t;
    double fixed = std::max(0.0, darkWaitMin) * 60.0 + (double)wl.size() * std::max(0.0, pointWaitS);
    std::array<int, 2> at = from;
    for (const auto &xy : positions) {
        p.fixed.push_back(fixed);
        p.model.push_back(work + stage(c, at, xy));
        at = xy;
    }
    return p;
}

ProgressPlan progress_spectrum_plan(double moveSteps, double darkWaitMin, double pointWaitS, const std::vector<int> &wl,
                                    const ProgressCosts &c) {
    ProgressPlan p;
    std::vector<double> pts;
    double dark = spectrum_work(c, wl, kPointReadings, &pts);
    p.fixed.push_back(std::max(0.0, darkWaitMin) * 60.0);
    p.model.push_back(2 * c.stageFixed + c.stagePerStep * std::fabs(moveSteps) + dark);
    for (double t : pts) {
        p.fixed.push_back(std::max(0.0, pointWaitS));
        p.model.push_back(t);
    }
    return p;
}

ProgressPlan progress_quick_plan(double settleS, double pointWaitS, const std::vector<int> &wl, const ProgressCosts &c) {
    ProgressPlan p;
    p.fixed.push_back(std::max(0.0, settleS));
    p.model.push_back(0);
    int at = wl.empty() ? 0 : wl.front();
    for (int w : wl) {
        p.fixed.push_back(std::max(0.0, pointWaitS));
        p.model.push_back(mono(c, at, w) + c.reading);
        at = w;
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
