// Library layer: dispatches every operation to the backend chosen when the library was opened.
#include "platform/usmc/usmcdll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/core/dynlib.h"
#include "platform/core/guard.h"
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

// The maker's library, when loaded, in its own calling convention.
#define USMC_FN(ret, name, ...) ret(VRIM_USMC_CALL *name)(__VA_ARGS__) = nullptr
struct Lib {
    DynLib *handle = nullptr;
    USMC_FN(DWORD, Init, USMC_Devices *);
    USMC_FN(DWORD, GetState, DWORD, USMC_State *);
    USMC_FN(DWORD, SaveParametersToFlash, DWORD);
    USMC_FN(DWORD, SetCurrentPosition, DWORD, int);
    USMC_FN(DWORD, GetMode, DWORD, USMC_Mode *);
    USMC_FN(DWORD, SetMode, DWORD, USMC_Mode *);
    USMC_FN(DWORD, GetParameters, DWORD, USMC_Parameters *);
    USMC_FN(DWORD, SetParameters, DWORD, USMC_Parameters *);
    USMC_FN(DWORD, GetStartParameters, DWORD, USMC_StartParameters *);
    USMC_FN(DWORD, Start, DWORD, int, float *, USMC_StartParameters *);
    USMC_FN(void, GetLastErr, char *, std::size_t);
    USMC_FN(DWORD, Close);
    USMC_FN(DWORD, GetEncoderState, DWORD, USMC_EncoderState *);  // optional
    USMC_FN(DWORD, Stop, DWORD);                                    // optional
} lib;
#undef USMC_FN

const char kLibName[] = "Stage controller library";

// Every record goes to the maker's library inside a buffer with a guarded tail (see
// platform/core/guard.h); the caller's record is filled from it after the call.
template <typename Rec, typename Call>
DWORD guarded(const char *operation, const char *recordName, Rec *rec, Call call) {
    static GuardedRecord<sizeof(Rec)> buf;
    if (!rec) return call(static_cast<Rec *>(nullptr));
    buf.arm(rec);
    DWORD r = call(static_cast<Rec *>(buf.record()));
    guard_report(kLibName, operation, recordName, sizeof(Rec), buf.overrun());
    buf.take(rec);
    return r;
}

DWORD libInit(USMC_Devices *s) {
    return guarded("USMC_Init", "USMC_Devices", s, [](USMC_Devices *r) { return lib.Init(r); });
}
DWORD libGetState(DWORD d, USMC_State *s) {
    return guarded("USMC_GetState", "USMC_State", s, [d](USMC_State *r) { return lib.GetState(d, r); });
}
DWORD libGetMode(DWORD d, USMC_Mode *s) {
    return guarded("USMC_GetMode", "USMC_Mode", s, [d](USMC_Mode *r) { return lib.GetMode(d, r); });
}
DWORD libSetMode(DWORD d, USMC_Mode *s) {
    return guarded("USMC_SetMode", "USMC_Mode", s, [d](USMC_Mode *r) { return lib.SetMode(d, r); });
}
DWORD libGetParameters(DWORD d, USMC_Parameters *s) {
    return guarded("USMC_GetParameters", "USMC_Parameters", s,
                   [d](USMC_Parameters *r) { return lib.GetParameters(d, r); });
}
DWORD libSetParameters(DWORD d, USMC_Parameters *s) {
    return guarded("USMC_SetParameters", "USMC_Parameters", s,
                   [d](USMC_Parameters *r) { return lib.SetParameters(d, r); });
}
DWORD libGetStartParameters(DWORD d, USMC_StartParameters *s) {
    return guarded("USMC_GetStartParameters", "USMC_StartParameters", s,
                   [d](USMC_StartParameters *r) { return lib.GetStartParameters(d, r); });
}
DWORD libStart(DWORD d, int dest, float *speed, USMC_StartParameters *s) {
    return guarded("USMC_Start", "USMC_StartParameters", s,
                   [d, dest, speed](USMC_StartParameters *r) { return lib.Start(d, dest, speed, r); });
}
DWORD libGetEncoderState(DWORD d, USMC_EncoderState *s) {
    return guarded("USMC_GetEncoderState", "USMC_EncoderState", s,
                   [d](USMC_EncoderState *r) { return lib.GetEncoderState(d, r); });
}
DWORD libSaveParametersToFlash(DWORD d) { return lib.SaveParametersToFlash(d); }
DWORD libSetCurrentPosition(DWORD d, int pos) { return lib.SetCurrentPosition(d, pos); }
DWORD libStop(DWORD d) { return lib.Stop(d); }
// The error text: the library is given len (at most 512) characters of a guarded buffer, and all
// of them come back as it wrote them. A text that fills every character has no terminator in
// those len characters; the caller keeps room for one (cutting the last character instead would
// lose it from a text of exactly len characters).
void libGetLastErr(char *str, std::size_t len) {
    static GuardedRecord<512> buf;
    std::size_t n = len < 512 ? len : 512;
    buf.arm(nullptr);
    std::memset(buf.bytes + n, kGuardPattern, 512 - n + kGuardTail);
    lib.GetLastErr(reinterpret_cast<char *>(buf.bytes), n);
    guard_report(kLibName, "USMC_GetLastErr", "error text", n, guard_overrun(buf.bytes + n, 512 - n + kGuardTail));
    std::memcpy(str, buf.bytes, n);
}

template <typename F>
bool resolve(F &fn, const char *name) {
    return dynlib_function(lib.handle, name, fn);
}

// Loads the maker's library; false with layerErr set (and reported on stderr) when it is
// missing or incomplete.
bool loadLibrary() {
    const char *path = std::getenv("VRIM_USMC_LIBRARY");
    if (!path || !*path) path = VRIM_USMC_DEFAULT_LIBRARY;
    lib = Lib{};
    char why[300] = "";
    lib.handle = dynlib_open(path, why, sizeof why);
    char msg[sizeof layerErr];
    if (!lib.handle) {
        std::snprintf(msg, sizeof msg, "Stage controller library %s cannot be loaded: %s", path, why);
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
        // The system's own words for the missing operation.
        dynlib_symbol(lib.handle, missing, why, sizeof why);
        std::snprintf(msg, sizeof msg, "Stage controller library %s lacks the operation %s: %s", path,
                      missing, why);
        setLayerErr(msg);
        std::fprintf(stderr, "%s\n", msg);
        dynlib_close(lib.handle);
        lib = Lib{};
        return false;
    }
    resolve(lib.GetEncoderState, "USMC_GetEncoderState");
    resolve(lib.Stop, "USMC_Stop");
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
        DWORD r = libInit(Str);
        if (r == 0) {
            backend = Backend::Lib;
        } else {
            // Keep the library's own text for USMC_GetLastErr before letting it go.
            char text[101] = {0};
            libGetLastErr(text, sizeof text - 1);  // the last character stays the terminator
            setLayerErr(text);
            dynlib_close(lib.handle);
            lib = Lib{};
        }
        return r;
    }
    layerErrLast = false;
    return backend == Backend::Sim ? sim->Init(Str, false) : libInit(Str);
}

#define USMC_DISPATCH(op, ...)                                            \
    layerErrLast = false;                                                 \
    switch (backend) {                                                    \
    case Backend::Sim: return sim->op(__VA_ARGS__);                       \
    case Backend::Lib: return lib##op(__VA_ARGS__);                       \
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

DWORD USMC_Stop(DWORD Device) {
    if ((backend == Backend::Lib && !lib.Stop) || (backend == Backend::Sim && !sim->Stop)) {
        setLayerErr("Stage controller library has no operation USMC_Stop");
        return USMC_ERR_OPERATION;
    }
    USMC_DISPATCH(Stop, Device)
}

void USMC_GetLastErr(char *str, std::size_t len) {
    if (!str || len == 0) return;
    if (layerErrLast) {
        std::snprintf(str, len, "%s", layerErr);
        return;
    }
    switch (backend) {
    case Backend::Sim: sim->GetLastErr(str, len); return;
    case Backend::Lib: libGetLastErr(str, len); return;
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
        dynlib_close(lib.handle);
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
