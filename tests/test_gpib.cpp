#include <gtest/gtest.h>

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
};
FakeBoard fb;

void note(const std::string &what) { fb.calls += what + ";"; }
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

// Runs the board link with the fake board.
class GpibBoard : public ::testing::Test {
protected:
    void SetUp() override {
        clock_set_scale(0.01);
        fb = FakeBoard();
        gpib_set_backend(&kFake);
    }
    void TearDown() override { gpib_set_backend(nullptr); }
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
    EXPECT_EQ(K617_status(), 14);  // thirteen numbers and the terminator pair
    EXPECT_EQ(K617Stat.range, 5);
    EXPECT_EQ(K617Stat.vsource_operate, 1);
    EXPECT_EQ(std::string(K617Stat.terminator, 2), "00");
    K617_close();
    EXPECT_EQ(fb.calls, "ibdev(1,3,0,13,1,0);ibclr(7);ibwrt(7);ibrd(7,90);ibrd(7,6);ibwrt(7);ibrd(7,50);"
                        "ibwrt(7);ibrd(7,90);ibonl(7,0);");
    EXPECT_EQ(fb.written, "F1R5XXU0X");
}

// The status word's count of fields: whole, cut short, and none.
TEST_F(GpibBoard, StatusGivesTheFieldsTheReplySet) {
    K617_open(0, 0, 3, 0, 13);
    fb.reply = "617" "1" "05" "0" "1" "0" "1" "1" "0" "0" "0" "0" "00" "0" "00" "\r\n";
    ASSERT_EQ(K617_status(), 14);
    fb.reply = "617" "2" "07" "1";  // cut after three numbers
    EXPECT_EQ(K617_status(), 3);
    EXPECT_EQ(K617Stat.function, 2);
    EXPECT_EQ(K617Stat.zero_check, 1);
    EXPECT_EQ(K617Stat.zero_correct, 1);  // kept from the whole word
    fb.reply = "NDCA+1.5000E-09\r\n";  // not a status word
    EXPECT_EQ(K617_status(), 0);
    EXPECT_EQ(K617Stat.function, 2);
    K617_close();
}

// A failed board call prints the report, takes the device offline and fails; the program goes
// on. The link stays down: later calls reach no board, print nothing and fail at once, until the
// next open starts afresh.
TEST_F(GpibBoard, FailedCallPrintsTheReportAndTheLinkStaysDown) {
    ASSERT_EQ(K617_open(0, 0, 3, 0, 13), 0);
    EXPECT_FALSE(K617_link_failed());
    fb.failOn = "ibwrt";
    testing::internal::CaptureStdout();
    EXPECT_EQ(K617_send("X", 1), -1);
    std::string report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(report, "OpenDev Error\nibsta = &H8100  < ERR CMPL >\niberr = 2 ENOL <No Listener>\nibcntl = 0\n\n");
    EXPECT_TRUE(K617_link_failed());
    EXPECT_EQ(K617_LinkStatus(), LINK_PORT_FAILED);
    EXPECT_EQ(fb.calls, "ibdev(0,3,0,13,1,0);ibwrt(7);ibonl(7,0);");

    // Nothing more goes to the board and no second report; no pause either.
    fb.failOn.clear();
    fb.calls.clear();
    testing::internal::CaptureStdout();
    double t0 = Timer();
    EXPECT_TRUE(std::isnan(K617_get(nullptr, nullptr)));
    EXPECT_EQ(K617_status(), 0);
    EXPECT_EQ(K617_clear(), -1);
    K617_trigger_mode(0);
    char buf[K617_BufSize];
    std::strcpy(buf, "stale");
    EXPECT_EQ(K617_receive(buf, 90), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(K617_close(), -1);
    EXPECT_LT(Timer() - t0, 0.05);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fb.calls, "");
    EXPECT_TRUE(K617_link_failed());
    EXPECT_EQ(K617_LinkStatus(), LINK_NOT_OPEN);

    // A new open starts afresh.
    EXPECT_EQ(K617_open(0, 0, 3, 0, 13), 0);
    EXPECT_FALSE(K617_link_failed());
    EXPECT_EQ(K617_send("X", 1), 0);
    EXPECT_EQ(K617_LinkStatus(), LINK_IDLE);
    EXPECT_DOUBLE_EQ(K617_get(nullptr, nullptr), 1.5e-9);
    EXPECT_EQ(K617_LinkStatus(), LINK_ANSWERED);
    EXPECT_EQ(K617_close(), 0);
    EXPECT_FALSE(K617_link_failed());  // closed, not failed
    EXPECT_EQ(K617_send("X", 1), -1);  // nothing goes to a closed device
}

TEST_F(GpibBoard, FailedReadOrNoBoardFailsTheCall) {
    ASSERT_EQ(K617_open(0, 0, 3, 0, 13), 0);
    fb.failOn = "ibrd";
    fb.failSta = GPIB_ERR | GPIB_TIMO;
    fb.failErr = 6;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(std::isnan(K617_get(nullptr, nullptr)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OpenDev Error\nibsta = &Hc000  < ERR TIMO >\niberr = 6 EABO <Operation aborted>\nibcntl = 0\n\n");
    EXPECT_TRUE(K617_link_failed());

    // Without a board at all: the open fails with ENEB, and so does every later call. (The board
    // says so itself: a library loaded by an earlier test of this process cannot be unloaded.)
    fb.failOn = "ibdev";
    fb.failSta = GPIB_ERR;
    fb.failErr = GPIB_ENEB;
    testing::internal::CaptureStdout();
    EXPECT_EQ(K617_open(0, 0, 3, 0, 13), -1);
    EXPECT_EQ(K617_clear(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OpenDev Error\nibsta = &H8000  < ERR >\niberr = 7 ENEB <No GPIB board>\nibcntl = 0\n\n");
    EXPECT_TRUE(K617_link_failed());
}

TEST_F(GpibBoard, ReportOfUnlistedCodeAndNoBits) {
    // An error code outside the table prints no text and no line feed; every reported bit in order.
    K617_open(0, 0, 3, 0, 13);
    fb.calls.clear();
    testing::internal::CaptureStdout();
    ibsta = 0xFFFF;
    iberr = 8;
    ibcntl = 42;
    GpibError("OpenDev Error");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OpenDev Error\nibsta = &Hffff  < ERR TIMO END SRQI RQS CMPL LOK REM CIC ATN TACS LACS DTAS DCAS >\n"
              "iberr = 8ibcntl = 42\n\n");
    EXPECT_EQ(fb.calls, "ibonl(7,0);");  // after the report, with the failed call's status printed
    testing::internal::CaptureStdout();
    ibsta = 0x0600;
    iberr = 20;
    ibcntl = 0;
    GpibError("msg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "msg\nibsta = &H600  < >\niberr = 20 ETAB <Table Overflow>\nibcntl = 0\n\n");
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

    // A failed call's status, as the library left it: the driver prints the report, fails the
    // call and keeps the program running.
    testing::internal::CaptureStdout();
    EXPECT_EQ(K617_send("FAIL", 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OpenDev Error\nibsta = &H8100  < ERR CMPL >\niberr = 2 ENOL <No Listener>\nibcntl = 0\n\n");
    EXPECT_TRUE(K617_link_failed());
    EXPECT_EQ(ibsta, GPIB_CMPL);  // the report's ibonl came after
    guard_set_reporter(nullptr);
    guard_reset();
    unsetenv("VRIM_GPIB_LIBRARY");
}
