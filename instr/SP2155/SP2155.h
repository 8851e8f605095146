// Monochromator driver: one grating monochromator on a serial port, one text command at a time.
//
// Every exchange goes the same way: a 0.05 s pause, the input queue flushed, the command written
// with one carriage return, then one reply line read up to its line feed (at most 90 bytes). A
// good reply ends in "ok" + CR (either letter case); its last five bytes (two blanks, "ok", CR)
// are the acknowledgement and the bytes before them the payload.
//
// Wavelengths are integers in tenths of a nanometre here (5000 = 500.0 nm); the instrument is
// commanded and answers in nanometres.
#pragma once
#include "platform/core/linkstatus.h"

enum { SP2155_BUFSIZE = 100 };      // command and reply buffers
enum { SP2155_MAXCMD = 98 };        // command text + CR + NUL fills the buffer
enum { SP2155_MAXREPLY = 90 };      // bytes of a reply read at most

// Module state, kept at file level (visible for diagnostics and tests).
extern int SP2155_Port;                     // serial port number given to SP2155_Open
extern char SP2155_Send[SP2155_BUFSIZE];    // last outgoing line: text, CR, NUL
extern char SP2155_Receive[SP2155_BUFSIZE]; // last reply: payload (NUL-terminated) after a good one
// nout: bytes of the last outgoing line, CR included. nin: bytes of the last reply (or the
// read's negative code); the payload length after a good one. Kept file-local (other drivers
// have counters of the same names); read through these.
int SP2155_nout(void);
int SP2155_nin(void);

// Opens the port at 38400 8N1, no handshake, 1 s standing time-out. A failed open is not
// reported; every later command then fails with -1.
void SP2155_Open(int port);

// One exchange. cmd: text without terminator, at most 98 characters. wait: reply time-out in
// seconds for this command only (0 = the standing 1 s; restored to 1 s after the read).
// Returns the payload length (0 or more) for a good reply, -1 otherwise:
//  - cmd null or longer than 98 characters: nothing is sent, no pause, SP2155_Receive emptied;
//  - read failed or timed out (nothing or a line cut short): SP2155_Receive emptied, nin 0 or the
//    negative read code;
//  - a whole line that does not end in "ok\r" (error answer, garbled, cut at 90 bytes): the raw
//    bytes stay in SP2155_Receive, followed by a NUL so that nothing past them is ever parsed.
// A good reply shorter than the five-byte acknowledgement gives an empty payload (0).
int SP2155_Cmd(const char *cmd, double wait);
// The result of the last SP2155_Cmd (the get and set operations do not return it); for
// self-tests that need to know whether a reply came. -1 before any command.
int SP2155_LastResult(void);
// How the last open or exchange went (platform/core/linkstatus.h): LINK_NOT_OPEN after a failed
// open, after SP2155_Close, or for an exchange on a port that is not open; LINK_IDLE after an
// open and after a command refused before sending; after an exchange LINK_ANSWERED for a whole
// line (good or not: SP2155_LastResult says which), LINK_TIMED_OUT when none came within the
// wait, LINK_PORT_FAILED when the line failed (input/output error: unplugged), LINK_NO_REPLY for
// another read failure (its code in SP2155_nin()).
LinkStatus SP2155_LinkStatus(void);

// "ECHO" for a nonzero mode, "NO-ECHO" for 0.
void SP2155_Echo(int mode);
// "?NM": the present wavelength in tenths of a nanometre, halves rounded up. 0 when the reply
// held no number (failed exchange included). The number must open the payload, so the
// instrument's echo has to be off (its remote default).
int SP2155_GetWavelength(void);
// "<nm with one decimal> GOTO", waits up to 10 s for the move's reply. Failures are not reported.
void SP2155_SetWavelength(int wavel);
// "?GRATING": the grating in use; 0 when the reply held no number.
int SP2155_GetGrating(void);
// "<n> GRATING" for n = 1 or 2 only (anything else sends nothing); waits up to 30 s.
void SP2155_SetGrating(int grating);
// Single-turret instrument: always 1, nothing sent.
int SP2155_GetTurret(void);
// No-ops kept for callers that set them; nothing is sent.
void SP2155_SetTurret(int turret);
void SP2155_SetSpeed(int aperm);
void SP2155_Scan(int wavel);
void SP2155_Close(void);

// Pure helpers (no I/O).
// True when the reply's last three bytes are "ok\r", letters in either case.
bool sp2155_reply_ok(const char *reply, int len);
// Payload length of a good reply of len bytes: len - 5, never below 0.
int sp2155_payload_len(int len);
// Nanometres as the instrument reports them -> tenths of a nanometre, nearest, halves up.
int sp2155_nm_to_tenths(float nm);
// Parses a payload beginning with a number (blanks before it allowed). False when none.
bool sp2155_parse_nm(const char *payload, float *nm);
bool sp2155_parse_int(const char *payload, int *value);
// Formats the move command for a wavelength in tenths into buf (size bytes); returns its
// length, or -1 when it does not fit.
int sp2155_format_goto(int wavel, char *buf, int size);
