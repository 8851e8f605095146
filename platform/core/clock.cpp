#include "platform/core/clock.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {
using steady = std::chrono::steady_clock;

struct ClockState {
    std::mutex mu;
    steady::time_point start = steady::now();
    // Program time runs from (baseReal, baseProgram) at `scale`; a change of scale starts a new
    // base, so Timer() stays continuous and monotonic across it.
    steady::time_point baseReal = start;
    double baseProgram = 0;  // program seconds at baseReal
    std::int64_t startEpoch = static_cast<std::int64_t>(std::time(nullptr));
    double scale = 1.0;  // real seconds per program second
    ClockState() {
        if (const char *s = std::getenv("VRIM_TIME_SCALE")) {
            char *end = nullptr;
            double v = std::strtod(s, &end);
            if (end != s && v > 0 && std::isfinite(v)) scale = v;
        }
    }
    double programAt(steady::time_point t) const {
        return baseProgram + std::chrono::duration<double>(t - baseReal).count() / scale;
    }
};

ClockState &state() {
    static ClockState st;
    return st;
}
}  // namespace

double clock_scale() {
    ClockState &st = state();
    std::lock_guard<std::mutex> lk(st.mu);
    return st.scale;
}

void clock_set_scale(double s) {
    if (!(s > 0 && std::isfinite(s))) return;
    ClockState &st = state();
    std::lock_guard<std::mutex> lk(st.mu);
    auto now = steady::now();
    st.baseProgram = st.programAt(now);
    st.baseReal = now;
    st.scale = s;
}

double Timer() {
    ClockState &st = state();
    std::lock_guard<std::mutex> lk(st.mu);
    return st.programAt(steady::now());
}

void Delay(double seconds) {
    if (!(seconds > 0)) return;
    // Sleep until an absolute deadline: a sleep that wakes early is resumed, so a pause never
    // comes out shorter than asked.
    auto deadline = steady::now() + std::chrono::duration_cast<steady::duration>(
                                        std::chrono::duration<double>(seconds * clock_scale()));
    while (steady::now() < deadline) std::this_thread::sleep_until(deadline);
}

void SleepMs(unsigned milliseconds) { Delay(milliseconds / 1000.0); }

std::int64_t clock_wall_seconds() {
    return state().startEpoch + static_cast<std::int64_t>(std::floor(Timer()));
}

double clock_timeout_span(double seconds) {
    double s = clock_scale();
    return s < kClockTimeoutScale ? seconds * (kClockTimeoutScale / s) : seconds;
}

int clock_real_ms(double programSeconds) {
    if (!(programSeconds > 0)) return 0;
    double ms = programSeconds * clock_scale() * 1000.0;
    if (ms < 1) return 1;
    if (ms > 2e9) return 2000000000;
    return static_cast<int>(std::ceil(ms));
}
