// Time left of a running scan: a plan of its units of work (the positions of a map, the points of
// a spectrum), each with the part of its time the panel fixes (the waits) and a modelled part for
// the instruments (readings, wavelength and stage moves), refined from the units measured so far.
// All times are program seconds (platform/core/clock.h), so a time-scaled run shows what the real
// station would take. Pure arithmetic; the scans feed it the clock's time.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "vrim/scan.h"

// Modelled costs of the instrument work, program seconds (of the station's instruments and links,
// as measured on the simulated station that models them).
struct ProgressCosts {
    double reading = 0.4;           // one electrometer reading (command, pause, reply, range settling)
    double darkExtra = 3.0;         // the dark offset step beyond its park and readings (status checks, settling)
    double monoFixed = 0.1;         // one monochromator command
    double monoPerNm = 0.0102;      // s per nm of a wavelength move
    double stageFixed = 0.3;        // one axis moved: start, stop, position read-back
    double stagePerStep = 1.0 / 14000.0;  // s per microstep of a stage move
    double positionEnd = 0.5;       // curves drawn and positions read back after a position
};

struct ProgressPlan {
    std::vector<double> fixed;    // program seconds of each unit's waits
    std::vector<double> model;    // program seconds of each unit's modelled instrument work
};

// A map scan: one unit per position: the stage move from the previous position (the first from
// `from`), the monochromator parked at the dark wavelength, a dark wait of darkWaitMin minutes and
// 10 readings, then a point at each wavelength of wl (tenths of a nanometre) with a wait of
// pointWaitS seconds and 3 readings.
ProgressPlan progress_map_plan(const std::vector<std::array<int, 2>> &positions, std::array<int, 2> from,
                               double darkWaitMin, double pointWaitS, const std::vector<int> &wl,
                               const ProgressCosts &c = ProgressCosts());
// A reference or sample scan: the first unit is the move of moveSteps microsteps (sum over X and
// Y), the park and the dark wait with its readings, then one unit per point of wl.
ProgressPlan progress_spectrum_plan(double moveSteps, double darkWaitMin, double pointWaitS, const std::vector<int> &wl,
                                    const ProgressCosts &c = ProgressCosts());
// A quick current scan: a settling wait of settleS first, then one unit per point of wl with one
// reading each.
ProgressPlan progress_quick_plan(double settleS, double pointWaitS, const std::vector<int> &wl,
                                 const ProgressCosts &c = ProgressCosts());

class Progress {
public:
    // Starts the plan at program time now.
    void begin(const ProgressPlan &plan, double now);
    // The next unit is finished at program time now.
    void unitDone(double now);
    void end() { active_ = false; }

    bool active() const { return active_; }
    int done() const { return done_; }
    int total() const { return (int)plan_.fixed.size(); }
    // The plan's whole time before any unit is measured.
    double planned() const;
    double elapsed(double now) const { return active_ || done_ ? now - t0_ : 0; }
    // Estimated time to the end: the units to come, their instrument part scaled by what the
    // finished units took against their model, less what the running unit has already taken
    // (never below 0).
    double left(double now) const;

private:
    double unitEstimate(size_t i) const;
    ProgressPlan plan_;
    bool active_ = false;
    int done_ = 0;
    double t0_ = 0;          // program seconds at the start
    double tLast_ = 0;       // program seconds when the last unit finished (t0_ before the first)
    double actualWork_ = 0;  // seconds the finished units took beyond their waits
    double modelWork_ = 0;   // their modelled instrument seconds
};

// Whole seconds as H:MM:SS ("0:00:07", "12:03:40"); negative or not-a-number values give 0:00:00.
std::string progress_hms(double seconds);

// The running scans' progress: `map` while a map scan runs (its units are positions), `scan` for
// the spectrum or quick scan being measured (inside a map, the position's own).
Progress &progress_map();
Progress &progress_scan();
// ", elapsed H:MM:SS, left H:MM:SS" of the map when one runs, else of the scan, else ""; a map
// whose positions measure fewer points than the reference table holds adds ", M of N points per
// position" first.
std::string progress_text(double now);

// ---------------------------------------------------------------------------------------------
// Fed by the scans (scanprogress.cpp) with the settings they read when they started, and the clock.

// A map scan begins at position `first` (1, or later for a resumed map): the plan of the positions
// of `plan` from `first` on, from the stage position shown, with the settings' waits and points
// measured. The session log gets the map's estimate. When a position measures fewer points than
// the reference table holds, the status line says so while the map runs.
void progress_begin_map(const MapPlan &plan, int first, const ScanSettings &s);
// The map's next position is measured.
void progress_position_done(void);
void progress_end_map(void);
// A reference or sample scan begins, moving to `to` and measuring `points` points; or a quick
// current scan.
void progress_begin_spectrum(const ScanSettings &s, const ScanPosition &to, int points);
void progress_begin_quick(const ScanSettings &s);
// The running scan's next unit (the dark offset, a point) is done.
void progress_step(void);
void progress_end_scan(void);
// "elapsed H:MM:SS, left H:MM:SS" of the map now, for its per-block log line.
std::string progress_map_text(void);
// Ends the scan's progress when a handler returns, by whatever path.
struct ProgressScanGuard {
    ~ProgressScanGuard() { progress_end_scan(); }
};
