// Measurement procedures: averaged electrometer readings, the abortable wait, the spectral scan of
// one sample position, and the handlers of the reference, sample and quick current scans.
//
// Every scan switches the poll timer off and the electrometer to trigger mode 1 before its first
// reading, and back (mode 0, timer on) after its last; an abort in some waits skips that, and the
// timer then stays off until a later scan reaches its end.
#include <cstdint>
#include <cstdio>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "platform/ui/signals.h"
#include "platform/ui/userint.h"
#include "vrim/vrim.h"

// Shared with the map scan (mapscan.cpp).
void grey_curves(void);
void plot_row_curve(int graph, int *handle, const int *x, const float *y, int n, int colour);
int held_ref_count(void);
void hand_back_quit(void);
float qe_point(float qeRef, float tokSample, float tokRef);

static const int ncurroff = 10;         // readings averaged for a dark offset
static const int ncurrmes = 3;          // readings averaged for each wavelength point
static const int kDarkWavelength = 1000; // tenths of a nanometre: 100.0 nm, no light through
static const double kSlice = 0.5;       // seconds: STOP is looked for once per slice
static const double kQuickSettle = 2.0; // seconds before the first point of a quick scan
static const double kMinRefCurrent = 1e-12; // amperes: below this the QE is not computed

// A QUIT taken by a wait is dropped for the measurement, but the operator asked to end the
// program: it is remembered here and put back into rID when the handler returns, so the event
// loop's end test sees it whatever other events the later waits took.
static bool quitTaken;

void hand_back_quit(void) {
    if (quitTaken) {
        rID = QUIT;
        quitTaken = false;
    }
}

namespace {
struct QuitHandback {
    ~QuitHandback() { hand_back_quit(); }
};

int bounded(int n) {
    if (n < 0) return 0;
    if (n > VRIM_POINTS) return VRIM_POINTS;
    return n;
}

void set_mono(int wavelength) {
    SetCtrlVal(p1h, MONO_BUSY, 1);
    SP2155_SetWavelength(wavelength);
    SetCtrlVal(p1h, MONO_BUSY, 0);
}

void timer_enable(int on) { SetCtrlAttribute(p1h, POLL_TIMER, ATTR_ENABLED, on); }

// Moves X, then Y, to the cells of a POSITIONS row and shows the positions read back. Axis 0
// finishes its move before axis 1 starts; Z stays.
void move_xy_to_row(int row) {
    SetCtrlVal(p1h, STAGE_BUSY, 1);
    for (int a = 0; a < 2; a++) {
        GetTableCellVal(p1h, POSITIONS, MakePoint(a + 1, row), &CurPos[a]);
        uSMC_MoveTo(node[a], CurPos[a]);
        uSMC_GetPosition(node[a], &CurPos[a]);
        SetCtrlVal(p1h, PosCtrl[a], CurPos[a]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
}

// Why a sample position cannot be measured, or null when it can: row 0 belongs to the reference
// detector, the store ends at row 999, and a position needs its row in POSITIONS.
const char *position_refusal(int npos, char *buf, size_t size) {
    if (npos == 0) {
        snprintf(buf, size,
                 "Position 0 is the reference detector (row 1 of POSITIONS).\n"
                 "Choose a sample position from 1 to %d.", VRIM_ROWS - 1);
        return buf;
    }
    if (npos < 0 || npos >= VRIM_ROWS) {
        snprintf(buf, size, "Position %d is out of range.\nChoose a sample position from 1 to %d.",
                 npos, VRIM_ROWS - 1);
        return buf;
    }
    int rows = 0;
    if (GetNumTableRows(p1h, POSITIONS, &rows) >= 0 && npos + 1 > rows) {
        snprintf(buf, size, "Position %d has no row in POSITIONS (the table has %d rows).", npos,
                 rows);
        return buf;
    }
    return nullptr;
}
}  // namespace

int held_ref_count(void) { return bounded(nref); }

void plot_row_curve(int graph, int *handle, const int *x, const float *y, int n, int colour) {
    if (*handle != 0) DeleteGraphPlot(p1h, graph, *handle, 1);
    int h = PlotXY(p1h, graph, x, y, n, VAL_INTEGER, VAL_FLOAT, VAL_THIN_LINE, VAL_EMPTY_SQUARE,
                   VAL_SOLID, 1, colour);
    *handle = h > 0 ? h : 0;
}

void grey_curves(void) {
    for (int r = 1; r < VRIM_ROWS; r++) {
        if (plqeh[r] != 0) SetPlotAttribute(p1h, GRAPH_QE, plqeh[r], ATTR_TRACE_COLOR, VAL_LT_GRAY);
        if (plh[r] != 0) SetPlotAttribute(p1h, GRAPH_SAMPLE, plh[r], ATTR_TRACE_COLOR, VAL_LT_GRAY);
        plh[r] = 0;
        plqeh[r] = 0;
    }
    plot_row_curve(GRAPH_QE, &plqeh[0], wl[0], qe[0], held_ref_count(), VAL_BLACK);
    RefreshGraph(p1h, GRAPH_QE);
    RefreshGraph(p1h, GRAPH_SAMPLE);
}

float qe_point(float qeRef, float tokSample, float tokRef) {
    // Not a number compares false and gives 0 too. Product and quotient each rounded to single
    // precision, as the store keeps them.
    if (!((double)tokRef > kMinRefCurrent)) return 0.0f;
    float prod = qeRef * tokSample;
    float q = prod / tokRef;
    return q;
}

float getavg(int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; i++) sum = (float)(sum + K617_get(nullptr, nullptr));
    if (n <= 0) return 0.0f;
    return sum / (float)n;
}

int MDelay(double t) {
    // A request to end the program ends the measurement at its next wait, as STOP does, and the
    // program's shutdown follows when the handler returns.
    if (EndRequestReceived()) {
        quitTaken = true;
        return 1;
    }
    while (t > kSlice) {
        ProcessSystemEvents();
        int panel = 0, control = 0;
        if (GetUserEvent(0, &panel, &control) != 0) {
            // Only an event actually taken counts; every event but STOP is dropped here.
            pID = panel;
            rID = control;
            if (control == STOP) return 1;
            if (control == QUIT) quitTaken = true;
        }
        if (EndRequestReceived()) {
            quitTaken = true;
            return 1;
        }
        Delay(kSlice);
        t -= kSlice;
        SetCtrlVal(p1h, WAIT_LEFT, t);
    }
    Delay(t);
    SetCtrlVal(p1h, WAIT_LEFT, 0.0);
    return 0;
}

int qescan(void) {
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    // The store has rows 1 … 999 for samples; row 0 stays the reference.
    if (npos < 1 || npos >= VRIM_ROWS) return 1;

    timer_enable(0);
    move_xy_to_row(npos + 1);
    K617_trigger_mode(1);
    set_mono(kDarkWavelength);

    float wait = 0.0f;  // minutes, then seconds
    GetCtrlVal(p1h, DARK_WAIT, &wait);
    if (MDelay((double)wait * 60.0) == 1) return 1;
    GetCtrlVal(p1h, POINT_WAIT, &wait);

    tokoff[npos] = getavg(ncurroff);
    SetCtrlVal(p1h, OFFSET_SAMPLE, (double)tokoff[npos]);

    int n = 0;
    GetCtrlVal(p1h, NREF, &n);
    n = bounded(n);
    for (int i = 0; i < n; i++) {
        int icwl = wl[0][i];
        set_mono(icwl);
        SetCtrlVal(p1h, WL_CURRENT, icwl);
        if (MDelay(wait) == 1) return 1;
        float rcurr = getavg(ncurrmes);
        SetCtrlVal(p1h, CURRENT, (double)rcurr);
        wl[npos][i] = icwl;
        tok[npos][i] = -(rcurr - tokoff[npos]);
    }
    plot_row_curve(GRAPH_SAMPLE, &plh[npos], wl[npos], tok[npos], n, VAL_RED);
    for (int i = 0; i < n; i++) qe[npos][i] = qe_point(qe[0][i], tok[npos][i], tok[0][i]);
    plot_row_curve(GRAPH_QE, &plqeh[npos], wl[npos], qe[npos], n, VAL_BLUE);

    K617_trigger_mode(0);
    timer_enable(1);

    SetCtrlVal(p1h, STAGE_BUSY, 1);
    for (int a = 0; a < 2; a++) {
        uSMC_GetPosition(node[a], &CurPos[a]);
        SetCtrlVal(p1h, PosCtrl[a], CurPos[a]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
    return 0;
}

void do_reference_scan(void) {
    QuitHandback handback;
    MessagePopup("Reminder", "Switch the cable to measure the reference PMT current!");
    timer_enable(0);
    move_xy_to_row(1);
    K617_trigger_mode(1);
    set_mono(kDarkWavelength);

    float wait = 0.0f;  // minutes, then seconds
    GetCtrlVal(p1h, DARK_WAIT, &wait);
    if (MDelay((double)wait * 60.0) == 1) return;
    GetCtrlVal(p1h, POINT_WAIT, &wait);

    tokoff[0] = getavg(ncurroff);
    SetCtrlVal(p1h, OFFSET_REFERENCE, (double)tokoff[0]);

    // The count of the reference table held by the event loop, not the NREF control.
    int n = held_ref_count();
    for (int i = 0; i < n; i++) {
        int icwl = wl[0][i];
        set_mono(icwl);
        SetCtrlVal(p1h, WL_CURRENT, icwl);
        if (MDelay(wait) == 1) break;
        float rcurr = getavg(ncurrmes);
        SetCtrlVal(p1h, CURRENT, (double)rcurr);
        tok[0][i] = -(rcurr - tokoff[0]);
    }
    plot_row_curve(GRAPH_REFERENCE, &plh[0], wl[0], tok[0], n, VAL_RED);
    K617_trigger_mode(0);
    timer_enable(1);
}

void do_sample_scan(void) {
    QuitHandback handback;
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    char why[200];
    if (position_refusal(npos, why, sizeof why)) {
        MessagePopup("Sample scan", why);
        return;
    }
    MessagePopup("Reminder", "Switch the cable to measure the sample detector current!");
    grey_curves();
    qescan();
}

void do_current_scan(void) {
    QuitHandback handback;
    timer_enable(0);
    int iwl0 = 0, idwl = 0, inwl = 0;  // tenths of a nanometre, tenths, points
    float wait = 0.0f;                 // seconds
    GetCtrlVal(p1h, WL_FIRST, &iwl0);
    GetCtrlVal(p1h, WL_STEP, &idwl);
    GetCtrlVal(p1h, WL_COUNT, &inwl);
    GetCtrlVal(p1h, POINT_WAIT, &wait);
    // Row 1 holds at most the store's points.
    inwl = bounded(inwl);
    K617_trigger_mode(1);
    MDelay(kQuickSettle);
    for (int i = 0; i < inwl; i++) {
        int icwl = (int)(uint32_t)((int64_t)iwl0 + (int64_t)i * idwl);
        set_mono(icwl);
        SetCtrlVal(p1h, WL_CURRENT, icwl);
        MDelay(wait);  // a STOP ends only this wait
        double rcurr = K617_get(nullptr, nullptr);
        SetCtrlVal(p1h, CURRENT, rcurr);
        wl[1][i] = icwl;
        tok[1][i] = (float)-rcurr;
    }
    plot_row_curve(GRAPH_SAMPLE, &plh[1], wl[1], tok[1], inwl, VAL_RED);
    K617_trigger_mode(0);
    timer_enable(1);
}
