// Reading what a driver put on the wire of a simulated instrument.
#pragma once
#include <string>

#include "platform/core/clock.h"
#include "sim/pty_line.h"

// Everything the simulator has received once it holds at least n bytes (a driver's write returns
// before the far end has read it), or what it holds after 2 program seconds.
inline std::string wire_traffic_after(const PtyLine &sim, size_t n) {
    double t0 = Timer();
    while (sim.traffic().size() < n && Timer() - t0 < 2) Delay(0.01);
    return sim.traffic();
}
