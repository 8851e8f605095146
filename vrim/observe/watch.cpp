// Watched instrument calls (see watch.h).
#include "vrim/observe/watch.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "platform/core/rs232.h"
#include "vrim/observe/journal.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/store.h"

const int kPositionTolerance = 0;  // microsteps
const double kReadingLate = 1.5;   // program seconds

namespace {

const double kMoveReplySeconds = 10.0;     // monochromator reply bound of a wavelength move
const double kGratingReplySeconds = 30.0;  // and of a grating change
const double kStandingReplySeconds = 1.0;  // and of a query

// The reply bytes as printable text, control characters as \r, \n or \xNN.
void printable(const char *in, char *out, int size) {
    int k = 0;
    for (const unsigned char *p = (const unsigned char *)in; *p && k < size - 5; p++) {
        if (*p == '\r') {
            out[k++] = '\\';
            out[k++] = 'r';
        } else if (*p == '\n') {
            out[k++] = '\\';
            out[k++] = 'n';
        } else if (*p < 32 || *p >= 127) {
            k += snprintf(out + k, (size_t)(size - k), "\\x%02X", *p);
        } else {
            out[k++] = (char)*p;
        }
    }
    out[k] = 0;
}

// What the monochromator's last exchange gave back, when it was not a good reply.
void mono_problem(double replySeconds, char *out, int size) {
    switch (SP2155_LinkStatus()) {
    case LINK_NOT_OPEN:
        snprintf(out, (size_t)size, "serial port %d (%s) is not open", SP2155_Port,
                 rs232_device_name(SP2155_Port));
        return;
    case LINK_ANSWERED:
        if (SP2155_Receive[0]) {
            char raw[SP2155_BUFSIZE * 4 + 8];
            printable(SP2155_Receive, raw, sizeof raw);
            snprintf(out, (size_t)size, "answered \"%s\" instead of ok", raw);
            return;
        }
        break;  // an empty line carries no answer
    case LINK_PORT_FAILED:
        snprintf(out, (size_t)size, "the serial port %d (%s) failed (input/output error): unplugged?", SP2155_Port,
                 rs232_device_name(SP2155_Port));
        return;
    case LINK_NO_REPLY:
        snprintf(out, (size_t)size, "reading the answer failed (serial code %d)", SP2155_nin());
        return;
    case LINK_TIMED_OUT:
    case LINK_IDLE:
        break;
    }
    snprintf(out, (size_t)size, "no whole answer within %g s", replySeconds);
}

void mono_check(const char *operation, double replySeconds) {
    if (SP2155_LastResult() >= 0) return;
    char what[500];
    mono_problem(replySeconds, what, sizeof what);
    journal_fault("monochromator", operation, "%s", what);
}

// After an open: a fault when the driver found the port not open. The code is the serial layer's
// for the port as it stands.
void port_check(const char *instrument, const char *what, int port, LinkStatus status) {
    if (status != LINK_NOT_OPEN) return;
    int q = GetInQLen(port);
    char op[200];
    snprintf(op, sizeof op, "open %s on serial port %d (%s)", what, port, rs232_device_name(port));
    journal_fault(instrument, op, "the port could not be opened (code %d); every command to it will fail", q);
}

}  // namespace

const char *stage_name(int axis) {
    static const char *names[3] = {"stage X", "stage Y", "stage Z"};
    return (axis >= 0 && axis < 3) ? names[axis] : "stage";
}

const char *stage_code_text(int code, char *buf, int size) {
    switch (code) {
    case 0:
        snprintf(buf, (size_t)size, "done");
        break;
    case uSMC_ERR_NODE:
        snprintf(buf, (size_t)size, "no controller for this axis (not found at start-up)");
        break;
    case uSMC_ERR_TIMEOUT:
        snprintf(buf, (size_t)size, "did not end within its time bound");
        break;
    case uSMC_ERR_RANGE:
        snprintf(buf, (size_t)size, "destination outside the position range");
        break;
    case uSMC_ERR_BROKEN:
        snprintf(buf, (size_t)size, "broken off on request (the motor was stopped)");
        break;
    case (int)USMC_ERR_NOT_OPEN:
        snprintf(buf, (size_t)size, "the stage library is not open (code 0x%08X)", (unsigned)code);
        break;
    case (int)USMC_ERR_DEVICE:
        snprintf(buf, (size_t)size, "the library knows no such device (code 0x%08X)", (unsigned)code);
        break;
    case (int)USMC_ERR_POWER:
        snprintf(buf, (size_t)size, "the motor power is off (code 0x%08X)", (unsigned)code);
        break;
    case (int)USMC_ERR_LIBRARY:
        snprintf(buf, (size_t)size, "the stage library could not be loaded (code 0x%08X)", (unsigned)code);
        break;
    default:
        snprintf(buf, (size_t)size, "the stage library failed (code 0x%08X)", (unsigned)code);
        break;
    }
    return buf;
}

void watch_mono_wavelength(int wl) {
    SP2155_SetWavelength(wl);
    char op[64];
    snprintf(op, sizeof op, "go to %d.%d nm", wl / 10, (wl < 0 ? -wl : wl) % 10);
    mono_check(op, kMoveReplySeconds);
}

void watch_mono_grating(int g) {
    SP2155_SetGrating(g);
    char op[64];
    snprintf(op, sizeof op, "change to grating %d", g);
    if (g != 1 && g != 2) {
        journal_fault("monochromator", op, "not sent: the monochromator has gratings 1 and 2");
        return;
    }
    mono_check(op, kGratingReplySeconds);
}

int watch_mono_get_wavelength(void) {
    int v = SP2155_GetWavelength();
    if (SP2155_LastResult() < 0)
        mono_check("read the wavelength", kStandingReplySeconds);
    else if (float nm = 0; !sp2155_parse_nm(SP2155_Receive, &nm))
        journal_fault("monochromator", "read the wavelength", "the answer holds no number");
    return v;
}

int watch_mono_get_grating(void) {
    int v = SP2155_GetGrating();
    if (SP2155_LastResult() < 0)
        mono_check("read the grating", kStandingReplySeconds);
    else if (int g = 0; !sp2155_parse_int(SP2155_Receive, &g))
        journal_fault("monochromator", "read the grating", "the answer holds no grating number");
    return v;
}

void watch_mono_open(int port) { port_check("monochromator", "the monochromator", port, SP2155_LinkStatus()); }

void watch_k617_open(int port) { port_check("electrometer", "the GPIB-USB adapter", port, K617_LinkStatus()); }

double watch_k617_get(const char *operation) {
    double t0 = Timer();
    double v = K617_get(nullptr, nullptr);
    double took = Timer() - t0;  // program seconds
    if (std::isnan(v))
        journal_fault("electrometer", operation, "the reading is not a number (no answer, or an answer without one)");
    else
        watch_k617_duration(operation, took);
    return v;
}

void watch_k617_duration(const char *operation, double slowestSeconds) {
    // Judged as the time-outs are: a busy machine's stalls in a run scaled far below real time are
    // no late answer of the instrument.
    if (slowestSeconds > clock_timeout_span(kReadingLate))
        journal_fault("electrometer", operation, "answers came late: over %.1f s for one reading (normally about 0.2 s)",
                      kReadingLate);
}

void watch_k617_average(const char *operation, int bad, int n) {
    if (bad <= 0) return;
    journal_fault("electrometer", operation, "%d of %d readings not a number (no answer, or an answer without one)",
                  bad, n);
}

void watch_k617_status(void) {
    const int kFields = 14;  // thirteen numbers and the terminator pair
    int set = K617_status();
    if (set == 0)
        journal_fault("electrometer", "read the status word", "no status word (no answer, or one not starting with 617)");
    else if (set < kFields)
        journal_fault("electrometer", "read the status word", "the status word was cut short (%d of %d fields)", set,
                      kFields);
}

int watch_stage_code(int axis, const char *operation, int code) {
    // A move broken off is the operator's wish (STOP, QUIT, an end request), not a fault.
    if (code == 0 || code == uSMC_ERR_BROKEN) return code;
    char words[160];
    stage_code_text(code, words, sizeof words);
    journal_fault(stage_name(axis), operation, "%s", words);
    return code;
}

int watch_stage_move(int axis, int target) {
    int code = uSMC_MoveTo(node[axis], target);
    char op[64];
    snprintf(op, sizeof op, "move to %d", target);
    return watch_stage_code(axis, op, code);
}

int watch_stage_read(int axis, int *pos, bool checkTarget, int target) {
    int code = uSMC_GetPosition(node[axis], pos);
    if (code != 0) {
        char words[160];
        stage_code_text(code, words, sizeof words);
        journal_fault(stage_name(axis), "read the position", "%s; the position shown is not a read-back", words);
        return code;
    }
    if (checkTarget) {
        long long d = (long long)*pos - (long long)target;
        if (d < 0) d = -d;
        if (d > kPositionTolerance) {
            char op[64];
            snprintf(op, sizeof op, "move to %d", target);
            journal_fault(stage_name(axis), op, "stopped at %d, %lld microsteps from the target", *pos, d);
        }
    }
    return code;
}
