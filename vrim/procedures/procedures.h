// What the operator runs: the handlers the event loop dispatches to, and what the procedures
// share among themselves (curves, the QE of a point, the scan's log lines, a QUIT taken by a wait).
#pragma once
#include <cstddef>

#include "vrim/scan.h"

// ---- Handlers, one per control ----

// Spectral scans (measure.cpp).
void do_reference_scan(void);
void do_sample_scan(void);
void do_current_scan(void);
// Map scan, resuming a map and loading a map file's reference (mapscan.cpp).
void do_map_scan(void);
void do_resume_map(void);
void do_load_data(void);
// Text data files (textfiles.cpp).
void do_load_refqe(void);
void do_load_positions(void);
void do_save_positions(void);
void do_save_text(void);
// The panel's map view (mapshow.cpp). OPEN_MAP shows a map file chosen by the operator, every
// whole block of it, with the faults its record lists; the store and the reference stay as they
// are. MAP_SAVE_PNG saves the view as a PNG file chosen by the operator.
void do_open_map(void);
void do_save_map_png(void);
// Manual instrument and stage commands (manual.cpp): one entry per control; returns false
// when the control has no manual handler.
bool do_manual(int control);

// ---- Shared by the procedures ----

// Average of n electrometer readings, amperes; faults in them are reported.
float getavg(int n);
// Waits t seconds while pumping the event queue, looking at it before every half-second slice and
// once more at the end (so at least once, whatever t); returns 1 when STOP, an end request or the
// electrometer's failed GPIB board ended the wait, 0 when it ran out. Other events are dropped; a QUIT is handed back when the
// handler returns (hand_back_quit).
int MDelay(double t);
// The panel's values a scan runs with, read now (every scan reads them once, when it starts).
ScanSettings scan_settings_read(void);
// Measures sample position at (store row at.index, 1 … 999) with settings s: the move, the dark
// offset and s.points points (never more than the reference table holds); the status line names
// it position at.index of `of` (0: a single position); the store row's points past those measured
// keep what they held. Returns 0 with *measured (when not null) the points measured, or 1
// when STOP, an end request or a broken-off stage move ended it (the electrometer back in trigger
// mode 0 and the poll on; nothing parked after a broken-off move).
int qescan(const ScanSettings &s, const ScanPosition &at, int of, int *measured);
// While a scan that moves the stages runs (the object's life): the stage driver asks at every poll
// of a move's wait, and STOP or an end request breaks the move off; the scan then ends without
// moving or parking anything.
struct StageBreakCheck {
    StageBreakCheck();
    ~StageBreakCheck();
    StageBreakCheck(const StageBreakCheck &) = delete;
    StageBreakCheck &operator=(const StageBreakCheck &) = delete;
};
// Shows a scan's reminder of the given kind (ReminderKind); false when an end request came while
// it was up: the handler then returns before it changes anything (the log says the scan did not
// start).
bool scan_reminder(int kind, const char *name, const char *text);
// Points of the reference table held in row 0, within the store's bounds.
int held_ref_count(void);
// Sample curves grey and forgotten; the reference QE curve drawn again.
void grey_curves(void);
// Replaces the curve *handle on graph with n points of (x, y).
void plot_row_curve(int graph, int *handle, const int *x, const float *y, int n, int colour);
// A QUIT taken by a wait is handed back to the event loop.
void hand_back_quit(void);
// The sample QE of one point: qeRef * tokSample / tokRef, or 0 when the reference current is too
// small.
float qe_point(float qeRef, float tokSample, float tokRef);
// A scan's settings as one line for the session log.
void scan_settings_text(const ScanSettings &s, char *out, size_t size);
// The log lines of a scan's start (with its settings) and end; how is a JournalEnd.
void scan_log_start(const char *name, const ScanSettings &s, const char *extra);
void scan_log_end(const char *name, int how, const char *extra);
// Last wavelength of the quick scan: first + (count - 1) * step, held to the int range.
int wl_last(int first, int step, int count);

// ---- The map view's feed (mapshow.cpp) ----

// A map scan begins: the view forgets the map it showed. A resumed map (resumedFile not null)
// starts from the whole blocks that file already holds.
void mapshow_begin(const char *resumedFile);
// Block of position j was written with these header fields: the view adds it, with the record's
// values taken from the store as the block holds them (n points, of which the first `measured`
// were measured: the rest carry NaN sample values and show no value) and the faults of the
// position.
void mapshow_block(int j, int n, int measured, int xRead, int yRead, int xReq, int yReq, int faults);
