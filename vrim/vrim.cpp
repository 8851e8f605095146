// The application's life: start-up of stages, monochromator, panel and electrometer in a fixed
// order, the event loop that runs one handler at a time, the poll, and the ordered shutdown.
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "instr/uSMC/uSMC.h"
#include "platform/core/rs232.h"
#include "platform/panel/signals.h"
#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "vrim/observe/watch.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

int p1h;     // panel handle
int pID;     // panel of the last event taken
int rID;     // control of the last event taken
int node[3]; // controller of axes X, Y, Z: device index + 1, 0 = not found
int CurPos[3];  // microsteps
const int PosCtrl[3] = {POS_X, POS_Y, POS_Z};
const char serials[3][16] = {
    {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '4', '9', '2', '5'},
    {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '6', '0', '3', '0'},
    {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '2', '8', '9', '4'},
};

static const int kStageType = 1;
static const int kMonoPort = 4;
static const int kK617Port = 5, kK617Primary = 3, kK617Secondary = 0, kK617Timeout = 13;

// The electrometer's link: the GPIB-USB adapter (1), unless env VRIM_K617_LINK names another
// number, which takes a GPIB board (the port number then being the board's index).
static int k617_link(void) {
    const char *v = getenv("VRIM_K617_LINK");
    if (!v || !*v) return 1;
    char *end = nullptr;
    long link = strtol(v, &end, 10);
    return (end != v && *end == '\0' && link >= 0 && link <= 100) ? (int)link : 1;
}

// True once the electrometer's GPIB board failed: its driver printed the GPIB report and took
// the device offline, and the program can measure no more. Said once in the log as the reason
// for the shutdown that follows.
static bool electrometer_lost(void) {
    if (!K617_link_failed()) return false;
    fprintf(stderr, "vrim: the electrometer's GPIB board failed; shutting down\n");
    log_line("shutdown: the electrometer's GPIB board failed (the GPIB report is on the console); the program "
             "shuts down and ends with status 1");
    return true;
}

int cb_timer(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    // One poll waiting at a time: a poll slower than the interval must not fill the queue.
    if (!UserEventPending(p1h, POLL_TIMER)) QueueUserEvent(9000, p1h, POLL_TIMER);
    return 0;
}

int mcp_positions(void) {
    FILE *f = fopen("mcp_positions.txt", "w");
    if (!f) return -1;
    int r = positions_write_grid(f);
    if (fclose(f) != 0) r = -1;
    return r;
}

// Writes store row `row` as lines "wl tok qe" over the reference table's points, for the
// scripted operator.
static int dump_row(int row, const char *path) {
    if (row < 0 || row >= VRIM_ROWS) return -1;
    FILE *f = fopen(path, "w");
    if (!f) return -1;
    int n = nref < 0 ? 0 : (nref > VRIM_POINTS ? VRIM_POINTS : nref);
    for (int i = 0; i < n; i++) fprintf(f, "%d %g %g\n", wl[row][i], (double)tok[row][i], (double)qe[row][i]);
    return fclose(f) == 0 ? 0 : -1;
}

static void poll(void) {
    double rcurr = watch_k617_get("poll reading");  // amperes
    SetCtrlVal(p1h, CURRENT, rcurr);
    watch_k617_status();
    SetCtrlVal(p1h, VSOURCE_OPERATE, K617Stat.vsource_operate);
}

// A typed value outside a field's limits was refused by the panel: the operator hears why.
static void input_refused(int panel, int control, const char *message) {
    journal_note(NOTE_INPUT, "%s", message ? message : "A value outside the field's limits was refused.");
    log_line("input refused: %s", message ? message : "");
}

static void attach_input_observer(void) { SetInputRefusedObserver(input_refused); }

static void dispatch(int control) {
    // A refused value is news until the operator's next action.
    if (control != POLL_TIMER) journal_note(NOTE_INPUT, nullptr);
    switch (control) {
    case CURRENT_SCAN:
        do_current_scan();
        break;
    case LOAD_DATA:
        do_load_data();
        break;
    case LOAD_REFQE:
        do_load_refqe();
        break;
    case SAVE_TEXT:
        do_save_text();
        break;
    case SAVE_POSITIONS:
        do_save_positions();
        break;
    case LOAD_POSITIONS:
        do_load_positions();
        break;
    case MAP_SCAN:
        do_map_scan();
        break;
    case RESUME_MAP:
        do_resume_map();
        break;
    case SAMPLE_SCAN:
        do_sample_scan();
        break;
    case REFERENCE_SCAN:
        do_reference_scan();
        break;
    case OPEN_MAP:
        do_open_map();
        break;
    case MAP_SAVE_PNG:
        do_save_map_png();
        break;
    case POLL_TIMER:
        poll();
        break;
    default:
        // Manual commands; every other control (QUIT, STOP, lamps, indicators) has no handler.
        do_manual(control);
        break;
    }
}

static void stages_off(void) {
    for (int i = 0; i < 3; i++) watch_stage_code(i, "power off", uSMC_PowerOff(node[i]));
    uSMC_Close();
}

// The ordered shutdown: panel, electrometer back to trigger mode 0 (a failed link refuses it
// harmlessly), monochromator, stage power and library.
static void shut_down(void) {
    journal_attach_panel(-1);
    DiscardPanel(p1h);
    K617_trigger_mode(0);
    K617_close();
    SP2155_Close();
    stages_off();
}

static void serial_text(int i, char *out, size_t size) {
    snprintf(out, size, "%.16s", serials[i]);
}

int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow) {
    if (InitCVIRTEEx(hInstance, nullptr, nullptr) == 0) return -1;
    // SIGTERM, SIGINT and SIGHUP (the console's Ctrl+C and close on Windows) end the program through
    // its event queue, with the shutdown below.
    InstallEndRequestHandlers();

    log_line("start-up: vrim %s in the working directory", journal_version());
    if (mcp_positions() == 0)
        log_line("wrote mcp_positions.txt: 122 positions (the default grid)");
    else
        journal_fault("file", "write mcp_positions.txt", "%s", strerror(errno));
    store_clear();

    int code = uSMC_Open();
    if (code != 0) {
        char words[160];
        journal_fault("stages", "open the stage library", "%s", stage_code_text(code, words, sizeof words));
    }
    log_line("stages: %d controllers found", uSMC_DeviceCount());
    for (int i = 0; i < 3; i++) {
        node[i] = uSMC_FindSerial((char *)serials[i]) + 1;
        char serial[20];
        serial_text(i, serial, sizeof serial);
        if (node[i] == 0)
            journal_fault(stage_name(i), "find its controller", "serial number %s is not among the %d controllers found",
                          serial, uSMC_DeviceCount());
        else
            log_line("%s: controller %s found (node %d)", stage_name(i), serial, node[i]);
        watch_stage_code(i, "set up and power on", uSMC_Init(node[i], kStageType));
    }
    journal_note(NOTE_NOT_HOMED, "The stages have not been homed since start.");

    SP2155_Open(kMonoPort);
    watch_mono_open(kMonoPort);
    log_line("monochromator: serial port %d (%s)", kMonoPort, rs232_device_name(kMonoPort));

    RegisterCallback("cb_timer", cb_timer);
    SetRowDumper(dump_row);
    p1h = LoadPanel(0, "vrim_ui.uir", PANEL);
    if (p1h < 0) {
        // Without a panel nothing can be operated: close what is open and take the motor power off.
        fprintf(stderr, "vrim: cannot load panel %d of vrim_ui.uir (code %d)\n", PANEL, p1h);
        SP2155_Close();
        stages_off();
        return -1;
    }
    DisplayPanel(p1h);
    journal_attach_panel(p1h);
    attach_input_observer();

    const int link = k617_link();
    K617_open(link, kK617Port, kK617Primary, kK617Secondary, kK617Timeout);
    if (link == 1) {
        watch_k617_open(kK617Port);
        log_line("electrometer: GPIB address %d through the GPIB-USB adapter on serial port %d (%s)", kK617Primary,
                 kK617Port, rs232_device_name(kK617Port));
    } else {
        log_line("electrometer: GPIB address %d on GPIB board %d", kK617Primary, kK617Port);
    }
    K617_clear();
    int irange = 0;
    GetCtrlVal(p1h, CURRENT_RANGE, &irange);
    K617_current_mode(irange);
    K617_zero_correct(1);
    K617_data_format(0);
    K617_trigger_mode(1);
    if (electrometer_lost()) {
        shut_down();
        log_line("shutdown done: %d faults in this session", journal_fault_count());
        return 1;
    }

    SetCtrlVal(p1h, GRATING, watch_mono_get_grating());
    SetCtrlVal(p1h, WL_CURRENT, watch_mono_get_wavelength());

    // Answered first by the loop, as if the operator had used these controls.
    QueueUserEvent(1000, p1h, VSOURCE_VALUE);
    QueueUserEvent(1000, p1h, VSOURCE_OPERATE);
    QueueUserEvent(1000, p1h, POLL_TIMER);
    QueueUserEvent(1000, p1h, WL_FIRST);
    QueueUserEvent(1000, p1h, POSITION_INDEX);

    if (read_refqe("refqe.txt") < 0) {
        // No table: go on with an empty one rather than a count the panel file happens to hold.
        fprintf(stderr, "vrim: cannot open refqe.txt; the reference table is empty\n");
        nref = 0;
        SetCtrlVal(p1h, NREF, 0);
    }

    SetCtrlVal(p1h, STAGE_BUSY, 1);
    for (int i = 0; i < 3; i++) {
        watch_stage_read(i, &CurPos[i], false, 0);
        SetCtrlVal(p1h, PosCtrl[i], CurPos[i]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
    log_line("start-up done: X %d, Y %d, Z %d; %d faults", CurPos[0], CurPos[1], CurPos[2], journal_fault_count());

    bool lost = false;
    do {
        GetUserEvent(1, &pID, &rID);
        dispatch(rID);
        // The poll, a scan's readings or a manual command may have met the failed board.
        lost = electrometer_lost();
    } while (rID != QUIT && !lost);

    int endReq = EndRequestReceived();
    if (lost) {
        // The reason is in the log already.
    } else if (endReq) {
        fprintf(stderr, "vrim: %s received; shutting down\n", EndRequestName(endReq));
        log_line("shutdown: %s received; the program shuts down as after QUIT", EndRequestName(endReq));
    } else {
        log_line("shutdown: QUIT");
    }
    shut_down();
    if (EndRequestCount() > 1)
        log_line("%d further end requests came before the shutdown ended; none interrupted it", EndRequestCount() - 1);
    log_line("shutdown done: %d faults in this session", journal_fault_count());
    if (lost) return 1;
    // Ended by a signal: the shell's convention, 128 + the signal's number.
    return endReq ? 128 + (endReq < 100 ? endReq : ENDREQ_INT) : 0;
}
