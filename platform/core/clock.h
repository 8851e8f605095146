// The program's one clock. Every pause, time-out and elapsed-seconds count of the program and of
// the simulated instruments goes through it, so that a time scale can speed the whole station up
// for tests without changing any protocol timing relation.
//
// VRIM_TIME_SCALE (read once, at the first use) is the number of real seconds that one program
// second takes: 1 (the default) is real time, 0.01 runs a 2 s device clear in 20 ms. Calendar
// times written into files are never scaled (use time() for those).
#pragma once
#include <cstdint>
#include <ctime>

// Real seconds per program second; always > 0.
double clock_scale();
// Sets the scale for the rest of the run (tests); values <= 0 are ignored.
void clock_set_scale(double realSecondsPerProgramSecond);

// Program seconds elapsed since the clock was first used (monotonic).
double Timer();
// Blocks the calling thread for the given program seconds; nothing for values <= 0.
void Delay(double seconds);
// Blocks for the given program milliseconds (the operating system's Sleep, on the program clock).
void SleepMs(unsigned milliseconds);
// Whole seconds of a wall clock that runs on the program's time base: the real calendar time at
// the clock's first use plus the program seconds elapsed since. Used where a loop prints once per
// clock second, so that the count of such lines keeps its relation to program time when scaled.
std::int64_t clock_wall_seconds();
// Program seconds that a time-out of `seconds` lasts. At real time, and in runs scaled by
// kClockTimeoutScale or more, the same; in a run scaled further, stretched to last the real time it
// would at kClockTimeoutScale. Such a run stretches every stall of a busy machine by its scale, so
// that a simulated instrument's thread kept off the processor for a few tens of milliseconds would
// pass for an instrument that fell silent or answered late. What stands for an instrument's fault
// (a late answer rehearsed on the simulated station) is stretched the same way, so that it still
// outlasts the time-outs and checks it outlasts at real time.
constexpr double kClockTimeoutScale = 0.1;  // real seconds per program second, at the least
double clock_timeout_span(double seconds);
// Converts program seconds to real milliseconds for a blocking call's time-out (at least 1 ms
// for any positive program time).
int clock_real_ms(double programSeconds);
