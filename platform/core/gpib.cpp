#include "platform/core/gpib.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

int ibsta;
int iberr;
long ibcntl;

namespace {

// The system library's entry points and where its status lives.
struct SystemLibrary {
    void *handle = nullptr;
    GpibBackend calls{};
    int (*threadSta)() = nullptr;
    int (*threadErr)() = nullptr;
    long (*threadCntl)() = nullptr;
    const int *varSta = nullptr;
    const int *varErr = nullptr;
    const long *varCntl = nullptr;
    bool loaded = false;
};

SystemLibrary g_lib;
const GpibBackend *g_backend = nullptr;  // set: a plugged board; null: the system library
bool g_triedLoad = false;
std::mutex g_mu;

void systemStatus(int *sta, int *err, long *cntl) {
    *sta = g_lib.threadSta ? g_lib.threadSta() : g_lib.varSta ? *g_lib.varSta : 0;
    *err = g_lib.threadErr ? g_lib.threadErr() : g_lib.varErr ? *g_lib.varErr : 0;
    *cntl = g_lib.threadCntl ? g_lib.threadCntl() : g_lib.varCntl ? *g_lib.varCntl : 0;
}

template <class F>
bool bind(void *h, const char *name, F &fn) {
    fn = reinterpret_cast<F>(dlsym(h, name));
    return fn != nullptr;
}

void loadSystemLibrary() {
    g_triedLoad = true;
    const char *path = std::getenv("VRIM_GPIB_LIBRARY");
    if (!path || !*path) path = "libgpib.so.0";
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) return;
    SystemLibrary lib;
    lib.handle = h;
    bool ok = bind(h, "ibdev", lib.calls.ibdev) && bind(h, "ibclr", lib.calls.ibclr) &&
              bind(h, "ibwrt", lib.calls.ibwrt) && bind(h, "ibrd", lib.calls.ibrd) &&
              bind(h, "ibonl", lib.calls.ibonl);
    // Thread-local status functions are preferred where the library has them; the global
    // variables are what older libraries export.
    bind(h, "ThreadIbsta", lib.threadSta);
    bind(h, "ThreadIberr", lib.threadErr);
    bind(h, "ThreadIbcntl", lib.threadCntl);
    lib.varSta = static_cast<const int *>(dlsym(h, "ibsta"));
    lib.varErr = static_cast<const int *>(dlsym(h, "iberr"));
    lib.varCntl = static_cast<const long *>(dlsym(h, "ibcntl"));
    if (!ok || !(lib.threadSta || lib.varSta)) {
        dlclose(h);
        return;
    }
    lib.calls.status = systemStatus;
    lib.loaded = true;
    g_lib = lib;
}

// The board to call, or null when there is none.
const GpibBackend *board() {
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_backend) return g_backend;
    if (!g_triedLoad) loadSystemLibrary();
    return g_lib.loaded ? &g_lib.calls : nullptr;
}

void noBoard() {
    ibsta = GPIB_ERR;
    iberr = GPIB_ENEB;
    ibcntl = 0;
}

void takeStatus(const GpibBackend *b) { b->status(&ibsta, &iberr, &ibcntl); }

}  // namespace

void gpib_set_backend(const GpibBackend *backend) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_backend = backend;
    if (!backend && !g_lib.loaded) g_triedLoad = false;
}

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
    b->ibrd(ud, buf, cnt);
    takeStatus(b);
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
