// Requests to end the program from outside: SIGTERM, SIGINT and SIGHUP during a map scan and while
// idle, through the scripted operator's "signal" and once as a real signal repeated during the
// shutdown; each must end in the program's ordered shutdown as the simulated instruments saw it.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/app_run.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"

namespace {

const char kTable[] =
    "cell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\ncell 1 3 215000\ncell 2 3 190000\n"
    "cell 1 4 225000\ncell 2 4 190000\ncell 1 5 0\ncell 2 5 0\n";

// After the electrometer's trigger mode 0, only the stages' power goes, X, Y, Z, and nothing else
// reaches the electrometer.
void expect_shutdown(const std::vector<std::string> &log, const std::string &what) {
    int t0 = -1;
    for (int i = (int)log.size() - 1; i >= 0 && t0 < 0; i--)
        if (log[i] == "k617 T0X") t0 = i;
    ASSERT_GE(t0, 0) << what;
    int px = app_find_line(log, "stage X power off", t0), py = app_find_line(log, "stage Y power off", t0),
        pz = app_find_line(log, "stage Z power off", t0);
    EXPECT_GT(px, t0) << what;
    EXPECT_GT(py, px) << what;
    EXPECT_GT(pz, py) << what;
    for (int i = t0 + 1; i < (int)log.size(); i++) EXPECT_NE(log[i].rfind("k617 ", 0), 0u) << what << ": " << log[i];
}

// The map file holds whole blocks only and its record says the map stopped.
void expect_stopped_map(const std::string &dir, const std::string &what) {
    MapBlocks b;
    EXPECT_EQ(mapfile_load((dir + "/map.dat").c_str(), &b), MAPREAD_END) << what << ": " << b.why;
    MapRecordDoc rec;
    std::string err;
    ASSERT_EQ(maprecord_read(dir + "/map.dat.json", &rec, &err), 0) << what << ": " << err;
    EXPECT_EQ(rec.state, "stopped") << what;
    EXPECT_EQ(rec.blocks.size(), b.blocks.size()) << what;
    EXPECT_LT(b.blocks.size(), 3u) << what;
}

}  // namespace

TEST(EndRequest, EachSignalDuringMapAndIdle) {
    const struct {
        const char *name;
        int code;
    } kSignals[] = {{"TERM", 15}, {"INT", 2}, {"HUP", 1}};
    for (const auto &s : kSignals) {
        for (bool duringMap : {true, false}) {
            std::string what = std::string("SIG") + s.name + (duringMap ? " during a map" : " while idle");
            std::string script = std::string("idle\n") + kTable + "set DARK_WAIT 0\nset POINT_WAIT 1\n";
            if (duringMap)
                script += "file map.dat\npress MAP_SCAN\nwait 70\nsignal " + std::string(s.name) + "\nwait 5\n";
            else
                script += "idle\nsignal " + std::string(s.name) + "\nwait 5\n";
            script += "echo not ended\nquit\n";
            std::vector<std::string> log;
            AppRunOptions o;
            o.limitSeconds = 60;
            AppRun r = app_run_logged(script, &log, o);
            ASSERT_FALSE(r.timedOut) << what;
            EXPECT_EQ(r.status, (signed char)(128 + s.code)) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find("not ended"), std::string::npos) << what;
            EXPECT_NE(r.err.find(std::string("SIG") + s.name + " received"), std::string::npos) << what << "\n" << r.err;
            expect_shutdown(log, what);
            EXPECT_NE(app_read_text(r.dir + "/vrim.log").find(std::string("SIG") + s.name + " received"), std::string::npos)
                << what;
            if (duringMap) expect_stopped_map(r.dir, what);
        }
    }
}

// A real SIGTERM during a map, then more of them while the program shuts down: the shutdown runs
// to its end all the same.
TEST(EndRequest, RealSignalRepeatedDuringShutdown) {
    char tmpl[] = "/tmp/vrim-stlog-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    AppRunOptions o;
    o.limitSeconds = 60;
    o.env["VRIM_STATION_LOG"] = tmpl;
    AppChild c = app_start(std::string("idle\n") + kTable +
                               "set DARK_WAIT 0\nset POINT_WAIT 1\nfile map.dat\npress MAP_SCAN\nwait 100000\n",
                           o);
    ASSERT_GT(c.pid, 0);
    // Sent once the map has written its first block; then, once the shutdown has begun (the program
    // says so on standard error), TERM, INT and HUP again and again until the program ends.
    std::string map = c.run.dir + "/map.dat";
    auto wait_until = [](auto pred) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
        while (std::chrono::steady_clock::now() < until && !pred())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    struct stat st;
    wait_until([&]() { return stat(map.c_str(), &st) == 0 && st.st_size > 0; });
    ASSERT_EQ(kill(c.pid, SIGTERM), 0);
    wait_until([&]() { return app_read_text(c.errPath).find("SIGTERM received") != std::string::npos; });
    auto running = [&]() {
        siginfo_t info{};
        return waitid(P_PID, (id_t)c.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    const int again[3] = {SIGTERM, SIGINT, SIGHUP};
    for (int k = 0; running() && k < 30000; k++) {
        kill(c.pid, again[k % 3]);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    AppRun r = app_wait(c);
    std::vector<std::string> log = app_lines(app_read_text(tmpl));
    unlink(tmpl);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, (signed char)(128 + SIGTERM)) << r.err;
    EXPECT_NE(r.err.find("SIGTERM received"), std::string::npos) << r.err;
    expect_shutdown(log, "real SIGTERM");
    expect_stopped_map(r.dir, "real SIGTERM");
}

namespace {
// Lines of the station log from the last one equal to `from` on.
std::vector<std::string> log_after(const std::vector<std::string> &log, const std::string &from) {
    int at = -1;
    for (int i = 0; i < (int)log.size(); i++)
        if (log[i] == from) at = i;
    return at < 0 ? std::vector<std::string>() : std::vector<std::string>(log.begin() + at, log.end());
}
int count_prefix(const std::vector<std::string> &v, const std::string &prefix) {
    int n = 0;
    for (const auto &l : v) n += l.rfind(prefix, 0) == 0;
    return n;
}
}  // namespace

// A signal during a quick current scan's first point wait ends it there: no further wavelength
// and no reading, where the scan would otherwise go through all eight points.
TEST(EndRequest, SignalEndsQuickScanAtOnce) {
    std::vector<std::string> log;
    AppRunOptions o;
    o.limitSeconds = 60;
    AppRun r = app_run_logged("idle\nset POINT_WAIT 5\nset WL_FIRST 4000\nset WL_STEP 100\nset WL_COUNT 8\n"
                              "press CURRENT_SCAN\nwait 4\nsignal TERM\nwait 60\necho not ended\nquit\n",
                              &log, o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, (signed char)(128 + SIGTERM)) << r.err;
    EXPECT_EQ(r.out.find("not ended"), std::string::npos);
    std::vector<std::string> scan = log_after(log, "k617 T1X");
    ASSERT_FALSE(scan.empty());
    EXPECT_LE(count_prefix(scan, "mono wavelength"), 1);
    EXPECT_EQ(count_prefix(scan, "k617 X"), 0);
    expect_shutdown(log, "quick scan");
    EXPECT_NE(app_read_text(r.dir + "/vrim.log").find("Quick current scan ended early"), std::string::npos);
}

// A signal while a scan's reminder is up: the handler ends before it changes anything: no scan
// begins, no electrometer mode, no wavelength, no map file.
TEST(EndRequest, SignalAtAReminderStartsNothing) {
    for (const char *button : {"REFERENCE_SCAN", "SAMPLE_SCAN", "MAP_SCAN"}) {
        std::vector<std::string> log;
        AppRunOptions o;
        o.limitSeconds = 60;
        AppRun r = app_run_logged(std::string("idle\n") + kTable + "set DARK_WAIT 0\nset POSITION_INDEX 1\nidle\n" +
                                      "file map.dat\npress " + button + "\nsignal TERM\nwait 30\necho not ended\nquit\n",
                                  &log, o);
        ASSERT_FALSE(r.timedOut) << button;
        EXPECT_EQ(r.status, (signed char)(128 + SIGTERM)) << button << "\n" << r.err;
        EXPECT_EQ(r.out.find("not ended"), std::string::npos) << button;
        std::vector<std::string> after = log_after(log, "popup Reminder");
        ASSERT_FALSE(after.empty()) << button << ": no reminder";
        EXPECT_EQ(count_prefix(after, "mono wavelength"), 0) << button;
        EXPECT_EQ(count_prefix(after, "k617 T1X"), 0) << button;
        std::string vlog = app_read_text(r.dir + "/vrim.log");
        EXPECT_EQ(vlog.find(" scan started: "), std::string::npos) << button << "\n" << vlog;
        EXPECT_NE(vlog.find("not started: SIGTERM received"), std::string::npos) << button;
        struct stat st;
        EXPECT_NE(stat((r.dir + "/map.dat").c_str(), &st), 0) << button;
        expect_shutdown(log, button);
    }
}

// STOP while the stage is on its way to the sample position breaks the move off: Y never moves,
// the monochromator is not parked and no reading is taken; the panel shows where X stopped.
TEST(EndRequest, StopDuringAStageMoveMovesNothingAfterIt) {
    std::vector<std::string> log;
    AppRunOptions o;
    o.limitSeconds = 60;
    AppRun r = app_run_logged(std::string("idle\n") + kTable +
                                  "dump-controls before.c\nset DARK_WAIT 0\nset POINT_WAIT 0.2\nset POSITION_INDEX 1\n"
                                  "press SAMPLE_SCAN\nwait 2\npress STOP\nidle\ndump-controls after.c\nquit\n",
                              &log, o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    auto before = app_controls(r.dir + "/before.c"), after = app_controls(r.dir + "/after.c");
    EXPECT_EQ(after["POS_Y"], before["POS_Y"]);
    int x0 = atoi(before["POS_X"].c_str()), x1 = atoi(after["POS_X"].c_str());
    EXPECT_GT(std::abs(x1 - 205000), 1000) << "X reached its target: the move was not broken off";
    EXPECT_NE(x1, x0);
    std::vector<std::string> scan = log_after(log, "popup Reminder");
    EXPECT_EQ(count_prefix(scan, "mono wavelength"), 0);
    EXPECT_EQ(count_prefix(scan, "k617 X"), 0);
    EXPECT_NE(app_read_text(r.dir + "/vrim.log").find("Sample scan stopped by the operator"), std::string::npos);
}
