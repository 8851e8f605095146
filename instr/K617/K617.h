// Electrometer driver: the 617 electrometer's command language, status word and readings, and the
// link that carries them, either through the GPIB-USB controller (link 1, instr/PROLOGIX) or
// through a GPIB board (any other link number, platform/core/gpib.h).
//
// Every command string ends with X, on which the instrument executes what precedes it. Timing
// rests on fixed pauses: 0.1 s after open and after every command, 2 s after a device clear,
// 1 s after a range change, 2 s with zero check on during a zero correction. On the controller
// link every line also costs the controller driver's 0.05 s pause.
//
// Failures: on the controller link nothing is reported; a failed or timed-out read counts as an
// empty reply (a reading is then NaN, the status record keeps its values). On the board link any
// call that leaves ERR set prints the GPIB report (GpibError) on standard output, takes the
// device offline and fails; the link then stays down until the next K617_open: every later call
// fails at once, sends nothing, prints nothing and skips its pause. The driver never ends the
// program: the application asks K617_link_failed() and runs its own shutdown.
//
// K617_LinkStatus() tells how the last exchange went (platform/core/linkstatus.h).
#pragma once
#include "platform/core/linkstatus.h"

// The electrometer's status word ("U0X" reply), fields in reply order.
struct K617STATUS {
    int function;         // measuring function (1 digit)
    int range;            // range (2 digits)
    int zero_check;       // zero check on/off
    int zero_correct;     // zero correct on/off
    int suppress;         // suppression
    int trigger;          // trigger mode
    int vsource_operate;  // voltage source output: 1 on, 0 off
    int read_mode;        // reading mode
    int data_prefix;      // data format (prefix)
    int display;          // display
    int data_store;       // data store
    int srq;              // service request setting (2 digits)
    int eoi;              // EOI setting
    char terminator[2];   // terminator setting, the two characters as received, no NUL
};

// The last status word read by K617_status; all zero until then.
extern K617STATUS K617Stat;

enum { K617_BufSize = 100, K617_StatusLimit = 90, K617_ReadingLimit = 50 };

// ---- Link ----

// link 1: controller on serial port `port`, addressed to `primary_addr` (secondary address and
// time-out code unused); sends "++addr P", "++auto 0", "++eoi 1", "++eot_enable 0",
// "++read_tmo_ms 1000". Other links: ibdev(port, primary_addr, secondary_addr, timeout, 1, 0).
// Then waits 0.1 s. Starts the link afresh (K617_link_failed() false again). Returns 0; -1 when
// the board's ibdev failed (report printed, no pause) or, on the controller link, the last line
// could not be written (the pause is kept: nothing is tested there).
int K617_open(int interface, int port, int primary_addr, int secondary_addr, int timeout);
// Device clear ("++clr" or ibclr), then 2 s. 0, or -1 as K617_send.
int K617_clear(void);
// Sends cmd (controller link: up to its NUL, len unused; board: len bytes), then 0.1 s.
// A command too long for the controller's line buffer is not sent. Returns 0; -1 when the line
// was not written whole (controller link; the pause still runs), or the board call failed or the
// board link is down (no pause then).
int K617_send(const char *cmd, int len);
// Reads one reply into response (room for maxbyt + 1 characters), NUL-terminated. Controller link:
// sends "++read eoi" and returns PROLOGIX_Receive's result (the line feed dropped; negative when
// the read failed, response then empty). Board: returns the bytes read, line feed kept; -1 with
// response empty when the read failed or the link is down.
int K617_receive(char *response, int maxbyt);
// Closes the controller's port (0), or takes the board device offline (0; -1 when that failed or
// the link was down already).
int K617_close(void);
// Prints the GPIB report for msg with the board layer's status to standard output and takes the
// device offline; the board link is down from then on (K617_link_failed() true). Returns to its
// caller.
void GpibError(const char *msg);
// True when a board call failed since the last K617_open (the report was printed): the
// electrometer cannot be reached any more. Always false on the controller link.
bool K617_link_failed(void);
// How the last exchange went: on the controller link the controller's status after the last line
// written or read (PROLOGIX_LinkStatus); on the board link LINK_ANSWERED after a read,
// LINK_IDLE after a write, clear or open, LINK_PORT_FAILED after a failed call and
// LINK_NOT_OPEN for calls refused while the link is down or closed.
LinkStatus K617_LinkStatus(void);

// ---- Commands ----

// Sends "U0X", reads the status word (limit 90) and scans it into K617Stat. A reply that does not
// start with "617" changes nothing; one cut short updates the fields before the cut only.
// Returns the number of fields the reply set, as K617_parse_status: 14 for a whole status word
// (thirteen numbers and the terminator pair), fewer for one cut short, 0 when no status word came
// (a failed or timed-out read included).
int K617_status(void);
// Sends "X" and reads a reading (limit 50). With loc: *loc = buffer location or -1 when the reply
// has none, prefix (5 characters) = the 4-character prefix and a NUL (empty when the reply had
// none). Without loc neither pointer is used. Returns the value, or NaN when the reply holds no
// number (including a failed or timed-out read).
double K617_get(char *prefix, int *loc);
void K617_data_format(int mode);    // "G<mode>X"
void K617_current_mode(int range);  // "F1R<range>X", then 1 s
// "C0X", "Z0X"; when zcorrect is nonzero also "C1X", 2 s, "Z1X", "C0X".
void K617_zero_correct(int zcorrect);
void K617_trigger_mode(int mode);  // "T<mode>X"
void K617_reading_mode(int mode);  // "B<mode>X"
// Rounds value to the 0.05 V grid and sends "V%+0.2fX" (e.g. 12.34 -> "V+12.35X").
void K617_vsource_set(float value);
// Reading mode 4, one reading, reading mode 0; returns the voltage source value (NaN as K617_get).
double K617_vsource_get(void);
void K617_vsource_operate(int operate);  // "O1X" when nonzero, else "O0X"

// ---- Formatting and parsing (no I/O) ----

// Scans a status reply into *st the way K617_status does. Returns the number of fields set.
int K617_parse_status(const char *reply, K617STATUS *st);
// Scans a reading reply: "<4-char prefix><number>[,<location>]". prefix and loc as K617_get.
// Returns the value, or NaN when there is none.
double K617_parse_reading(const char *reply, char *prefix, int *loc);
// The value on the voltage source's 0.05 V grid: floor((value + 0.025) / 0.05) * 0.05.
float K617_vsource_round(float value);
// Formats the voltage command for value (rounded) into out[size]. Returns its length, or -1 when
// it does not fit.
int K617_vsource_format(char *out, int size, float value);
