// Measurement procedures: averaged electrometer readings, the abortable wait, the spectral scan of
// one sample position, and the handlers of the reference, sample and quick current scans.
//
// Every scan switches the poll timer off and the electrometer to trigger mode 1 before its first
// reading, and back (mode 0, timer on) after its last, or after a STOP or end request ended it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "platform/core/endrequest.h"
#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "vrim/observe/liverecord.h"
#include "vrim/observe/progress.h"
#include "vrim/observe/watch.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"


static const int ncurroff = 10;         // readings averaged for a dark offset
static const int ncurrmes = 3;          // readings averaged for each wavelength point
static const int kDarkWavelength = 1000; // tenths of a nanometre: 100.0 nm, no light through
static const double kSlice = 0.5;       // seconds: STOP is looked for once per slice
static const int kStatusSlices = 10;    // slices of a wait between redraws of the status line
static unsigned statusSlices;           // slices waited, for the status line's redraws
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
        journal_note(NOTE_QUIT, nullptr);
    }
}

// Set by the stage driver's break check once it saw STOP or an end request during a move, and kept
// until the next scan installs the check again: the scan then ends without moving anything else.
static bool stageBreak;

namespace {
struct QuitHandback {
    ~QuitHandback() { hand_back_quit(); }
};

// An end request (a signal) has come: the measurement ends, and the program after the handler.
bool end_requested(void) {
    // A failed GPIB board ends the measurement as a signal does: nothing more can be measured, and
    // the event loop shuts the program down when the handler returns.
    if (!EndRequestReceived() && !K617_link_failed()) return false;
    quitTaken = true;
    return true;
}

// One look at the event queue during a measurement: returns 1 when STOP or an end request ends
// it. Every other event is dropped; a QUIT is remembered for when the handler returns.
int take_events(void) {
    if (end_requested()) return 1;
    ProcessSystemEvents();
    int panel = 0, control = 0;
    int event = GetUserEvent(0, &panel, &control);
    if (event != 0) {
        // Only an event actually taken counts.
        pID = panel;
        rID = control;
        if (control == STOP) return 1;
        if (event == EVENT_END_REQUEST) {
            quitTaken = true;
            return 1;
        }
        if (control == QUIT && !quitTaken) {
            quitTaken = true;
            std::string scan = journal_where();
            size_t comma = scan.find(',');
            if (comma != std::string::npos) scan.resize(comma);
            if (scan.empty()) scan = "scan";
            journal_note(NOTE_QUIT, "The program will quit when the %s ends; press STOP to end it now.",
                         scan.c_str());
            log_line("QUIT during the %s: the program will quit when it ends", scan.c_str());
        }
    }
    return end_requested() ? 1 : 0;
}

// The stage driver asks at every poll of a move's wait whether the move is to be broken off.
int stage_break_wanted(void) {
    if (!stageBreak && take_events() != 0) stageBreak = true;
    return stageBreak ? 1 : 0;
}


int bounded(int n) {
    if (n < 0) return 0;
    if (n > VRIM_POINTS) return VRIM_POINTS;
    return n;
}

void set_mono(int wavelength) {
    SetCtrlVal(p1h, MONO_BUSY, 1);
    watch_mono_wavelength(wavelength);
    SetCtrlVal(p1h, MONO_BUSY, 0);
}

// Parks the monochromator for a dark offset; the panel shows where it is parked.
void park_mono(int points) {
    journal_where_point(0, points, kDarkWavelength);
    set_mono(kDarkWavelength);
    SetCtrlVal(p1h, WL_CURRENT, kDarkWavelength);
}


void timer_enable(int on) { SetCtrlAttribute(p1h, POLL_TIMER, ATTR_ENABLED, on); }

// After a STOP has ended a scan: the electrometer back to single readings and the poll on again,
// so the Current field shows live readings and not the last one of the scan.
void after_stop(void) {
    K617_trigger_mode(0);
    timer_enable(1);
}

// Moves X, then Y, to the position and shows the positions read back. Axis 0 finishes its move
// before axis 1 starts; Z stays. The scan's where becomes position k of n. Returns 0, or 1 when a
// move was broken off (STOP or an end request): the axis that stopped is read back, and nothing
// else moves.
int move_xy(const ScanPosition &to, int k, int n) {
    const int target[2] = {to.x, to.y};  // microsteps
    journal_where_position(k, n, target[0], target[1]);
    SetCtrlVal(p1h, STAGE_BUSY, 1);
    int broken = 0;
    for (int a = 0; a < 2 && !broken; a++) {
        CurPos[a] = target[a];
        int code = watch_stage_move(a, CurPos[a]);
        broken = code == uSMC_ERR_BROKEN || stageBreak;
        watch_stage_read(a, &CurPos[a], !broken, target[a]);
        SetCtrlVal(p1h, PosCtrl[a], CurPos[a]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
    return broken;
}

// Moves to the position, parks the monochromator, waits DARK_WAIT and takes the dark offset of
// store row at.index (shown in offsetCtl), then measures the first n points of the reference
// table into that row. Returns the points measured; fewer than n when STOP or an end request ended
// a point's wait; -1 when the scan ended before the dark offset (a broken-off move: nothing parked
// then; or the dark wait). Leaves the electrometer in trigger mode 1 and the poll off.
int measure_spectrum(const ScanSettings &s, const ScanPosition &at, int k, int of, int n, int offsetCtl) {
    timer_enable(0);
    if (move_xy(at, k, of) != 0) return -1;
    K617_trigger_mode(1);
    park_mono(n);
    if (MDelay((double)s.darkWait * 60.0) == 1) return -1;

    const int row = at.index;
    tokoff[row] = getavg(ncurroff);
    SetCtrlVal(p1h, offsetCtl, (double)tokoff[row]);
    progress_step();

    for (int i = 0; i < n; i++) {
        if (end_requested()) return i;  // came during the last reading: no further move
        int icwl = wl[0][i];
        journal_where_point(i + 1, n, icwl);
        set_mono(icwl);
        SetCtrlVal(p1h, WL_CURRENT, icwl);
        if (MDelay(s.pointWait) == 1) return i;
        float rcurr = getavg(ncurrmes);
        SetCtrlVal(p1h, CURRENT, (double)rcurr);
        wl[row][i] = icwl;
        tok[row][i] = -(rcurr - tokoff[row]);
        progress_step();
    }
    return n;
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

StageBreakCheck::StageBreakCheck() {
    stageBreak = false;
    uSMC_SetBreakCheck(stage_break_wanted);
}
StageBreakCheck::~StageBreakCheck() { uSMC_SetBreakCheck(nullptr); }

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
    int bad = 0;         // readings that were not numbers
    double slowest = 0;  // program seconds of the slowest reading
    for (int i = 0; i < n; i++) {
        double t0 = Timer();
        double v = K617_get(nullptr, nullptr);  // amperes
        double took = Timer() - t0;
        if (took > slowest) slowest = took;
        if (v != v) bad++;
        sum = (float)(sum + v);
    }
    if (n <= 0) return 0.0f;
    char op[48];
    snprintf(op, sizeof op, "average of %d readings", n);
    watch_k617_average(op, bad, n);
    if (bad == 0) watch_k617_duration(op, slowest);
    return sum / (float)n;
}

ScanSettings scan_settings_read(void) {
    ScanSettings s;
    GetCtrlVal(p1h, DARK_WAIT, &s.darkWait);
    GetCtrlVal(p1h, POINT_WAIT, &s.pointWait);
    GetCtrlVal(p1h, NREF, &s.nrefPanel);
    GetCtrlVal(p1h, CURRENT_RANGE, &s.range);
    GetCtrlVal(p1h, GRATING, &s.grating);
    GetCtrlVal(p1h, VSOURCE_VALUE, &s.vsource);
    GetCtrlVal(p1h, VSOURCE_OPERATE, &s.operate);
    GetCtrlVal(p1h, POSITION_INDEX, &s.position);
    GetCtrlVal(p1h, WL_FIRST, &s.wlFirst);
    GetCtrlVal(p1h, WL_STEP, &s.wlStep);
    GetCtrlVal(p1h, WL_COUNT, &s.wlCount);
    s.wlCount = bounded(s.wlCount);  // row 1 holds at most the store's points
    s.tablePoints = held_ref_count();
    // Never more points than the reference table holds: a raised NREF would send the
    // monochromator to wavelengths that are not in the table.
    s.points = bounded(s.nrefPanel);
    if (s.points > s.tablePoints) s.points = s.tablePoints;
    return s;
}

void scan_settings_text(const ScanSettings &s, char *out, size_t size) {
    snprintf(out, size,
             "DARK_WAIT %g min, POINT_WAIT %g s, NREF %d (table %d points), CURRENT_RANGE %d, GRATING %d, "
             "voltage source %g V %s",
             (double)s.darkWait, (double)s.pointWait, s.nrefPanel, s.tablePoints, s.range, s.grating,
             (double)s.vsource, s.operate ? "operating" : "off");
}

int MDelay(double t) {
    // A request to end the program ends the measurement at its next wait, as STOP does, and the
    // program's shutdown follows when the handler returns. The queue is looked at before every
    // slice and once more at the end, so a STOP is seen between points however short the waits.
    for (;;) {
        if (take_events() != 0) return 1;
        if (!(t > 0)) break;
        double d = t > kSlice ? kSlice : t;  // seconds
        Delay(d);
        t -= d;
        if (t > 0) {
            SetCtrlVal(p1h, WAIT_LEFT, t);
            // Elapsed and left count on during a long wait, redrawn every few seconds: a redraw at
            // every slice would stretch the wait itself on a time-scaled run.
            if (++statusSlices % kStatusSlices == 0) journal_refresh();
        }
    }
    SetCtrlVal(p1h, WAIT_LEFT, 0.0);
    return 0;
}

int qescan(const ScanSettings &s, const ScanPosition &at, int of, int *measured) {
    if (measured) *measured = 0;
    int npos = at.index;
    // The store has rows 1 … 999 for samples; row 0 stays the reference.
    if (npos < 1 || npos >= VRIM_ROWS) return 1;

    int n = s.points;
    int held = held_ref_count();
    if (n > held) n = held;
    if (bounded(s.nrefPanel) > held)
        log_line("NREF %d is above the %d points of the reference table: %d points are measured",
                 bounded(s.nrefPanel), held, held);

    int done = measure_spectrum(s, at, npos, of, n, OFFSET_SAMPLE);
    if (done < n) {
        after_stop();
        return 1;
    }
    plot_row_curve(GRAPH_SAMPLE, &plh[npos], wl[npos], tok[npos], n, VAL_RED);
    for (int i = 0; i < n; i++) qe[npos][i] = qe_point(qe[0][i], tok[npos][i], tok[0][i]);
    plot_row_curve(GRAPH_QE, &plqeh[npos], wl[npos], qe[npos], n, VAL_BLUE);

    K617_trigger_mode(0);
    timer_enable(1);

    SetCtrlVal(p1h, STAGE_BUSY, 1);
    for (int a = 0; a < 2; a++) {
        watch_stage_read(a, &CurPos[a], false, 0);
        SetCtrlVal(p1h, PosCtrl[a], CurPos[a]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
    if (measured) *measured = n;
    return 0;
}

// A scan's reminder was up when an end request came: the handler ends before it changes
// anything.
static bool ended_at_reminder(const char *name) {
    if (!end_requested()) return false;
    log_line("%s not started: %s received", name, EndRequestName(EndRequestReceived()));
    return true;
}

bool scan_reminder(int kind, const char *name, const char *text) {
    ReminderPopup(kind, "Reminder", text);
    return !ended_at_reminder(name);
}

namespace {
void scan_started(const char *name, const ScanSettings &s, const char *extra) {
    journal_scan_begin(name);
    char settings[400];
    scan_settings_text(s, settings, sizeof settings);
    log_line("%s started: %s%s%s", name, settings, extra && *extra ? ", " : "", extra ? extra : "");
}

void scan_ended(const char *name, int how, const char *extra) {
    // A scan ended by a signal or by the electrometer's failed board was not stopped by the
    // operator: say what ended it.
    std::string why;
    if (how == JOURNAL_STOPPED && (EndRequestReceived() || K617_link_failed())) {
        why = EndRequestReceived() ? std::string(EndRequestName(EndRequestReceived())) + " received"
                                   : std::string("the electrometer's GPIB board failed");
        why += std::string(extra && *extra ? "; " : "") + (extra ? extra : "");
        how = JOURNAL_ENDED;
        extra = why.c_str();
    }
    std::string where = journal_where();  // "map scan, position …": the name is said first
    size_t comma = where.find(", ");
    where = comma == std::string::npos ? "its start" : where.substr(comma + 2);
    int faults = journal_scan_fault_count();
    journal_scan_end(how, how == JOURNAL_ENDED ? extra : nullptr);
    const char *sep = extra && *extra ? "; " : "";
    if (!extra) extra = "";
    if (how == JOURNAL_STOPPED)
        log_line("%s stopped by the operator (STOP) at %s; %d fault%s%s%s", name, where.c_str(), faults,
                 faults == 1 ? "" : "s", sep, extra);
    else if (how == JOURNAL_ENDED)
        log_line("%s ended early at %s; %d fault%s%s%s", name, where.c_str(), faults, faults == 1 ? "" : "s",
                 sep, extra);
    else
        log_line("%s finished; %d fault%s%s%s", name, faults, faults == 1 ? "" : "s", sep, extra);
}
}  // namespace

void scan_log_start(const char *name, const ScanSettings &s, const char *extra) { scan_started(name, s, extra); }
void scan_log_end(const char *name, int how, const char *extra) { scan_ended(name, how, extra); }

void do_reference_scan(void) {
    QuitHandback handback;
    if (!scan_reminder(REMINDER_REFERENCE_CABLE, "Reference scan",
                       "Switch the cable to measure the reference PMT current!"))
        return;
    ScanSettings s = scan_settings_read();
    int n = s.tablePoints;  // the count of the table held by the event loop, not NREF
    ScanPosition at;  // the reference detector: row 1 of POSITIONS, store row 0
    GetTableCellVal(p1h, POSITIONS, MakePoint(1, 1), &at.x);
    GetTableCellVal(p1h, POSITIONS, MakePoint(2, 1), &at.y);
    char extra[80];
    snprintf(extra, sizeof extra, "%d points", n);
    scan_started("Reference scan", s, extra);
    ProgressScanGuard progressEnd;
    StageBreakCheck breakCheck;
    progress_begin_spectrum(s, at, n);

    int done = measure_spectrum(s, at, 0, 0, n, OFFSET_REFERENCE);
    if (done < 0) {
        after_stop();
        scan_ended("Reference scan", JOURNAL_STOPPED, "reference current unchanged");
        return;
    }
    bool stopped = done < n;
    plot_row_curve(GRAPH_REFERENCE, &plh[0], wl[0], tok[0], n, VAL_RED);
    K617_trigger_mode(0);
    timer_enable(1);
    reference_scanned();
    // A reference current at or below the threshold gives every sample a QE of 0 there.
    int low = 0;
    for (int i = 0; i < done; i++)
        if (!((double)tok[0][i] > kMinRefCurrent)) low++;
    if (low > 0) {
        journal_note(NOTE_REFERENCE_LOW,
                     "The reference current is not above %g A at %d of %d points: the sample QE there will be 0.",
                     kMinRefCurrent, low, done);
        log_line("reference current not above %g A at %d of %d points", kMinRefCurrent, low, done);
    } else {
        journal_note(NOTE_REFERENCE_LOW, nullptr);
    }
    snprintf(extra, sizeof extra, "%d of %d points measured", done, n);
    scan_ended("Reference scan", stopped ? JOURNAL_STOPPED : JOURNAL_FINISHED, extra);
}

void do_sample_scan(void) {
    QuitHandback handback;
    std::string refWhy;
    if (!reference_current_matches(&refWhy)) {  // said on the status line too
        log_line("Sample scan refused: %s", refWhy.c_str());
        return;
    }
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    char why[200];
    if (position_refusal(npos, why, sizeof why)) {
        MessagePopup("Sample scan", why);
        return;
    }
    if (!scan_reminder(REMINDER_SAMPLE_CABLE, "Sample scan", "Switch the cable to measure the sample detector current!"))
        return;
    grey_curves();
    ScanSettings s = scan_settings_read();
    ScanPosition at;
    at.index = npos;
    GetTableCellVal(p1h, POSITIONS, MakePoint(1, npos + 1), &at.x);
    GetTableCellVal(p1h, POSITIONS, MakePoint(2, npos + 1), &at.y);
    char extra[80];
    snprintf(extra, sizeof extra, "position %d", npos);
    scan_started("Sample scan", s, extra);
    ProgressScanGuard progressEnd;
    StageBreakCheck breakCheck;
    progress_begin_spectrum(s, at, s.points);
    int r = qescan(s, at, 0, nullptr);
    scan_ended("Sample scan", r != 0 ? JOURNAL_STOPPED : JOURNAL_FINISHED, nullptr);
}

void do_current_scan(void) {
    QuitHandback handback;
    timer_enable(0);
    ScanSettings s = scan_settings_read();
    char extra[120];
    snprintf(extra, sizeof extra, "WL_FIRST %d, WL_STEP %d, WL_COUNT %d", s.wlFirst, s.wlStep, s.wlCount);
    scan_started("Quick current scan", s, extra);
    ProgressScanGuard progressEnd;
    progress_begin_quick(s);
    K617_trigger_mode(1);
    // A STOP ends only the wait in progress; an end request ends the scan: no further move or
    // reading.
    bool ended = MDelay(kQuickSettle) == 1 && end_requested();
    if (!ended) progress_step();
    int done = 0;  // points measured
    for (int i = 0; i < s.wlCount && !ended; i++) {
        if (end_requested()) {
            ended = true;
            break;
        }
        int icwl = (int)(uint32_t)((int64_t)s.wlFirst + (int64_t)i * s.wlStep);
        journal_where_point(i + 1, s.wlCount, icwl);
        set_mono(icwl);
        SetCtrlVal(p1h, WL_CURRENT, icwl);
        if (MDelay(s.pointWait) == 1 && end_requested()) {
            ended = true;
            break;
        }
        double rcurr = watch_k617_get("reading");
        SetCtrlVal(p1h, CURRENT, rcurr);
        wl[1][i] = icwl;
        tok[1][i] = (float)-rcurr;
        done++;
        progress_step();
    }
    plot_row_curve(GRAPH_SAMPLE, &plh[1], wl[1], tok[1], done, VAL_RED);
    K617_trigger_mode(0);
    timer_enable(1);
    scan_ended("Quick current scan", ended ? JOURNAL_STOPPED : JOURNAL_FINISHED, nullptr);
}
