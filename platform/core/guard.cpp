#include "platform/core/guard.h"

#include <cstdio>
#include <mutex>

namespace {
enum { kMaxReported = 64 };
struct Reported {
    char library[48];
    char operation[48];
};
std::mutex g_mu;
Reported g_reported[kMaxReported];
int g_nReported = 0;
int g_overruns = 0;
GuardReporter g_reporter = nullptr;

void toConsole(const char *line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

bool alreadyReported(const char *library, const char *operation) {
    for (int i = 0; i < g_nReported; i++)
        if (!std::strncmp(g_reported[i].library, library, sizeof g_reported[i].library - 1) &&
            !std::strncmp(g_reported[i].operation, operation, sizeof g_reported[i].operation - 1))
            return true;
    return false;
}
}  // namespace

std::size_t guard_overrun(const unsigned char *tail, std::size_t n) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < n; i++)
        if (tail[i] != kGuardPattern) last = i + 1;
    return last;
}

void guard_report(const char *library, const char *operation, const char *record,
                  std::size_t recordSize, std::size_t over) {
    if (over == 0) return;
    if (!library) library = "library";
    if (!operation) operation = "an operation";
    if (!record) record = "record";
    char line[400];
    GuardReporter out;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_overruns++;
        if (alreadyReported(library, operation)) return;
        // A full table still reports; it only stops remembering, so a flood stays bounded by the
        // operations a library has.
        if (g_nReported < kMaxReported) {
            Reported &r = g_reported[g_nReported++];
            std::snprintf(r.library, sizeof r.library, "%s", library);
            std::snprintf(r.operation, sizeof r.operation, "%s", operation);
        }
        out = g_reporter ? g_reporter : toConsole;
    }
    if (over < kGuardTail)
        std::snprintf(line, sizeof line,
                      "%s: %s wrote %zu byte%s past the end of its %zu-byte %s record. The library's "
                      "record is longer than the one this program knows; the extra bytes were caught "
                      "and ignored, and the program's data is intact.",
                      library, operation, over, over == 1 ? "" : "s", recordSize, record);
    else
        std::snprintf(line, sizeof line,
                      "%s: %s wrote past all %zu spare bytes behind its %zu-byte %s record. The "
                      "library's record is far longer than the one this program knows; memory "
                      "after the spare bytes may be damaged, so the program should be stopped.",
                      library, operation, kGuardTail, recordSize, record);
    out(line);
}

int guard_overruns() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_overruns;
}

void guard_reset() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_nReported = 0;
    g_overruns = 0;
}

void guard_set_reporter(GuardReporter reporter) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_reporter = reporter;
}
