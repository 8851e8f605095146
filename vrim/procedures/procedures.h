// What the operator runs: the handlers the event loop dispatches to, and what the procedures
// share among themselves (curves, the QE of a point, the scan's log lines, a QUIT taken by a wait).
#pragma once
#include <cstddef>

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
// Waits t seconds while pumping the event queue; returns 1 when STOP (or an end request) ended the
// wait, 0 when it ran out.
int MDelay(double t);
// Measures the sample position POSITION_INDEX into its store row; returns 0, or 1 when stopped.
int qescan(void);
// The number of positions of the running map scan for the status line; 0 for a single position.
void qescan_set_positions(int n);
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
// The panel's scan settings as one line for the session log.
void scan_settings_text(char *out, size_t size);
// The log lines of a scan's start and end; how is a JournalEnd.
void scan_log_start(const char *name, const char *extra);
void scan_log_end(const char *name, int how, const char *extra);
// Last wavelength of the quick scan: first + (count - 1) * step, held to the int range.
int wl_last(int first, int step, int count);

// ---- The map view's feed (mapshow.cpp) ----

// A map scan begins: the view forgets the map it showed. A resumed map (resumedFile not null)
// starts from the whole blocks that file already holds.
void mapshow_begin(const char *resumedFile);
// Block of position j was written with these header fields: the view adds it, with the record's
// values taken from the store as the block holds them (n points) and the faults of the position.
void mapshow_block(int j, int n, int xRead, int yRead, int xReq, int yReq, int faults);
