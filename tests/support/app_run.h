// Runs the station program (build/bin/vrim) as a subprocess on the simulated station, under the
// scripted operator, in a fresh temporary working directory.
//
//   AppRun r = app_run("press QUIT\n");
//   EXPECT_EQ(r.status, 0);
//   read_text(r.dir + "/some_output.txt");
//
// The working directory gets vrim_ui.uir and refqe.txt (from $VRIM_SOURCE_DIR/vrim, else from the
// test's working directory, which is build/bin) unless the options say otherwise. The program runs
// with VRIM_STATION=sim, QT_QPA_PLATFORM=offscreen, VRIM_TIME_SCALE (0.01 unless given) and
// VRIM_OPERATOR naming the script written to <dir>/operator.op. A run that outlives the real-time
// limit is killed; `timedOut` is then true and `status` is -1000.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct AppRunOptions {
    double timeScale = 0.01;                  // real seconds per program second
    int limitSeconds = 120;                   // real seconds before the run is killed
    bool copyPanel = true;                    // copy vrim_ui.uir into the working directory
    bool copyRefqe = true;                    // copy refqe.txt into the working directory
    std::map<std::string, std::string> env;   // extra environment (overrides the defaults)
    std::map<std::string, std::string> files; // extra files written into the directory first
    std::vector<std::string> dirs;            // extra folders made in the directory first
    std::string dir;                          // run in this existing directory (see app_start)
    long long fileSizeLimit = 0;              // bytes: the largest file the program may write (0: none)
};

struct AppRun {
    int status = -1000;       // exit status as returned (-1 stays -1); -1000 - signal number when a
                              // signal ended it; -1000 when killed at the limit or not started
    bool timedOut = false;
    std::string out;          // everything the program wrote to stdout
    std::string err;          // everything the program wrote to stderr
    std::string dir;          // the working directory (kept for the test to inspect)
};

inline std::string app_read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool app_write_text(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    return bool(f);
}

inline std::vector<std::string> app_lines(const std::string &text) {
    std::vector<std::string> v;
    std::string line;
    std::istringstream is(text);
    while (std::getline(is, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        v.push_back(line);
    }
    return v;
}

// Directory that holds the program and (normally) its data files.
inline std::string app_bin_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

inline bool app_copy_data_file(const std::string &name, const std::string &dir) {
    std::vector<std::string> from;
    if (const char *src = getenv("VRIM_SOURCE_DIR")) from.push_back(std::string(src) + "/vrim/" + name);
    from.push_back(app_bin_dir() + "/" + name);
    from.push_back(name);
    for (const auto &f : from) {
        if (access(f.c_str(), R_OK) == 0) return app_write_text(dir + "/" + name, app_read_text(f));
    }
    return false;
}

// A started run: the child's process id and what app_wait needs to finish the AppRun.
struct AppChild {
    pid_t pid = -1;
    AppRun run;                 // dir filled; the rest filled by app_wait
    std::string outPath, errPath;
    std::chrono::steady_clock::time_point deadline;
};

// Starts the program as app_run does and returns at once (pid < 0 when it could not start).
// opt.dir, when set, is used as the working directory as it is (nothing copied into it but the
// script and opt.files), so a second run can go on with what a first one left.
inline AppChild app_start(const std::string &script, const AppRunOptions &opt = AppRunOptions()) {
    AppChild c;
    AppRun &r = c.run;
    if (!opt.dir.empty()) {
        r.dir = opt.dir;
    } else {
        char tmpl[] = "/tmp/vrim-app-XXXXXX";
        if (!mkdtemp(tmpl)) return c;
        r.dir = tmpl;
        if (opt.copyPanel) app_copy_data_file("vrim_ui.uir", r.dir);
        if (opt.copyRefqe) app_copy_data_file("refqe.txt", r.dir);
    }
    for (const auto &d : opt.dirs) mkdir((r.dir + "/" + d).c_str(), 0755);
    for (const auto &kv : opt.files) app_write_text(r.dir + "/" + kv.first, kv.second);
    app_write_text(r.dir + "/operator.op", script);

    std::string exe = app_bin_dir() + "/vrim";
    c.outPath = r.dir + "/.stdout";
    c.errPath = r.dir + "/.stderr";
    std::map<std::string, std::string> env = {
        {"VRIM_STATION", "sim"},
        {"QT_QPA_PLATFORM", "offscreen"},
        {"VRIM_TIME_SCALE", std::to_string(opt.timeScale)},
        {"VRIM_OPERATOR", r.dir + "/operator.op"},
        {"VRIM_USMC_FLASH", r.dir + "/stage-flash.dat"},
    };
    for (const auto &kv : opt.env) env[kv.first] = kv.second;

    pid_t pid = fork();
    if (pid < 0) return c;
    if (pid == 0) {
        setpgid(0, 0);
        if (chdir(r.dir.c_str()) != 0) _exit(127);
        // A test process may carry port assignments of its own simulators; the station sets them.
        unsetenv("VRIM_COM4");
        unsetenv("VRIM_COM5");
        // In a sanitizer build the window system's libraries keep allocations until exit, which
        // the leak check would turn into a changed exit status; memory errors still end the run.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 0);
        for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (opt.fileSizeLimit > 0) {
            struct rlimit rl = {(rlim_t)opt.fileSizeLimit, (rlim_t)opt.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        int fo = open(c.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fe = open(c.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fi = open("/dev/null", O_RDONLY);
        if (fo >= 0) dup2(fo, 1);
        if (fe >= 0) dup2(fe, 2);
        if (fi >= 0) dup2(fi, 0);
        execl(exe.c_str(), exe.c_str(), (char *)nullptr);
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so a signal to the group cannot race the child's own call
    c.pid = pid;
    c.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.limitSeconds);
    return c;
}

// Waits for a started run to end (killing it at its real-time limit) and returns it.
inline AppRun app_wait(AppChild &c) {
    AppRun r = c.run;
    if (c.pid < 0) return r;
    int wstatus = 0;
    for (;;) {
        pid_t w = waitpid(c.pid, &wstatus, WNOHANG);
        if (w == c.pid) break;
        if (std::chrono::steady_clock::now() > c.deadline) {
            kill(-c.pid, SIGKILL);
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &wstatus, 0);
            r.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!r.timedOut) {
        if (WIFEXITED(wstatus)) {
            // The exit status as the program returned it, sign included (return -1 gives -1).
            r.status = (signed char)WEXITSTATUS(wstatus);
        } else if (WIFSIGNALED(wstatus)) {
            r.status = -1000 - WTERMSIG(wstatus);
        }
    }
    c.pid = -1;
    r.out = app_read_text(c.outPath);
    r.err = app_read_text(c.errPath);
    return r;
}

inline AppRun app_run(const std::string &script, const AppRunOptions &opt = AppRunOptions()) {
    AppChild c = app_start(script, opt);
    return app_wait(c);
}

// The "NAME VALUE" lines of a dump-controls file, by name.
inline std::map<std::string, std::string> app_controls(const std::string &path) {
    std::map<std::string, std::string> m;
    for (const auto &l : app_lines(app_read_text(path))) {
        size_t sp = l.find(' ');
        if (sp != std::string::npos) m[l.substr(0, sp)] = l.substr(sp + 1);
    }
    return m;
}

// One point of a dump-row file: wavelength, stored current, QE.
struct AppPoint {
    int wl;
    double tok, qe;
};
// The points of a dump-row file, in order.
inline std::vector<AppPoint> app_row(const std::string &path) {
    std::vector<AppPoint> v;
    for (const auto &l : app_lines(app_read_text(path))) {
        AppPoint p{};
        if (sscanf(l.c_str(), "%d %lf %lf", &p.wl, &p.tok, &p.qe) == 3) v.push_back(p);
    }
    return v;
}

// app_run with the simulated station's log (VRIM_STATION_LOG); its lines come back in *log.
inline AppRun app_run_logged(const std::string &script, std::vector<std::string> *log,
                             AppRunOptions opt = AppRunOptions()) {
    char tmpl[] = "/tmp/vrim-stlog-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    opt.env["VRIM_STATION_LOG"] = tmpl;
    AppRun r = app_run(script, opt);
    *log = app_lines(app_read_text(tmpl));
    unlink(tmpl);
    return r;
}

// Index of the first line equal to `what` at or after `from`; -1 if none.
inline int app_find_line(const std::vector<std::string> &v, const std::string &what, int from = 0) {
    for (int i = from < 0 ? 0 : from; i < (int)v.size(); i++)
        if (v[i] == what) return i;
    return -1;
}
