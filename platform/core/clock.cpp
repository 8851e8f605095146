#include "platform/core/clock.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {
using steady = std::chrono::steady_clock;

struct ClockState {
    steady::time_point start = steady::now();
    std::int64_t startEpoch = static_cast<std::int64_t>(std::time(nullptr));
    double scale = 1.0;  // real seconds per program second
    ClockState() {
        if (const char *s = std::getenv("VRIM_TIME_SCALE")) {
            char *end = nullptr;
            double v = std::strtod(s, &end);
            if (end != s && v > 0 && std::isfinite(v)) scale = v;
        }
    }
};

ClockState &state() {
    static ClockState st;
    return st;
}
}  // namespace

double clock_scale() { return state().scale; }

void clock_set_scale(double s) {
    if (s > 0 && std::isfinite(s)) state().scale = s;
}

double Timer() {
    const ClockState &st = state();
    double real = std::chrono::duration<double>(steady::now() - st.start).count();
    return real / st.scale;
}

void Delay(double seconds) {
    if (!(seconds > 0)) return;
    // Sleep until an absolute deadline: a sleep that wakes early is resumed, so a pause never
    // comes out shorter than asked.
    auto deadline = steady::now() + std::chrono::duration_cast<steady::duration>(
                                        std::chrono::duration<double>(seconds * state().scale));
    while (steady::now() < deadline) std::this_thread::sleep_until(deadline);
}

void SleepMs(unsigned milliseconds) { Delay(milliseconds / 1000.0); }

std::int64_t clock_wall_seconds() {
    return state().startEpoch + static_cast<std::int64_t>(std::floor(Timer()));
}

int clock_real_ms(double programSeconds) {
    if (!(programSeconds > 0)) return 0;
    double ms = programSeconds * state().scale * 1000.0;
    if (ms < 1) return 1;
    if (ms > 2e9) return 2000000000;
    return static_cast<int>(std::ceil(ms));
}
