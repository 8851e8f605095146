// The measurement application: control identifiers of its one panel, the measurement store and
// the handlers the event loop dispatches to.
#pragma once
#include <cstdio>

// Panel 1 of vrim_ui.uir and its controls. Each widget of the panel file carries its identifier
// in the dynamic property "ctrlId".
enum {
    PANEL = 1,
    GRATING = 2,
    WL_COUNT = 3,
    WL_STEP = 4,
    WL_CURRENT = 5,
    WL_LAST = 6,
    WL_FIRST = 7,
    STAGE_BUSY = 8,
    MONO_BUSY = 9,
    CURRENT_SCAN = 10,
    ZERO_CORRECT = 11,
    QUIT = 12,
    CURRENT = 13,
    Z_TARGET = 14,
    POS_Z = 15,
    POS_Y = 16,
    POS_X = 17,
    MOVE_Z = 18,
    GOTO_POSITION = 19,
    LOAD_DATA = 20,
    LOAD_REFQE = 21,
    STOP = 22,
    SAVE_TEXT = 23,
    SAVE_POSITIONS = 24,
    LOAD_POSITIONS = 25,
    HOME_ALL = 26,
    GRAPH_SAMPLE = 27,
    GRAPH_REFERENCE = 28,
    GRAPH_QE = 29,
    POSITIONS = 30,
    VSOURCE_OPERATE = 31,
    OFFSET_SAMPLE = 32,
    OFFSET_REFERENCE = 33,
    VSOURCE_VALUE = 34,
    NREF = 35,
    WAIT_LEFT = 36,
    DARK_WAIT = 37,
    POINT_WAIT = 38,
    MAP_SCAN = 39,
    SAMPLE_SCAN = 40,
    REFERENCE_SCAN = 41,
    POSITION_INDEX = 42,
    CURRENT_RANGE = 43,
    POLL_TIMER = 44,
    STATUS = 45,
    RESUME_MAP = 46,
    OPEN_MAP = 47,
    MAP_VIEW = 48,
    MAP_SAVE_PNG = 49,
};

// ---------------------------------------------------------------------------------------------
// Module state shared by the application's source files (defined in vrim.cpp and store.cpp).

#define VRIM_ROWS 1000    // store rows: 0 = reference detector, n = sample position n
#define VRIM_POINTS 1000  // points per row

// Measurement store.
extern int wl[VRIM_ROWS][VRIM_POINTS];     // tenths of a nanometre
extern float tok[VRIM_ROWS][VRIM_POINTS];  // amperes, dark offset minus reading
extern float qe[VRIM_ROWS][VRIM_POINTS];   // unit of the reference table
extern float tokoff[VRIM_ROWS];            // amperes, dark offset as read
extern int plh[VRIM_ROWS];                 // current curve handle, 0 = none
extern int plqeh[VRIM_ROWS];               // QE curve handle, 0 = none

extern int p1h;       // panel handle
extern int pID;       // panel of the last event taken
extern int rID;       // control of the last event taken
extern int nref;      // points of the reference table in row 0
extern int node[3];   // stage controller of axes X, Y, Z (device index + 1; 0 = not found)
extern int CurPos[3]; // microsteps: last target or read-back position per axis
extern const int PosCtrl[3];              // {POS_X, POS_Y, POS_Z}
extern const char serials[3][16];         // controller serial numbers, no terminator

// Program entry (vrim.cpp); main() calls it where the platform has no WinMain.
int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow);
int cb_timer(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
// Writes the default grid file "mcp_positions.txt" in the working directory, replacing any
// earlier one. Returns 0, or -1 when the file could not be opened or written.
int mcp_positions(void);

// Store (store.cpp; the pure reader in files.cpp).
void store_clear(void);
// Reads white-space separated pairs "wavelength qe" (tenths of a nanometre, QE) with " %d %f"
// from f into wl[k], qe[k] for k = 0 ... until a pair does not convert, the input ends or max
// pairs are taken. Returns the number of whole pairs taken. A trailing half pair leaves its
// wavelength in wl[count] (when count < max) without counting it. Needs no panel.
int refqe_parse(FILE *f, int *wl, float *qe, int max);
// Reads a reference QE table into row 0, sets nref and NREF, redraws the reference QE curve.
// At most VRIM_POINTS pairs are taken; the rest of a longer file is ignored. Returns the number
// of pairs taken, or -1 when the file cannot be opened (nothing read, nothing changed; errno
// tells why).
int read_refqe(const char *path);

// Measurement procedures (measure.cpp).
float getavg(int n);
int MDelay(double t);
int qescan(void);
void do_reference_scan(void);
void do_sample_scan(void);
void do_current_scan(void);

// Map scan and binary measurement file (mapscan.cpp).
void do_map_scan(void);
void do_resume_map(void);
void do_load_data(void);

// The panel's map view (mapshow.cpp): a map scan's blocks as they are written, map files opened
// by the operator, the view's picture saved.
// A map scan begins: the view forgets the map it showed. A resumed map (resumedFile not null)
// starts from the whole blocks that file already holds.
void mapshow_begin(const char *resumedFile);
// Block of position j was written with these header fields: the view adds it, with the record's
// values taken from the store as the block holds them (n points) and the faults of the position.
void mapshow_block(int j, int n, int xRead, int yRead, int xReq, int yReq, int faults);
// OPEN_MAP: shows a map file chosen by the operator in the view, every whole block of it, with the
// faults its record lists; the store and the reference stay as they are.
void do_open_map(void);
// MAP_SAVE_PNG: saves the map view as a PNG file chosen by the operator.
void do_save_map_png(void);

// Plain text readers and writers without panel calls (files.cpp).
// Reads pairs of integers " %d %d" (X Y, microsteps) into x[k], y[k] for k = 0 ... until a pair
// does not convert, the input ends or maxPairs pairs are taken; returns the number of pairs.
int positions_parse(FILE *f, int *x, int *y, int maxPairs);
// After a reader above stopped: true when input other than white space is left in f (which must
// be seekable); *line gets the line number of its first byte (from 1) and text[size] that line,
// cut to fit and without its line end. False at the end of the input.
bool text_stopped_at(FILE *f, long *line, char *text, size_t size);
// Writes the default grid (122 lines "%d %d\n": the reference detector's position, then the
// 11 x 11 sample grid, column by column). Returns 0, or -1 when a write failed.
int positions_write_grid(FILE *f);
// Writes one line "%d %g %g %g %g\n" of the text export. Returns fprintf's result.
int export_line(FILE *f, int wl, float tokRef, float tokSample, float qeRef, float qeSample);

// Text data files (textfiles.cpp).
void do_load_refqe(void);
void do_load_positions(void);
void do_save_positions(void);
void do_save_text(void);

// Manual instrument and stage commands (manual.cpp): one entry per control; returns false
// when the control has no manual handler.
bool do_manual(int control);
// Last wavelength of the quick scan: first + (count - 1) * step, held to the int range.
int wl_last(int first, int step, int count);

// The reference detector's position in the default grid, microsteps.
#define VRIM_REF_X 30000
#define VRIM_REF_Y 124000
