#include "platform/core/gpib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/core/dynlib.h"
#include "platform/core/guard.h"

int ibsta;
int iberr;
long ibcntl;

namespace {

// The system library's entry points, in its own calling convention, and where its status lives.
struct SystemLibrary {
    DynLib *handle = nullptr;
    int(VRIM_GPIB_CALL *ibdev)(int, int, int, int, int, int) = nullptr;
    int(VRIM_GPIB_CALL *ibclr)(int) = nullptr;
    int(VRIM_GPIB_CALL *ibwrt)(int, const void *, long) = nullptr;
    int(VRIM_GPIB_CALL *ibrd)(int, void *, long) = nullptr;
    int(VRIM_GPIB_CALL *ibonl)(int, int) = nullptr;
    int(VRIM_GPIB_CALL *threadSta)() = nullptr;
    int(VRIM_GPIB_CALL *threadErr)() = nullptr;
    long(VRIM_GPIB_CALL *threadCntl)() = nullptr;
    const int *varSta = nullptr;
    const int *varErr = nullptr;
    const long *varCntl = nullptr;
    bool loaded = false;
};

SystemLibrary g_lib;
const GpibBackend *g_backend = nullptr;  // set: a plugged board; null: the system library
bool g_triedLoad = false;
char g_libError[400] = "";
std::mutex g_mu;

// The system library seen through the backend interface.
const GpibBackend kSystemCalls = {
    [](int b, int pad, int sad, int tmo, int eot, int eos) { return g_lib.ibdev(b, pad, sad, tmo, eot, eos); },
    [](int ud) { return g_lib.ibclr(ud); },
    [](int ud, const void *buf, long cnt) { return g_lib.ibwrt(ud, buf, cnt); },
    [](int ud, void *buf, long cnt) { return g_lib.ibrd(ud, buf, cnt); },
    [](int ud, int v) { return g_lib.ibonl(ud, v); },
    [](int *sta, int *err, long *cntl) {
        *sta = g_lib.threadSta ? g_lib.threadSta() : g_lib.varSta ? *g_lib.varSta : 0;
        *err = g_lib.threadErr ? g_lib.threadErr() : g_lib.varErr ? *g_lib.varErr : 0;
        *cntl = g_lib.threadCntl ? g_lib.threadCntl() : g_lib.varCntl ? *g_lib.varCntl : 0;
    },
};

template <class T>
const T *variable(DynLib *h, const char *name, const char *userName) {
    const void *p = dynlib_symbol(h, name, nullptr, 0);
    if (!p) p = dynlib_symbol(h, userName, nullptr, 0);
    return static_cast<const T *>(p);
}

void loadSystemLibrary() {
    g_triedLoad = true;
    g_libError[0] = 0;
    const char *path = std::getenv("VRIM_GPIB_LIBRARY");
    if (!path || !*path) path = VRIM_GPIB_DEFAULT_LIBRARY;
    char why[300] = "";
    DynLib *h = dynlib_open(path, why, sizeof why);
    if (!h) {
        std::snprintf(g_libError, sizeof g_libError, "GPIB library %s cannot be loaded: %s", path, why);
        return;
    }
    SystemLibrary lib;
    lib.handle = h;
    const char *missing = nullptr;
    if (!dynlib_function(h, "ibdev", lib.ibdev, why, sizeof why)) missing = "ibdev";
    else if (!dynlib_function(h, "ibclr", lib.ibclr, why, sizeof why)) missing = "ibclr";
    else if (!dynlib_function(h, "ibwrt", lib.ibwrt, why, sizeof why)) missing = "ibwrt";
    else if (!dynlib_function(h, "ibrd", lib.ibrd, why, sizeof why)) missing = "ibrd";
    else if (!dynlib_function(h, "ibonl", lib.ibonl, why, sizeof why)) missing = "ibonl";
    // Thread-local status functions are preferred where the library has them; the global
    // variables are what older libraries export, under their own name or with "user_" before it.
    dynlib_function(h, "ThreadIbsta", lib.threadSta);
    dynlib_function(h, "ThreadIberr", lib.threadErr);
    dynlib_function(h, "ThreadIbcntl", lib.threadCntl);
    lib.varSta = variable<int>(h, "ibsta", "user_ibsta");
    lib.varErr = variable<int>(h, "iberr", "user_iberr");
    lib.varCntl = variable<long>(h, "ibcntl", "user_ibcntl");
    if (!missing && !(lib.threadSta || lib.varSta)) {
        missing = "ibsta";
        std::snprintf(why, sizeof why, "neither ThreadIbsta nor an ibsta variable is exported");
    }
    if (missing) {
        std::snprintf(g_libError, sizeof g_libError, "GPIB library %s lacks %s: %s", path, missing, why);
        dynlib_close(h);
        return;
    }
    lib.loaded = true;
    g_lib = lib;
}

// The board to call, or null when there is none.
const GpibBackend *board() {
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_backend) return g_backend;
    if (!g_triedLoad) loadSystemLibrary();
    return g_lib.loaded ? &kSystemCalls : nullptr;
}

void noBoard() {
    ibsta = GPIB_ERR;
    iberr = GPIB_ENEB;
    ibcntl = 0;
}

void takeStatus(const GpibBackend *b) { b->status(&ibsta, &iberr, &ibcntl); }

// The read buffer handed to the board, with its guarded tail behind the count asked for.
unsigned char g_readBuf[std::size_t(kGpibGuardedRead) + kGuardTail];

}  // namespace

void gpib_set_backend(const GpibBackend *backend) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_backend = backend;
    if (!backend && !g_lib.loaded) g_triedLoad = false;
}

const char *gpib_library_error() { return g_libError; }

int ibdev(int boardIndex, int pad, int sad, int tmo, int eot, int eos) {
    const GpibBackend *b = board();
    if (!b) {
        noBoard();
        return -1;
    }
    int ud = b->ibdev(boardIndex, pad, sad, tmo, eot, eos);
    takeStatus(b);
    return ud;
}

int ibclr(int ud) {
    const GpibBackend *b = board();
    if (!b) {
        noBoard();
        return ibsta;
    }
    b->ibclr(ud);
    takeStatus(b);
    return ibsta;
}

int ibwrt(int ud, const void *buf, long cnt) {
    const GpibBackend *b = board();
    if (!b) {
        noBoard();
        return ibsta;
    }
    b->ibwrt(ud, buf, cnt);
    takeStatus(b);
    return ibsta;
}

int ibrd(int ud, void *buf, long cnt) {
    const GpibBackend *b = board();
    if (!b) {
        noBoard();
        return ibsta;
    }
    if (cnt < 0 || cnt > kGpibGuardedRead || !buf) {
        b->ibrd(ud, buf, cnt);
        takeStatus(b);
        return ibsta;
    }
    std::size_t n = static_cast<std::size_t>(cnt);
    std::memset(g_readBuf + n, kGuardPattern, kGuardTail);
    b->ibrd(ud, g_readBuf, cnt);
    takeStatus(b);
    guard_report("GPIB library", "ibrd", "read buffer", n, guard_overrun(g_readBuf + n, kGuardTail));
    if (ibcntl < 0) ibcntl = 0;
    if (ibcntl > cnt) ibcntl = cnt;  // never more than the caller's buffer holds
    std::memcpy(buf, g_readBuf, static_cast<std::size_t>(ibcntl));
    return ibsta;
}

int ibonl(int ud, int v) {
    const GpibBackend *b = board();
    if (!b) {
        noBoard();
        return ibsta;
    }
    b->ibonl(ud, v);
    takeStatus(b);
    return ibsta;
}
