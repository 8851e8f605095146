// Files the operator names, through the program: a FIFO or a device given to any dialog is
// refused at once with a message (a plain open would wait on the FIFO for ever, a read of
// /dev/zero would never end); and a reference table of other wavelengths than the reference
// current's keeps sample and map scans from running until a reference current for it is held.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "support/app_run.h"
#include "support/session.h"

namespace {

// A version-3 block of n records at wavelengths wl[i], reference current 1e-9 A, QE 0.3.
std::string block3(int n, const int *wl) {
    std::string v;
    session_le32(v, 3);
    session_le32(v, (uint32_t)(40 + 20 * n));
    for (int k = 2; k < 10; k++) session_le32(v, 0);
    for (int i = 0; i < n; i++) {
        session_lef(v, (float)wl[i]);
        session_lef(v, 1e-9f);
        session_lef(v, 0.0f);
        session_lef(v, 0.3f);
        session_lef(v, 0.0f);
    }
    return v;
}

}  // namespace

TEST(OperatorFiles, FifoAndDeviceRefusedByEveryDialog) {
    char tmpl[] = "/tmp/vrim-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string fifo = std::string(tmpl) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);

    const char *handlers[] = {"LOAD_REFQE", "LOAD_POSITIONS", "SAVE_POSITIONS", "SAVE_TEXT", "LOAD_DATA",
                              "MAP_SCAN",   "RESUME_MAP",     "OPEN_MAP",       "MAP_SAVE_PNG"};
    std::string script = "idle\n";
    for (const char *h : handlers) script += "file " + fifo + "\npress " + h + "\nidle\n";
    for (const char *h : {"OPEN_MAP", "LOAD_DATA", "LOAD_REFQE", "LOAD_POSITIONS"})
        script += std::string("file /dev/zero\npress ") + h + "\nidle\n";
    script += "dump-controls c.txt\nquit\n";
    AppRunOptions o;
    o.limitSeconds = 90;
    AppRun r = app_run(script, o);
    ASSERT_FALSE(r.timedOut) << "a dialog's file blocked the program\n" << r.out;
    EXPECT_EQ(r.status, 0) << r.err;

    // Each of the 13 is told to the operator and logged; the FIFO is still a FIFO.
    EXPECT_EQ(session_count(r.out, "not a regular file"), 13) << r.out;
    EXPECT_EQ(session_count(r.out, "popup: File error: Cannot open the file\n" + fifo + "\nnot a regular file"), 4) << r.out;
    EXPECT_NE(r.out.find("popup: Map scan: Cannot open " + fifo + " for writing: not a regular file."),
              std::string::npos);
    EXPECT_NE(r.out.find("popup: Open map: /dev/zero cannot be shown"), std::string::npos);
    EXPECT_NE(r.out.find("popup: Save map picture: The map picture cannot be written to " + fifo), std::string::npos);
    std::string log = app_read_text(r.dir + "/vrim.log");
    EXPECT_GE(session_count(log, "not a regular file"), 13) << log;
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // The reference table and positions stay as they were.
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(c["NREF"], "61") << "the shipped table's points";
    unlink(fifo.c_str());
    rmdir(tmpl);
}

// After a reference scan, a table of other wavelengths blocks sample and map scans (status line
// and log say why, nothing moves) until the table of the scanned wavelengths comes back or
// "Load data" brings a reference current; a table of the same wavelengths is used at once.
TEST(OperatorFiles, ReferenceTableOfOtherWavelengthsRefusesScans) {
    const int wl5[5] = {4100, 4600, 5100, 5600, 6100};
    AppRunOptions o;
    o.copyRefqe = false;
    o.limitSeconds = 120;
    o.files["refqe.txt"] = kSessionRefqe8;
    o.files["other.txt"] = "4100 0.3\n4600 0.3\n5100 0.3\n5600 0.3\n6100 0.3\n";
    o.files["same.txt"] = "4000 0.5\n4500 0.5\n5000 0.5\n5500 0.5\n6000 0.5\n6500 0.5\n7000 0.5\n7500 0.5\n";
    o.files["ref5.dat"] = block3(5, wl5);
    o.env["VRIM_STATION_LOG"] = "station.log";
    AppRun r = app_run(
        "idle\ncell 1 1 30000\ncell 2 1 124000\ncell 1 2 200000\ncell 2 2 200000\n"
        "set DARK_WAIT 0\nset POINT_WAIT 0.1\nset POSITION_INDEX 1\nidle\n"
        "press REFERENCE_SCAN\nidle\n"
        "file other.txt\npress LOAD_REFQE\nidle\n"
        "echo MARK refused\n"
        "press SAMPLE_SCAN\nidle\npress MAP_SCAN\nidle\npress RESUME_MAP\nidle\n"
        "dump-controls a.c\ndump-row 1 a1.txt\n"
        "echo MARK same\n"
        "file same.txt\npress LOAD_REFQE\nidle\ndump-controls b.c\n"
        "press SAMPLE_SCAN\nidle\ndump-row 1 b1.txt\n"
        "file other.txt\npress LOAD_REFQE\nidle\n"
        "file ref5.dat\npress LOAD_DATA\nidle\ndump-controls c.c\n"
        "press SAMPLE_SCAN\nidle\nquit\n",
        o);
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;

    auto a = app_controls(r.dir + "/a.c");
    EXPECT_NE(a["STATUS"].find("measured at other wavelengths than those of the reference table other.txt"),
              std::string::npos)
        << a["STATUS"];
    for (const auto &p : app_row(r.dir + "/a1.txt")) EXPECT_EQ(p.tok, 0.0) << "no sample was measured";
    std::string log = app_read_text(r.dir + "/vrim.log");
    EXPECT_EQ(session_count(log, "Sample scan refused: The reference current was measured at other wavelengths"), 1) << log;
    EXPECT_EQ(session_count(log, "Map scan refused: "), 1) << log;
    EXPECT_EQ(session_count(log, "Resume map refused: "), 1) << log;
    // No pop-up, no dialog and no instrument between the refusals.
    size_t from = r.out.find("MARK refused"), to = r.out.find("MARK same");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(r.out.substr(from, to - from).find("popup:"), std::string::npos) << r.out.substr(from, to - from);
    EXPECT_EQ(r.err.find("no file answer queued"), std::string::npos) << r.err;

    // The scanned wavelengths back: no note, and the sample scan measured.
    auto b = app_controls(r.dir + "/b.c");
    EXPECT_EQ(b["STATUS"].find("other wavelengths"), std::string::npos) << b["STATUS"];
    bool measured = false;
    for (const auto &p : app_row(r.dir + "/b1.txt")) measured |= p.tok != 0.0;
    EXPECT_TRUE(measured);

    // "Load data" brings a current for its own wavelengths: the last sample scan ran.
    auto c = app_controls(r.dir + "/c.c");
    EXPECT_EQ(c["STATUS"].find("other wavelengths"), std::string::npos) << c["STATUS"];
    EXPECT_EQ(c["NREF"], "5");
}
