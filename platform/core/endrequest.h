// Requests from outside the program to end it: on POSIX the signals SIGTERM, SIGINT and SIGHUP,
// on Windows the console's Ctrl+C, Ctrl+Break and close events. A request never interrupts what
// the program is doing: the handler only records it. The program's event wait (the panel layer's
// queue) asks TakeUnqueuedEndRequest at each turn and turns the first request into an event
// (number EVENT_END_REQUEST, on the quit control the application named, put ahead of every waiting
// event), which the program answers with its ordered shutdown. Later requests are counted and
// change nothing, so a second signal cannot cut a shutdown short.
#pragma once

#define EVENT_END_REQUEST 9100  // event number of the queued end request

// Codes of the requests (POSIX signal numbers; the Windows console events above them).
enum {
    ENDREQ_HUP = 1,
    ENDREQ_INT = 2,
    ENDREQ_TERM = 15,
    ENDREQ_CONSOLE_CTRL_C = 100,
    ENDREQ_CONSOLE_BREAK = 101,
    ENDREQ_CONSOLE_CLOSE = 102,
};

// Installs the handlers for the whole run (once; later calls do nothing). On POSIX it also makes
// a write past a file size limit fail with EFBIG instead of killing the program (SIGXFSZ ignored),
// so the writer can keep its file whole.
void InstallEndRequestHandlers(void);

// Records an end request exactly as a handler does (the scripted operator's "signal NAME").
// Async-signal-safe.
void RequestEnd(int code);

// Code of the first end request, 0 while none came.
int EndRequestReceived(void);
// Number of end requests received, the first one included.
int EndRequestCount(void);
// "SIGTERM", "SIGINT", "SIGHUP", "console Ctrl+C", "console Ctrl+Break", "console close", or
// "request N" for another code.
const char *EndRequestName(int code);
// The code for a name as the scripted operator writes it: TERM, INT, HUP (with or without "SIG"),
// CTRL_C, BREAK, CLOSE; 0 for any other name.
int EndRequestCode(const char *name);

// For the event queue: true exactly once, the first time it is asked after the first request
// came (the request is then queued as one event).
bool TakeUnqueuedEndRequest(void);
