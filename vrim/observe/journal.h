// The session journal: the session log (vrim.log), the faults the application finds in what its
// instruments and files gave back, and the status line that says what is running, where it is
// and what went wrong last. Everything runs on the program's one thread; nothing here talks to an
// instrument, and nothing here stops or changes a running scan.
//
// Typical use by a scan:
//   journal_scan_begin("Map scan");
//   journal_where_position(k, n, x, y);       // before moving to position k of n
//   journal_where_point(i, npts, wl);         // before going to point i of npts
//   journal_fault("monochromator", "go to 632.0 nm", "no answer within 10 s");
//   journal_scan_end(JOURNAL_FINISHED);
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "platform/core/printf_check.h"

// ---- Session log ----

// Appends one line "YYYY-MM-DD HH:MM:SS <text>" (local calendar time, never time-scaled) to the
// session log: vrim.log in the working directory unless journal_set_log_path chose another file.
// The text is formatted as printf does and cut at 1000 bytes; line breaks in it become blanks.
// The file is opened, appended to and closed for each line, so a line is on disk when this
// returns. A log that cannot be opened or written loses the line and says so once on standard
// error; the program goes on.
void log_line(const char *fmt, ...) VRIM_PRINTF(1, 2);
// Chooses the log file (tests); null or "" goes back to "vrim.log".
void journal_set_log_path(const char *path);
// "YYYY-MM-DD HH:MM:SS" of calendar time t into out (at least 20 bytes).
void journal_stamp(long long t, char *out, size_t size);
// The program version ("1.1.0").
const char *journal_version(void);

// ---- Where the program is ----

// A scan begins. name is what the operator calls it ("Reference scan", "Sample scan", "Map scan",
// "Quick current scan"). Clears position and point, counts this scan's faults from 0, and shows
// "<name>: starting" on the status line.
void journal_scan_begin(const char *name);
// The scan works at position k of n with the requested X and Y (microsteps). k = 0 names the
// reference detector; n = 0 names a single position ("position 3").
void journal_where_position(int k, int n, int x, int y);
// The scan works at point i (from 1) of n at wavelength wl (tenths of a nanometre). i = 0 names
// the dark offset at wl.
void journal_where_point(int i, int n, int wl);
// How a scan ended.
enum JournalEnd {
    JOURNAL_FINISHED = 0,  // every position and point measured
    JOURNAL_STOPPED = 1,   // the operator pressed STOP
    JOURNAL_ENDED = 2,     // ended early for another reason, given by journal_scan_end's detail
};
// The scan ended: the status line says "<name> finished at HH:MM:SS, N faults" or "<name> stopped
// by the operator at HH:MM:SS (<where>), N faults" until the next scan begins. detail, when not
// null or empty, is added in brackets ("the map file could not be written").
void journal_scan_end(int how, const char *detail = nullptr);
// True between journal_scan_begin and journal_scan_end.
bool journal_scan_running(void);
// Where the running scan is, as written in fault texts: "map scan, position 2 of 3 (X 190000,
// Y 160000), point 12 of 61 at 632.0 nm"; "" outside a scan.
std::string journal_where(void);

// ---- Faults ----

// Reports one fault: which instrument ("monochromator", "electrometer", "stage X", "file", ...),
// which operation ("go to 632.0 nm"), and what came back (printf format). The fault text is
// "<instrument>: <operation>: <what came back> (<where>)"; it is logged as "FAULT <text>" (and
// written to standard error as "vrim: FAULT <text>"),
// counted (session, running scan, current block) and shown in red on the status line with the
// session's count. A fault identical to one logged since the last other log line (same text,
// where included) is counted but not logged again; the next other line is preceded by
// "FAULT repeated N more times: <text>" for each such fault.
// Returns the session's fault count.
int journal_fault(const char *instrument, const char *operation, const char *fmt, ...)
    VRIM_PRINTF(3, 4);
// Faults since start-up, and since the running (or last) scan began.
int journal_fault_count(void);
int journal_scan_fault_count(void);
// The faults reported since the previous call (or since start-up): their texts are appended to
// *texts (when not null) and their number returned. The map scan takes them once per block.
int journal_take_faults(std::vector<std::string> *texts);

// ---- Status notes ----

// Standing notes shown after the running text until cleared; each says something the operator
// should know about the state of the station or of the data.
enum JournalNote {
    NOTE_NOT_HOMED = 0,  // the stages have not been homed since start
    NOTE_POSITIONS,      // a positions file filled fewer rows than the table holds
    NOTE_REFERENCE,      // a reference table stopped before the end of its file
    NOTE_REFERENCE_LOW,  // the reference current is too small for a QE at some points
    NOTE_QUIT,           // QUIT (or closing the window) waits for the running scan to end
    NOTE_INPUT,          // a typed value was refused
    NOTE_REFERENCE_CURRENT,  // the reference current was measured at other wavelengths than the table's
    JOURNAL_NOTES
};
// Sets a note (printf format); null clears it.
void journal_note(int which, const char *fmt, ...) VRIM_PRINTF(2, 3);
// A text shown after the where of a running scan ("elapsed 0:12:03, left 1:40:00"); "" clears.
void journal_set_progress(const char *text);

// ---- Status line ----

// The status line's text and its red alert (the latest fault with the count, or ""), composed
// from the state above.
void journal_status(std::string *text, std::string *alert);
// Where the status line shows: from now on every change above calls show(text, alert) with the
// composed text and alert ("" when none), and this call shows it once at once. The application
// gives it (its panel's status indicator); null stops showing the status line.
typedef void (*JournalStatusSink)(const char *text, const char *alert);
void journal_set_status_sink(JournalStatusSink show);
// Redraws the status line now.
void journal_refresh(void);
// Forgets every scan, fault, note and progress text (tests); the log file and the status sink
// are kept.
void journal_reset(void);
