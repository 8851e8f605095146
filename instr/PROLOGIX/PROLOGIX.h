// GPIB-USB controller driver: the serial line to a Prologix-style controller. One text line goes
// out at a time (a "++" controller command, or text the controller passes on to the GPIB
// instrument it currently addresses) and one reply line comes back at a time.
//
// Serial settings are fixed: 38400 baud, no parity, 8 data bits, 1 stop bit, no handshake,
// 3.1 s time-out for every write and read. Outgoing lines end with one carriage return; incoming
// lines end at a line feed, which is neither stored nor counted (a carriage return before it is).
//
// One controller per program. Call PROLOGIX_Open once, then PROLOGIX_Send / PROLOGIX_Receive,
// then PROLOGIX_Close. A reply must be read after the send that provokes it and before the next
// send: every send discards unread input first, so that no stale reply is ever read.
#pragma once
#include "platform/core/linkstatus.h"

// Longest command text PROLOGIX_Send accepts: the outgoing buffer holds 100 characters, the text
// plus one carriage return plus the terminating NUL.
enum { PROLOGIX_BufSize = 100, PROLOGIX_MaxCommand = PROLOGIX_BufSize - 2 };

// Opens serial port `port` with the settings above and sends "++savecfg 0" (the controller must
// not write our settings to its flash). Returns 0 when open and configured; otherwise the negative
// code of the serial open, and nothing is configured or sent.
int PROLOGIX_Open(int port);

// Waits 0.05 s, discards unread input, then writes `command` followed by one carriage return.
// Returns 0 when every byte was written; -1 on a short or failed write, when `command` is NULL,
// or when it is longer than PROLOGIX_MaxCommand characters (then nothing is written).
int PROLOGIX_Send(const char *command);

// Reads one line into `received` (room for length + 1 characters): until a line feed, `length`
// bytes, or the 3.1 s time-out. Returns the number of bytes stored (0 or more; a NUL follows
// them), or the serial library's negative code (time-out: -99). On a negative result the buffer
// holds an empty string (when length >= 0), never stale or partial bytes. When the line is
// longer than `length`, its rest stays queued until the next send discards it.
int PROLOGIX_Receive(char *received, int length);

// Queries or sets the GPIB address the controller talks to; both pointers are in-out.
//  - *primaryAddr < 0: sends "++addr", reads the reply and scans it as "%d %d" into the primary
//    and secondary address; returns the number of numbers converted (0, 1 or 2), or -1 when the
//    reply is empty or only white space (a failed read counts as empty). Numbers not converted
//    keep the caller's values.
//  - 0 <= *primaryAddr <= 30: sends "++addr P", or "++addr P S" when *secondaryAddr is in 0..30
//    (the number sent unchanged); returns PROLOGIX_Send's result.
//  - *primaryAddr >= 31: sends nothing and returns -1.
int PROLOGIX_SetAddr(int *primaryAddr, int *secondaryAddr);

// Closes the port given to PROLOGIX_Open.
void PROLOGIX_Close(void);

// How the last open, write or read went (platform/core/linkstatus.h): LINK_NOT_OPEN after a
// failed open, after PROLOGIX_Close, or for a write or read on a port that is not open;
// LINK_IDLE after an open or a line written whole (and after a command refused as too long:
// nothing went out); after a read LINK_ANSWERED for a whole line, LINK_TIMED_OUT when none came
// within 3.1 s, LINK_PORT_FAILED when the line failed (input/output error), LINK_NO_REPLY for
// another read failure; after a write cut short, LINK_TIMED_OUT or LINK_PORT_FAILED.
LinkStatus PROLOGIX_LinkStatus(void);

// Builds the outgoing line ("<command>\r" and a NUL) into out[size]. Returns the line length
// (carriage return included), or -1 when command is NULL or the line and its NUL do not fit.
int PROLOGIX_FormatLine(char *out, int size, const char *command);
