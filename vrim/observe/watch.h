// Watched instrument calls: each makes exactly the driver call it is named after, with the same
// arguments, and then looks at what came back. Whatever came back that is not what the
// application relies on is reported once as a fault (vrim/observe/journal.h), in plain words: which
// instrument, which operation, what came back. None of them retries, waits, or changes what the
// caller does next; the values the caller gets are the driver's own.
#pragma once

// Largest difference between a stage's target and the position read back after the move that is
// not a fault, in microsteps.
extern const int kPositionTolerance;

// "stage X", "stage Y", "stage Z" for axes 0, 1, 2.
const char *stage_name(int axis);

// ---- Monochromator ----

// SP2155_SetWavelength(wl); a fault when the exchange failed (no answer within the move's 10 s,
// an answer other than ok, or a port that is not open).
void watch_mono_wavelength(int wl);
// SP2155_SetGrating(g); a fault as above (30 s), or when g is a grating the driver does not send.
void watch_mono_grating(int g);
// SP2155_GetWavelength() / SP2155_GetGrating(); a fault when the exchange failed or held no
// number. Returns the driver's value (0 then).
int watch_mono_get_wavelength(void);
int watch_mono_get_grating(void);
// After SP2155_Open(port): a fault when the port did not open.
void watch_mono_open(int port);

// ---- Electrometer ----

// After K617_open on the GPIB-USB adapter's serial port: a fault when the port did not open.
void watch_k617_open(int port);
// K617_get(null, null); a fault naming `operation` when the reading is not a number. Returns the
// driver's value (NaN then).
double watch_k617_get(const char *operation);
// A value read through an electrometer average: `bad` of `n` readings were not numbers.
void watch_k617_average(const char *operation, int bad, int n);
// Longest time one reading may take before its answer counts as late, program seconds. A reading
// takes about 0.2 s on the adapter link; a late answer means a struggling instrument or link
// even when it still comes inside the read time-out.
extern const double kReadingLate;
// A fault when the slowest reading of an operation took longer than kReadingLate (the text names
// the bound, not the time, so that the same late instrument is the same fault).
void watch_k617_duration(const char *operation, double slowestSeconds);
// K617_status(); a fault when no status word came or it was cut short (the driver's count of the
// fields the reply set). The fields a failed reply did not set keep their earlier values, as the
// driver keeps them.
void watch_k617_status(void);

// ---- Stages ----

// uSMC_MoveTo(node[axis], target); a fault when the driver returned non-zero (no controller, a
// library failure, or the move's time bound), but not for uSMC_ERR_BROKEN: a move broken off by
// the break check is what the operator asked for. Returns the driver's code, so that a caller
// seeing uSMC_ERR_BROKEN stops what it was doing.
int watch_stage_move(int axis, int target);
// uSMC_GetPosition(node[axis], pos); a fault when the driver returned non-zero (*pos keeps what it
// held, which is then not a read-back), or, when checkTarget, when the position read differs
// from target by more than kPositionTolerance. Returns the driver's code.
int watch_stage_read(int axis, int *pos, bool checkTarget, int target);
// A stage operation's result: a fault "stage <axis>: <operation>: <code in words>" when non-zero
// and not uSMC_ERR_BROKEN (homing broken off is not a fault either). Returns code.
int watch_stage_code(int axis, const char *operation, int code);

// The words for a stage driver's code ("no controller for this axis (not found at start-up)").
const char *stage_code_text(int code, char *buf, int size);
