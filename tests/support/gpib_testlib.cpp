// A stand-in for a GPIB board library, for tests: one instrument at any address that answers
// every read with READING, exported in the GPIB library's calling convention with its status in
// the exported variables user_ibsta, user_iberr and user_ibcntl (the older libraries' way).
// Boards 0 to 15 are present. A write of "FAIL" fails with ENOL; env VRIM_TESTLIB_OVERRUN=N makes
// ibrd store N bytes more than it was allowed; env VRIM_TESTLIB_READ_FAILS=N makes the N-th ibrd
// and every later one fail as a read that timed out (ERR and TIMO, EABO); 1 or any text that is
// not a number above 1: every one.
#include <cstdlib>
#include <cstring>

#include "platform/core/dynlib.h"

#if defined(_WIN32)
#define TESTLIB_VISIBLE __declspec(dllexport)
#else
#define TESTLIB_VISIBLE __attribute__((visibility("default")))
#endif
#define TESTLIB_EXPORT extern "C" TESTLIB_VISIBLE

extern "C" {
TESTLIB_VISIBLE int user_ibsta = 0;
TESTLIB_VISIBLE int user_iberr = 0;
TESTLIB_VISIBLE long user_ibcntl = 0;
}

namespace {
const char kReading[] = "NDCA+4.2000E-10\r\n";
const int kCmpl = 0x0100, kErr = 0x8000, kEnd = 0x2000, kTimo = 0x4000;
int done(int sta, long count) {
    user_ibsta = sta;
    user_ibcntl = count;
    return sta;
}
}  // namespace

TESTLIB_EXPORT int VRIM_GPIB_CALL ibdev(int board, int pad, int, int, int, int) {
    if (board < 0 || board > 15 || pad < 0 || pad > 30) {
        user_iberr = 4;  // EARG
        done(kErr, 0);
        return -1;
    }
    done(kCmpl, 0);
    return 16 + pad;
}

TESTLIB_EXPORT int VRIM_GPIB_CALL ibclr(int) { return done(kCmpl, 0); }

TESTLIB_EXPORT int VRIM_GPIB_CALL ibwrt(int, const void *buf, long cnt) {
    if (cnt == 4 && !std::memcmp(buf, "FAIL", 4)) {
        user_iberr = 2;  // ENOL
        return done(kErr | kCmpl, 0);
    }
    return done(kCmpl, cnt);
}

TESTLIB_EXPORT int VRIM_GPIB_CALL ibrd(int, void *buf, long cnt) {
    static long reads = 0;  // ibrd calls so far
    reads++;
    if (const char *fails = std::getenv("VRIM_TESTLIB_READ_FAILS"); fails && reads >= std::atol(fails)) {
        user_iberr = 6;  // EABO
        return done(kErr | kTimo, 0);
    }
    long n = long(sizeof kReading - 1);
    if (n > cnt) n = cnt;
    std::memcpy(buf, kReading, size_t(n));
    const char *over = std::getenv("VRIM_TESTLIB_OVERRUN");
    long extra = over ? std::atol(over) : 0;
    if (extra > 0) {
        std::memset(static_cast<char *>(buf) + cnt, 'Q', size_t(extra));
        n = cnt + extra;
    }
    return done(kCmpl | kEnd, n);
}

TESTLIB_EXPORT int VRIM_GPIB_CALL ibonl(int, int) { return done(kCmpl, 0); }
