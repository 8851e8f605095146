// The session journal: session log, fault reports and the status line (see journal.h).
#include "vrim/observe/journal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/core/clock.h"
#include "vrim/observe/progress.h"

#ifndef VRIM_VERSION
#define VRIM_VERSION "0.0.0"
#endif

namespace {

const size_t kLineMax = 1000;  // bytes of one log line's text

struct Where {
    bool hasPosition = false;
    int k = 0, n = 0, x = 0, y = 0;    // position k of n, requested microsteps
    bool hasPoint = false;
    int i = 0, npts = 0, wl = 0;       // point i of npts, tenths of a nanometre
};

struct Journal {
    char logPath[300] = "vrim.log";
    bool logWarned = false;            // the log's failure was said on standard error

    std::string scan;                  // name of the running or last scan, "" before any
    bool running = false;
    int endHow = JOURNAL_FINISHED;
    std::string endDetail;
    long long endTime = 0;             // calendar seconds
    Where where;                       // of the running scan, or where the last one ended

    int faults = 0;                    // since start-up
    int scanFaults = 0;                // since the running or last scan began
    std::vector<std::string> pending;  // not yet taken by journal_take_faults
    std::string lastFault;             // text of the latest fault
    long long lastFaultTime = 0;       // calendar seconds
    // Faults logged since the last other log line, with the times each came again unlogged (a
    // silent instrument fails the same two or three ways at every poll).
    struct Recent {
        std::string text;
        int repeats = 0;
    };
    std::vector<Recent> recent;

    std::string notes[JOURNAL_NOTES];
    std::string progress;
    JournalStatusSink sink = nullptr;  // where the status line shows, null for nowhere
};
Journal J;

std::string tenths_nm(int wl) {
    char b[32];
    snprintf(b, sizeof b, "%d.%d nm", wl / 10, (wl < 0 ? -wl : wl) % 10);
    if (wl < 0 && wl > -10) return std::string("-") + b;
    return b;
}

// "position 2 of 3 (X 190000, Y 160000), point 12 of 61 at 632.0 nm"
std::string where_text(const Where &w) {
    std::string s;
    char b[160];
    if (w.hasPosition) {
        if (w.k == 0)
            snprintf(b, sizeof b, "reference detector (X %d, Y %d)", w.x, w.y);
        else if (w.n > 0)
            snprintf(b, sizeof b, "position %d of %d (X %d, Y %d)", w.k, w.n, w.x, w.y);
        else
            snprintf(b, sizeof b, "position %d (X %d, Y %d)", w.k, w.x, w.y);
        s = b;
    }
    if (w.hasPoint) {
        if (!s.empty()) s += ", ";
        if (w.i == 0) {
            s += "dark offset at " + tenths_nm(w.wl);
        } else {
            snprintf(b, sizeof b, "point %d of %d at ", w.i, w.npts);
            s += b + tenths_nm(w.wl);
        }
    }
    return s;
}

std::string lower_first(const std::string &s) {
    std::string r = s;
    if (!r.empty() && r[0] >= 'A' && r[0] <= 'Z') r[0] = (char)(r[0] - 'A' + 'a');
    return r;
}

std::string clock_text(long long t) {
    char b[32];
    time_t tt = (time_t)t;
    struct tm tmv;
    localtime_r(&tt, &tmv);
    strftime(b, sizeof b, "%H:%M:%S", &tmv);
    return b;
}

std::string faults_text(int n) { return std::to_string(n) + (n == 1 ? " fault" : " faults"); }

void write_log(const char *text) {
    char stamp[32];
    journal_stamp((long long)time(nullptr), stamp, sizeof stamp);
    FILE *f = fopen(J.logPath, "a");
    bool ok = f != nullptr;
    if (f) {
        if (fprintf(f, "%s %s\n", stamp, text) < 0) ok = false;
        if (fclose(f) != 0) ok = false;
    }
    if (!ok && !J.logWarned) {
        J.logWarned = true;
        fprintf(stderr, "vrim: cannot write the session log %s; its lines are lost\n", J.logPath);
    }
}

const size_t kRecentMax = 8;  // distinct faults remembered for the repeat count

void flush_one(const Journal::Recent &r) {
    if (r.repeats <= 0) return;
    char b[kLineMax + 64];
    snprintf(b, sizeof b, "FAULT repeated %d more time%s: %.900s", r.repeats, r.repeats == 1 ? "" : "s",
             r.text.c_str());
    write_log(b);
}

// Before any other line: say how often the recent faults came again unlogged, and forget them.
void flush_repeats(void) {
    for (const auto &r : J.recent) flush_one(r);
    J.recent.clear();
}

void vformat(char *out, size_t size, const char *fmt, va_list ap) {
    if (!fmt) {
        out[0] = 0;
        return;
    }
    vsnprintf(out, size, fmt, ap);
    for (char *p = out; *p; p++)
        if (*p == '\n' || *p == '\r') *p = ' ';
}

void show(void) {
    if (!J.sink) return;
    std::string text, alert;
    journal_status(&text, &alert);
    J.sink(text.c_str(), alert.c_str());
}

}  // namespace

void journal_stamp(long long t, char *out, size_t size) {
    time_t tt = (time_t)t;
    struct tm tmv;
    localtime_r(&tt, &tmv);
    if (strftime(out, size, "%Y-%m-%d %H:%M:%S", &tmv) == 0 && size > 0) out[0] = 0;
}

const char *journal_version(void) { return VRIM_VERSION; }

void journal_set_log_path(const char *path) {
    snprintf(J.logPath, sizeof J.logPath, "%s", (path && *path) ? path : "vrim.log");
    J.logWarned = false;
}

void log_line(const char *fmt, ...) {
    char text[kLineMax + 1];
    va_list ap;
    va_start(ap, fmt);
    vformat(text, sizeof text, fmt, ap);
    va_end(ap);
    flush_repeats();
    write_log(text);
}

void journal_scan_begin(const char *name) {
    J.scan = name ? name : "Scan";
    J.running = true;
    J.where = Where();
    J.scanFaults = 0;
    J.endDetail.clear();
    J.progress.clear();
    show();
}

void journal_where_position(int k, int n, int x, int y) {
    J.where.hasPosition = true;
    J.where.k = k;
    J.where.n = n;
    J.where.x = x;
    J.where.y = y;
    J.where.hasPoint = false;
    show();
}

void journal_where_point(int i, int n, int wl) {
    J.where.hasPoint = true;
    J.where.i = i;
    J.where.npts = n;
    J.where.wl = wl;
    show();
}

void journal_scan_end(int how, const char *detail) {
    J.running = false;
    J.endHow = how;
    J.endDetail = detail ? detail : "";
    J.endTime = (long long)time(nullptr);
    J.progress.clear();
    show();
}

bool journal_scan_running(void) { return J.running; }

std::string journal_where(void) {
    if (!J.running) return "";
    std::string w = where_text(J.where);
    std::string s = lower_first(J.scan);
    return w.empty() ? s : s + ", " + w;
}

int journal_fault(const char *instrument, const char *operation, const char *fmt, ...) {
    char what[kLineMax + 1];
    va_list ap;
    va_start(ap, fmt);
    vformat(what, sizeof what, fmt, ap);
    va_end(ap);
    std::string text = std::string(instrument ? instrument : "?") + ": " + (operation ? operation : "?") +
                       ": " + what;
    std::string w = journal_where();
    if (!w.empty()) text += " (" + w + ")";
    if (text.size() > kLineMax) text.resize(kLineMax);

    J.faults++;
    J.scanFaults++;
    J.pending.push_back(text);
    J.lastFault = text;
    J.lastFaultTime = (long long)time(nullptr);
    Journal::Recent *seen = nullptr;
    for (auto &r : J.recent)
        if (r.text == text) seen = &r;
    if (seen) {
        seen->repeats++;
    } else {
        if (J.recent.size() >= kRecentMax) {
            flush_one(J.recent.front());
            J.recent.erase(J.recent.begin());
        }
        write_log(("FAULT " + text).c_str());
        // Also on standard error, for a session run without a panel in view.
        fprintf(stderr, "vrim: FAULT %s\n", text.c_str());
        J.recent.push_back({text, 0});
    }
    show();
    return J.faults;
}

int journal_fault_count(void) { return J.faults; }
int journal_scan_fault_count(void) { return J.scanFaults; }

int journal_take_faults(std::vector<std::string> *texts) {
    int n = (int)J.pending.size();
    if (texts) texts->insert(texts->end(), J.pending.begin(), J.pending.end());
    J.pending.clear();
    return n;
}

void journal_note(int which, const char *fmt, ...) {
    if (which < 0 || which >= JOURNAL_NOTES) return;
    char text[kLineMax + 1];
    va_list ap;
    va_start(ap, fmt);
    vformat(text, sizeof text, fmt, ap);
    va_end(ap);
    J.notes[which] = text;
    show();
}

void journal_set_progress(const char *text) {
    J.progress = text ? text : "";
    show();
}

void journal_status(std::string *text, std::string *alert) {
    std::string s;
    if (J.running) {
        s = J.scan + ": ";
        std::string w = where_text(J.where);
        s += w.empty() ? "starting" : w;
        if (!J.progress.empty()) s += ", " + J.progress;
        s += progress_text(Timer());
        s += ", " + faults_text(J.scanFaults);
    } else if (!J.scan.empty()) {
        s = J.scan;
        if (J.endHow == JOURNAL_STOPPED)
            s += " stopped by the operator at " + clock_text(J.endTime);
        else if (J.endHow == JOURNAL_ENDED)
            s += " ended early at " + clock_text(J.endTime);
        else
            s += " finished at " + clock_text(J.endTime);
        std::string w = where_text(J.where);
        if (J.endHow != JOURNAL_FINISHED && !w.empty()) s += " (" + w + ")";
        if (!J.endDetail.empty()) s += " (" + J.endDetail + ")";
        s += ", " + faults_text(J.scanFaults);
    } else {
        s = "Ready";
        if (J.faults > 0) s += ", " + faults_text(J.faults) + " since start";
    }
    s += ".";
    for (int k = 0; k < JOURNAL_NOTES; k++)
        if (!J.notes[k].empty()) s += " " + J.notes[k];
    if (text) *text = s;
    if (alert) {
        alert->clear();
        if (J.faults > 0)
            *alert = faults_text(J.faults) + " since start; latest at " + clock_text(J.lastFaultTime) +
                     ": " + J.lastFault;
    }
}

void journal_set_status_sink(JournalStatusSink show_status) {
    J.sink = show_status;
    show();
}

void journal_refresh(void) { show(); }

void journal_reset(void) {
    JournalStatusSink sink = J.sink;
    char path[sizeof J.logPath];
    memcpy(path, J.logPath, sizeof path);
    J = Journal();
    memcpy(J.logPath, path, sizeof path);
    J.sink = sink;
}
