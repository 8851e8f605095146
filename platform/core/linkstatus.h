// What the last exchange on an instrument's link came to, as its driver saw it. Every driver that
// talks over a line keeps one of these for its last exchange, so that whoever watches the
// instruments reads the outcome from the driver instead of from the line's globals.
//
// The status says how the link behaved, not whether the reply was the one wanted: a whole line
// with an error text in it is LINK_ANSWERED, and the driver's own result says that it was not
// good.
#pragma once

enum LinkStatus {
    LINK_IDLE = 0,     // no exchange yet (or nothing was sent: a command the driver refused)
    LINK_ANSWERED,     // the command went out and a whole reply line came back
    LINK_TIMED_OUT,    // the command went out; no whole reply within the read's time-out
    LINK_NO_REPLY,     // the command went out; the read failed for another reason (its code kept)
    LINK_PORT_FAILED,  // the line itself failed (input/output error: unplugged, board fault)
    LINK_NOT_OPEN,     // the port or device is not open, so nothing went out
};

// A few words for a status, for logs and tests ("answered", "timed out", ...).
inline const char *link_status_name(LinkStatus s) {
    switch (s) {
    case LINK_IDLE: return "idle";
    case LINK_ANSWERED: return "answered";
    case LINK_TIMED_OUT: return "timed out";
    case LINK_NO_REPLY: return "no reply";
    case LINK_PORT_FAILED: return "port failed";
    case LINK_NOT_OPEN: return "not open";
    }
    return "unknown";
}

// The status a serial line read's result stands for: a count (0 or more) is a whole line, a
// negative code names the failure (platform/core/rs232.h).
LinkStatus link_status_of_read(int result);
// The status a serial write's result stands for when it did not write every byte (a count short
// of the line's length means the time-out passed first).
LinkStatus link_status_of_write(int result);
