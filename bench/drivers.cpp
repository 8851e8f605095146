// Driver overhead at real time: the wall time of repeated electrometer readings and monochromator
// moves against the simulated instruments, as a ratio to the fixed pauses those calls must make.
// The simulators answer at once (the monochromator moves at an unbounded speed), so whatever
// exceeds 1 is the drivers' and the serial layer's own cost.
#include <QCoreApplication>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "platform/core/clock.h"
#include "sim/K617/k617_sim.h"
#include "sim/SP2155/sp2155_sim.h"

namespace {
constexpr int kGets = 100;
constexpr int kMoves = 20;
// Pauses per call, s: a reading is "X" (0.05 s before the line, 0.1 s after the command) and
// "++read eoi" (0.05 s before the line); a move is one monochromator line (0.05 s before it).
constexpr double kGetPauses = 0.05 + 0.1 + 0.05;
constexpr double kMovePauses = 0.05;
constexpr double kTarget = 1.03;

double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    clock_set_scale(1.0);

    SP2155Sim mono;
    mono.setWavelengthNm(500.0);
    mono.setSpeedNmPerSecond(1e12);
    K617Sim elec;
    elec.setCurrentSource([] { return -2.3e-9; });
    if (!mono.start() || !elec.start()) {
        std::fprintf(stderr, "bench_drivers: cannot start the simulators: %s %s\n", mono.error().c_str(),
                     elec.error().c_str());
        elec.stop();
        mono.stop();
        return 1;
    }
    setenv("VRIM_COM4", mono.path().c_str(), 1);
    setenv("VRIM_COM5", elec.path().c_str(), 1);

    SP2155_Open(4);
    K617_open(1, 5, 3, 0, 13);
    K617_data_format(0);
    K617_trigger_mode(1);

    int bad = 0;
    double t0 = wallSeconds();
    for (int i = 0; i < kGets; ++i)
        if (!std::isfinite(K617_get(nullptr, nullptr))) ++bad;
    double getWall = wallSeconds() - t0;

    t0 = wallSeconds();
    for (int i = 0; i < kMoves; ++i) {
        SP2155_SetWavelength(4000 + 100 * i);
        if (SP2155_LastResult() != 0) ++bad;
    }
    double moveWall = wallSeconds() - t0;

    K617_trigger_mode(0);
    K617_close();
    SP2155_Close();
    elec.stop();
    mono.stop();

    double getRatio = getWall / (kGets * kGetPauses);
    double moveRatio = moveWall / (kMoves * kMovePauses);
    std::printf("K617_get x%d:             %.3f s wall, pauses %.3f s, ratio %.4f\n", kGets, getWall,
                kGets * kGetPauses, getRatio);
    std::printf("SP2155_SetWavelength x%d:  %.3f s wall, pauses %.3f s, ratio %.4f\n", kMoves, moveWall,
                kMoves * kMovePauses, moveRatio);
    if (bad) std::printf("%d calls got no valid reply\n", bad);
    bool ok = !bad && getRatio <= kTarget && moveRatio <= kTarget;
    std::printf("target <= %.2f: %s\n", kTarget, ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
