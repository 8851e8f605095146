// End requests: the handlers only store into lock-free atomics (all that a signal handler or the
// console's handler thread may safely do); the program's thread reads them in its event wait.
#include "platform/core/endrequest.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

std::atomic<int> g_first{0};     // code of the first request
std::atomic<int> g_count{0};     // requests received
std::atomic<bool> g_queued{false};
bool g_installed = false;

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
        RequestEnd(ENDREQ_CONSOLE_CTRL_C);
        return TRUE;
    case CTRL_BREAK_EVENT:
        RequestEnd(ENDREQ_CONSOLE_BREAK);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        RequestEnd(ENDREQ_CONSOLE_CLOSE);
        // Returning ends the process at once; the system allows some seconds for the shutdown, and
        // the program's own exit ends this thread when the shutdown is done.
        Sleep(10000);
        return TRUE;
    default:
        return FALSE;
    }
}
#else
void signal_handler(int sig) { RequestEnd(sig); }
#endif

}  // namespace

void RequestEnd(int code) {
    int none = 0;
    g_first.compare_exchange_strong(none, code);
    g_count.fetch_add(1);
}

int EndRequestReceived(void) { return g_first.load(); }
int EndRequestCount(void) { return g_count.load(); }

bool TakeUnqueuedEndRequest(void) {
    if (g_first.load() == 0) return false;
    return !g_queued.exchange(true);
}

void InstallEndRequestHandlers(void) {
    if (g_installed) return;
    g_installed = true;
#ifdef _WIN32
    SetConsoleCtrlHandler(console_handler, TRUE);
#else
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    // Restarted system calls: a blocking read of an instrument goes on and the request waits for
    // the event wait, like any other event.
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    struct sigaction ign;
    memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGXFSZ, &ign, nullptr);
#endif
}

const char *EndRequestName(int code) {
    switch (code) {
    case ENDREQ_HUP: return "SIGHUP";
    case ENDREQ_INT: return "SIGINT";
    case ENDREQ_TERM: return "SIGTERM";
    case ENDREQ_CONSOLE_CTRL_C: return "console Ctrl+C";
    case ENDREQ_CONSOLE_BREAK: return "console Ctrl+Break";
    case ENDREQ_CONSOLE_CLOSE: return "console close";
    default: {
        static char buf[32];
        snprintf(buf, sizeof buf, "request %d", code);
        return buf;
    }
    }
}

int EndRequestCode(const char *name) {
    if (!name) return 0;
    const char *n = name;
    if (strncmp(n, "SIG", 3) == 0) n += 3;
    if (strcmp(n, "TERM") == 0) return ENDREQ_TERM;
    if (strcmp(n, "INT") == 0) return ENDREQ_INT;
    if (strcmp(n, "HUP") == 0) return ENDREQ_HUP;
    if (strcmp(name, "CTRL_C") == 0) return ENDREQ_CONSOLE_CTRL_C;
    if (strcmp(name, "BREAK") == 0) return ENDREQ_CONSOLE_BREAK;
    if (strcmp(name, "CLOSE") == 0) return ENDREQ_CONSOLE_CLOSE;
    return 0;
}
