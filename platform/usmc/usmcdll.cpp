// Library layer: dispatches every operation to the backend chosen when the library was opened.
#include "platform/usmc/usmcdll.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/usmc/usmc_backend.h"

namespace {

enum class Backend { None, Sim, Lib };
Backend backend = Backend::None;
const UsmcBackend *simBackend = nullptr;  // installed by the simulated controllers
const UsmcBackend *sim = nullptr;         // the simulated backend in use while open

// Text of the last failure raised by this layer itself (library not open or not loadable).
char layerErr[200] = "No error";
// True while the last failure was raised here rather than by the backend.
bool layerErrLast = false;

void setLayerErr(const char *text) {
    std::snprintf(layerErr, sizeof layerErr, "%s", text);
    layerErrLast = true;
}

// The maker's library, when loaded.
struct Lib {
    void *handle = nullptr;
    DWORD (*Init)(USMC_Devices *) = nullptr;
    DWORD (*GetState)(DWORD, USMC_State *) = nullptr;
    DWORD (*SaveParametersToFlash)(DWORD) = nullptr;
    DWORD (*SetCurrentPosition)(DWORD, int) = nullptr;
    DWORD (*GetMode)(DWORD, USMC_Mode *) = nullptr;
    DWORD (*SetMode)(DWORD, USMC_Mode *) = nullptr;
    DWORD (*GetParameters)(DWORD, USMC_Parameters *) = nullptr;
    DWORD (*SetParameters)(DWORD, USMC_Parameters *) = nullptr;
    DWORD (*GetStartParameters)(DWORD, USMC_StartParameters *) = nullptr;
    DWORD (*Start)(DWORD, int, float *, USMC_StartParameters *) = nullptr;
    void (*GetLastErr)(char *, std::size_t) = nullptr;
    DWORD (*Close)() = nullptr;
    DWORD (*GetEncoderState)(DWORD, USMC_EncoderState *) = nullptr;  // optional
} lib;

template <typename F>
bool resolve(F &fn, const char *name) {
    fn = reinterpret_cast<F>(dlsym(lib.handle, name));
    return fn != nullptr;
}

// Loads the maker's library; false with layerErr set (and reported on stderr) when it is
// missing or incomplete.
bool loadLibrary() {
    const char *path = std::getenv("VRIM_USMC_LIBRARY");
    if (!path || !*path) path = "libusmcdll.so";
    lib = Lib{};
    lib.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    char msg[sizeof layerErr];
    if (!lib.handle) {
        const char *why = dlerror();
        std::snprintf(msg, sizeof msg, "Stage controller library %s cannot be loaded: %s", path,
                      why ? why : "unknown reason");
        setLayerErr(msg);
        std::fprintf(stderr, "%s\n", msg);
        return false;
    }
    const char *missing = nullptr;
    if (!resolve(lib.Init, "USMC_Init")) missing = "USMC_Init";
    else if (!resolve(lib.GetState, "USMC_GetState")) missing = "USMC_GetState";
    else if (!resolve(lib.SaveParametersToFlash, "USMC_SaveParametersToFlash")) missing = "USMC_SaveParametersToFlash";
    else if (!resolve(lib.SetCurrentPosition, "USMC_SetCurrentPosition")) missing = "USMC_SetCurrentPosition";
    else if (!resolve(lib.GetMode, "USMC_GetMode")) missing = "USMC_GetMode";
    else if (!resolve(lib.SetMode, "USMC_SetMode")) missing = "USMC_SetMode";
    else if (!resolve(lib.GetParameters, "USMC_GetParameters")) missing = "USMC_GetParameters";
    else if (!resolve(lib.SetParameters, "USMC_SetParameters")) missing = "USMC_SetParameters";
    else if (!resolve(lib.GetStartParameters, "USMC_GetStartParameters")) missing = "USMC_GetStartParameters";
    else if (!resolve(lib.Start, "USMC_Start")) missing = "USMC_Start";
    else if (!resolve(lib.GetLastErr, "USMC_GetLastErr")) missing = "USMC_GetLastErr";
    else if (!resolve(lib.Close, "USMC_Close")) missing = "USMC_Close";
    if (missing) {
        std::snprintf(msg, sizeof msg, "Stage controller library %s lacks the operation %s", path,
                      missing);
        setLayerErr(msg);
        std::fprintf(stderr, "%s\n", msg);
        dlclose(lib.handle);
        lib = Lib{};
        return false;
    }
    resolve(lib.GetEncoderState, "USMC_GetEncoderState");
    return true;
}

DWORD notOpen() {
    setLayerErr("Stage controller library is not open");
    return USMC_ERR_NOT_OPEN;
}

}  // namespace

void usmc_install_sim_backend(const UsmcBackend *b) { simBackend = b; }

extern "C" {

DWORD USMC_Init(USMC_Devices *Str) {
    if (!Str) {
        setLayerErr("USMC_Init: no device list record");
        return USMC_ERR_ARGUMENT;
    }
    if (backend == Backend::None) {
        const char *station = std::getenv("VRIM_STATION");
        bool wantSim = (simBackend && simBackend->forced()) || (station && std::strcmp(station, "sim") == 0);
        if (wantSim && !simBackend) {
            setLayerErr("Simulated stage controllers are not part of this program");
            std::fprintf(stderr, "%s\n", layerErr);
            Str->NOD = 0;
            return USMC_ERR_LIBRARY;
        }
        if (wantSim) {
            layerErrLast = false;
            DWORD r = simBackend->Init(Str, true);
            if (r == 0) {
                backend = Backend::Sim;
                sim = simBackend;
            } else {
                char text[101] = {0};
                simBackend->GetLastErr(text, sizeof text);
                setLayerErr(text);
            }
            return r;
        }
        if (!loadLibrary()) {
            Str->NOD = 0;
            return USMC_ERR_LIBRARY;
        }
        layerErrLast = false;
        DWORD r = lib.Init(Str);
        if (r == 0) {
            backend = Backend::Lib;
        } else {
            // Keep the library's own text for USMC_GetLastErr before letting it go.
            char text[101] = {0};
            lib.GetLastErr(text, 100);
            text[100] = 0;
            setLayerErr(text);
            dlclose(lib.handle);
            lib = Lib{};
        }
        return r;
    }
    layerErrLast = false;
    return backend == Backend::Sim ? sim->Init(Str, false) : lib.Init(Str);
}

#define USMC_DISPATCH(op, ...)                                            \
    layerErrLast = false;                                                 \
    switch (backend) {                                                    \
    case Backend::Sim: return sim->op(__VA_ARGS__);                       \
    case Backend::Lib: return lib.op(__VA_ARGS__);                        \
    default: return notOpen();                                            \
    }

DWORD USMC_GetState(DWORD Device, USMC_State *Str) { USMC_DISPATCH(GetState, Device, Str) }
DWORD USMC_SaveParametersToFlash(DWORD Device) { USMC_DISPATCH(SaveParametersToFlash, Device) }
DWORD USMC_SetCurrentPosition(DWORD Device, int Position) {
    USMC_DISPATCH(SetCurrentPosition, Device, Position)
}
DWORD USMC_GetMode(DWORD Device, USMC_Mode *Str) { USMC_DISPATCH(GetMode, Device, Str) }
DWORD USMC_SetMode(DWORD Device, USMC_Mode *Str) { USMC_DISPATCH(SetMode, Device, Str) }
DWORD USMC_GetParameters(DWORD Device, USMC_Parameters *Str) {
    USMC_DISPATCH(GetParameters, Device, Str)
}
DWORD USMC_SetParameters(DWORD Device, USMC_Parameters *Str) {
    USMC_DISPATCH(SetParameters, Device, Str)
}
DWORD USMC_GetStartParameters(DWORD Device, USMC_StartParameters *Str) {
    USMC_DISPATCH(GetStartParameters, Device, Str)
}
DWORD USMC_Start(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str) {
    USMC_DISPATCH(Start, Device, DestPos, Speed, Str)
}

DWORD USMC_GetEncoderState(DWORD Device, USMC_EncoderState *Str) {
    if (backend == Backend::Lib && !lib.GetEncoderState) {
        setLayerErr("Stage controller library has no operation USMC_GetEncoderState");
        return USMC_ERR_OPERATION;
    }
    USMC_DISPATCH(GetEncoderState, Device, Str)
}

void USMC_GetLastErr(char *str, std::size_t len) {
    if (!str || len == 0) return;
    if (layerErrLast) {
        std::snprintf(str, len, "%s", layerErr);
        return;
    }
    switch (backend) {
    case Backend::Sim: sim->GetLastErr(str, len); return;
    case Backend::Lib: lib.GetLastErr(str, len); return;
    default:
        std::snprintf(str, len, "%s", layerErr);
        return;
    }
}

DWORD USMC_Close(void) {
    DWORD r = 0;
    switch (backend) {
    case Backend::Sim:
        r = sim->Close();
        sim = nullptr;
        break;
    case Backend::Lib:
        r = lib.Close();
        dlclose(lib.handle);
        lib = Lib{};
        break;
    default: return notOpen();
    }
    backend = Backend::None;
    std::snprintf(layerErr, sizeof layerErr, "%s", "No error");
    layerErrLast = false;
    return r;
}

}  // extern "C"
