#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "instr/K617/K617.h"
#include "platform/core/clock.h"
#include "platform/core/gpib.h"
#include "platform/core/guard.h"

namespace {
// A simulated board: records the calls, answers reads from `reply`, and fails the call named in
// `failOn` with the given status and error.
struct FakeBoard {
    std::string calls;
    std::string written;
    std::string reply = "NDCA+1.5000E-09\r\n";
    std::string failOn;
    int failSta = GPIB_ERR | GPIB_CMPL;
    int failErr = 2;
    int sta = 0, err = 0;
    long cntl = 0;
    bool echo = false;  // calls also go to stderr (death tests)
};
FakeBoard fb;

void note(const std::string &what) {
    fb.calls += what + ";";
    if (fb.echo) std::fprintf(stderr, "[%s]", what.c_str());
}
bool result(const std::string &name, long count) {
    if (fb.failOn == name) {
        fb.sta = fb.failSta;
        fb.err = fb.failErr;
        fb.cntl = 0;
        return false;
    }
    fb.sta = GPIB_CMPL;
    fb.cntl = count;
    return true;
}
const GpibBackend kFake = {
    [](int board, int pad, int sad, int tmo, int eot, int eos) {
        char b[64];
        std::snprintf(b, sizeof b, "ibdev(%d,%d,%d,%d,%d,%d)", board, pad, sad, tmo, eot, eos);
        note(b);
        return result("ibdev", 0) ? 7 : -1;
    },
    [](int ud) {
        note("ibclr(" + std::to_string(ud) + ")");
        result("ibclr", 0);
        return fb.sta;
    },
    [](int ud, const void *buf, long cnt) {
        note("ibwrt(" + std::to_string(ud) + ")");
        fb.written.append(static_cast<const char *>(buf), static_cast<size_t>(cnt));
        result("ibwrt", cnt);
        return fb.sta;
    },
    [](int ud, void *buf, long cnt) {
        note("ibrd(" + std::to_string(ud) + "," + std::to_string(cnt) + ")");
        long n = std::min<long>(cnt, static_cast<long>(fb.reply.size()));
        if (result("ibrd", n)) std::memcpy(buf, fb.reply.data(), static_cast<size_t>(n));
        return fb.sta;
    },
    [](int ud, int v) {
        note("ibonl(" + std::to_string(ud) + "," + std::to_string(v) + ")");
        result("ibonl", 0);
        return fb.sta;
    },
    [](int *sta, int *err, long *cntl) {
        *sta = fb.sta;
        *err = fb.err;
        *cntl = fb.cntl;
    },
};

// Runs the board link with the fake board; standard output goes to stderr so that death tests
// see the report.
class GpibBoard : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        clock_set_scale(0.01);
        fb = FakeBoard();
        gpib_set_backend(&kFake);
    }
    void TearDown() override { gpib_set_backend(nullptr); }
    static void toStderr() {
        std::fflush(stdout);
        dup2(2, 1);
        // Both unbuffered, so the report and the board's notes keep their order (Windows
        // buffers stderr when it is not a console).
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
        fb.echo = true;
    }
};
}  // namespace

TEST(GpibLibrary, MissingOrUnusableLibraryActsAsNoBoard) {
#if defined(_WIN32)
    for (const char *lib : {"/nonexistent/libgpib-vrim.so", "version.dll"}) {
#else
    for (const char *lib : {"/nonexistent/libgpib-vrim.so", "libm.so.6"}) {
#endif
        setenv("VRIM_GPIB_LIBRARY", lib, 1);
        gpib_set_backend(nullptr);
        ibsta = 0, iberr = 0, ibcntl = 5;
        EXPECT_EQ(ibdev(0, 3, 0, 13, 1, 0), -1) << lib;
        EXPECT_TRUE(ibsta & GPIB_ERR) << lib;
        EXPECT_EQ(iberr, GPIB_ENEB) << lib;
        EXPECT_EQ(ibcntl, 0) << lib;
        char buf[4];
        EXPECT_TRUE(ibrd(0, buf, 3) & GPIB_ERR);
    }
}

TEST_F(GpibBoard, OperationsReachTheBoard) {
    K617_open(2, 1, 3, 0, 13);  // any link but 1 is the board; port is the board index
    K617_clear();
    K617_current_mode(5);
    char buf[K617_BufSize];
    std::memset(buf, '#', sizeof buf);
    // The reply keeps its line feed; at most maxbyt bytes and the NUL are written.
    EXPECT_EQ(K617_receive(buf, 90), 17);
    EXPECT_EQ(std::string(buf), "NDCA+1.5000E-09\r\n");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(K617_receive(buf, 6), 6);
    EXPECT_EQ(std::string(buf), "NDCA+1");
    EXPECT_EQ(buf[7], '#');
    EXPECT_DOUBLE_EQ(K617_get(nullptr, nullptr), 1.5e-9);
    // The status word arrives with the board's terminator bytes; the record takes the fields.
    fb.reply = "617" "1" "05" "0" "1" "0" "1" "1" "0" "0" "0" "0" "00" "0" "00" "\r\n";
    K617_status();
    EXPECT_EQ(K617Stat.range, 5);
    EXPECT_EQ(K617Stat.vsource_operate, 1);
    EXPECT_EQ(std::string(K617Stat.terminator, 2), "00");
    K617_close();
    EXPECT_EQ(fb.calls, "ibdev(1,3,0,13,1,0);ibclr(7);ibwrt(7);ibrd(7,90);ibrd(7,6);ibwrt(7);ibrd(7,50);"
                        "ibwrt(7);ibrd(7,90);ibonl(7,0);");
    EXPECT_EQ(fb.written, "F1R5XXU0X");
}

TEST_F(GpibBoard, FailedCallPrintsTheReportAndExits) {
    EXPECT_EXIT(
        {
            toStderr();
            K617_open(0, 0, 3, 0, 13);
            fb.failOn = "ibwrt";
            K617_send("X", 1);
        },
        ::testing::ExitedWithCode(1),
        "\\[ibwrt\\(7\\)\\]OpenDev Error\nibsta = &H8100  < ERR CMPL >\niberr = 2 ENOL <No Listener>\n"
        "ibcntl = 0\n\n\\[ibonl\\(7,0\\)\\]$");

    // Without a board at all: the open fails with ENEB.
    EXPECT_EXIT(
        {
            toStderr();
            setenv("VRIM_GPIB_LIBRARY", "/nonexistent/libgpib-vrim.so", 1);
            gpib_set_backend(nullptr);
            K617_open(0, 0, 3, 0, 13);
        },
        ::testing::ExitedWithCode(1),
        "OpenDev Error\nibsta = &H8000  < ERR >\niberr = 7 ENEB <No GPIB board>\nibcntl = 0\n\n$");
}

TEST_F(GpibBoard, ReportOfUnlistedCodeAndNoBits) {
    // An error code outside the table prints no text and no line feed; every reported bit in order.
    EXPECT_EXIT(
        {
            toStderr();
            ibsta = 0xFFFF;
            iberr = 8;
            ibcntl = 42;
            GpibError("OpenDev Error");
        },
        ::testing::ExitedWithCode(1),
        "OpenDev Error\nibsta = &Hffff  < ERR TIMO END SRQI RQS CMPL LOK REM CIC ATN TACS LACS DTAS DCAS >\n"
        "iberr = 8ibcntl = 42\n\n\\[ibonl");
    EXPECT_EXIT(
        {
            toStderr();
            ibsta = 0x0600;
            iberr = 20;
            ibcntl = 0;
            GpibError("msg");
        },
        ::testing::ExitedWithCode(1), "msg\nibsta = &H600  < >\niberr = 20 ETAB <Table Overflow>\nibcntl = 0\n\n");
}

// A board that stores more than it was allowed: the extra bytes land in the guarded tail, are
// reported once, and never reach past the caller's buffer; the count is cut to what was asked.
TEST_F(GpibBoard, ReadPastTheCountIsCaughtAndReportedOnce) {
    static std::vector<std::string> reports;
    reports.clear();
    guard_reset();
    guard_set_reporter([](const char *line) { reports.push_back(line); });
    static const GpibBackend kSloppy = {
        kFake.ibdev, kFake.ibclr, kFake.ibwrt,
        [](int, void *buf, long cnt) {
            std::memset(buf, 'Z', static_cast<size_t>(cnt) + 30);
            fb.sta = GPIB_CMPL | GPIB_END;
            fb.cntl = cnt + 30;
            return fb.sta;
        },
        kFake.ibonl, kFake.status,
    };
    gpib_set_backend(&kSloppy);
    K617_open(2, 0, 3, 0, 13);
    char buf[K617_BufSize + 16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(K617_receive(buf, 10), 10);
    EXPECT_EQ(std::string(buf), "ZZZZZZZZZZ");
    for (size_t i = 11; i < sizeof buf; i++) ASSERT_EQ(buf[i], '#') << i;
    EXPECT_EQ(ibcntl, 10);
    EXPECT_EQ(K617_receive(buf, 10), 10);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("GPIB library: ibrd wrote 30 bytes past the end of its 10-byte read buffer"),
              std::string::npos) << reports[0];
    EXPECT_EQ(guard_overruns(), 2);
    guard_set_reporter(nullptr);
    guard_reset();
}

// The board layer on a loaded library whose status lives in exported variables: the calls reach
// it, its status arrives in ibsta/iberr/ibcntl, and its over-long reads are caught.
TEST(GpibLibrary, LoadedLibraryWithStatusVariables) {
    setenv("VRIM_GPIB_LIBRARY", VRIM_GPIB_TESTLIB_PATH, 1);
    gpib_set_backend(nullptr);
    clock_set_scale(0.01);
    static std::vector<std::string> reportLines;
    std::vector<std::string> *reports = &reportLines;
    reports->clear();
    guard_reset();
    guard_set_reporter([](const char *line) { reportLines.push_back(line); });

    K617_open(0, 0, 3, 0, 13);
    EXPECT_STREQ(gpib_library_error(), "");
    EXPECT_EQ(ibsta, GPIB_CMPL);
    K617_clear();
    K617_send("F1X", 3);
    EXPECT_EQ(ibcntl, 3);
    char buf[K617_BufSize];
    EXPECT_EQ(K617_receive(buf, 90), 17);
    EXPECT_STREQ(buf, "NDCA+4.2000E-10\r\n");
    EXPECT_EQ(ibsta, GPIB_CMPL | GPIB_END);

    setenv("VRIM_TESTLIB_OVERRUN", "12", 1);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(K617_receive(buf, 8), 8);
    EXPECT_STREQ(buf, "NDCA+4.2");
    for (size_t i = 9; i < sizeof buf; i++) ASSERT_EQ(buf[i], '#') << i;
    unsetenv("VRIM_TESTLIB_OVERRUN");
    ASSERT_EQ(reports->size(), 1u);
    EXPECT_NE((*reports)[0].find("ibrd wrote 12 bytes past the end of its 8-byte read buffer"), std::string::npos);

    // A failed call's status, as the library left it.
    ibwrt(16 + 3, "FAIL", 4);
    EXPECT_EQ(ibsta, GPIB_ERR | GPIB_CMPL);
    EXPECT_EQ(iberr, 2);
    guard_set_reporter(nullptr);
    guard_reset();
    unsetenv("VRIM_GPIB_LIBRARY");
}
