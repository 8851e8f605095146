// A stand-in for the maker's stage controller library, for tests: two controllers that move at
// once, with the records of platform/usmc/usmcdll.h, exported in the library's calling
// convention.
//
// Env VRIM_TESTLIB_OVERRUN=N (read at every call) makes every operation that fills a record
// write N bytes of 0x5A past its end, as a library with longer records would. Env
// VRIM_TESTLIB_ERRTEXT, when set, is the text of the last error. The error text is copied as
// a library may do it: at most len characters, with no terminator when it fills them all.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/core/dynlib.h"
#include "platform/usmc/usmcdll.h"

#if defined(_WIN32)
#define TESTLIB_EXPORT extern "C" __declspec(dllexport)
#else
#define TESTLIB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
const int kDevices = 2;
char serial0[17] = "TESTDLL000000001", serial1[17] = "TESTDLL000000002";
char version0[5] = "9.01", version1[5] = "9.02";
char *serials[kDevices] = {serial0, serial1};
char *versions[kDevices] = {version0, version1};
bool open_ = false;
int position[kDevices];          // microsteps
bool powered[kDevices] = {true, true};
USMC_Parameters params[kDevices];
char lastErr[100] = "No error";

// Writes the requested overrun past a record of size bytes.
void overrun(void *rec, std::size_t size) {
    const char *n = std::getenv("VRIM_TESTLIB_OVERRUN");
    int bytes = n ? std::atoi(n) : 0;
    if (bytes > 0) std::memset(static_cast<char *>(rec) + size, 0x5A, std::size_t(bytes));
}

DWORD check(DWORD dev, const void *rec) {
    if (!open_) {
        std::snprintf(lastErr, sizeof lastErr, "test library not initialised");
        return 1;
    }
    if (dev >= DWORD(kDevices)) {
        std::snprintf(lastErr, sizeof lastErr, "no device %u", unsigned(dev));
        return 2;
    }
    if (!rec) {
        std::snprintf(lastErr, sizeof lastErr, "null record");
        return 3;
    }
    return 0;
}
}  // namespace

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_Init(USMC_Devices *Str) {
    if (!Str) return 3;
    open_ = true;
    Str->NOD = kDevices;
    Str->Serial = serials;
    Str->Version = versions;
    overrun(Str, sizeof *Str);
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_GetState(DWORD Device, USMC_State *Str) {
    if (DWORD e = check(Device, Str)) return e;
    std::memset(Str, 0, sizeof *Str);
    Str->CurPos = position[Device];
    Str->Temp = 25.0f;
    Str->SDivisor = 8;
    Str->Power = powered[Device];
    Str->FullPower = powered[Device];
    Str->Voltage = 12.0f;
    overrun(Str, sizeof *Str);
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_SaveParametersToFlash(DWORD Device) { return check(Device, lastErr); }

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_SetCurrentPosition(DWORD Device, int Position) {
    if (DWORD e = check(Device, lastErr)) return e;
    position[Device] = Position;
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_GetMode(DWORD Device, USMC_Mode *Str) {
    if (DWORD e = check(Device, Str)) return e;
    std::memset(Str, 0, sizeof *Str);
    Str->ResetD = powered[Device] ? FALSE : TRUE;
    overrun(Str, sizeof *Str);
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_SetMode(DWORD Device, USMC_Mode *Str) {
    if (DWORD e = check(Device, Str)) return e;
    powered[Device] = !Str->ResetD;
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_GetParameters(DWORD Device, USMC_Parameters *Str) {
    if (DWORD e = check(Device, Str)) return e;
    *Str = params[Device];
    overrun(Str, sizeof *Str);
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_SetParameters(DWORD Device, USMC_Parameters *Str) {
    if (DWORD e = check(Device, Str)) return e;
    params[Device] = *Str;
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_GetStartParameters(DWORD Device, USMC_StartParameters *Str) {
    if (DWORD e = check(Device, Str)) return e;
    std::memset(Str, 0, sizeof *Str);
    Str->SDivisor = 8;
    Str->SlStart = TRUE;
    overrun(Str, sizeof *Str);
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_Start(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str) {
    if (DWORD e = check(Device, Str)) return e;
    if (!Speed) return 3;
    if (!powered[Device]) {
        std::snprintf(lastErr, sizeof lastErr, "motor power is off");
        return 4;
    }
    position[Device] = DestPos;  // arrives at once
    return 0;
}

TESTLIB_EXPORT void VRIM_USMC_CALL USMC_GetLastErr(char *str, std::size_t len) {
    const char *text = std::getenv("VRIM_TESTLIB_ERRTEXT");
    if (str && len) std::strncpy(str, text ? text : lastErr, len);
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_Stop(DWORD Device) { return check(Device, lastErr); }

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_Close(void) {
    open_ = false;
    return 0;
}

TESTLIB_EXPORT DWORD VRIM_USMC_CALL USMC_GetEncoderState(DWORD Device, USMC_EncoderState *Str) {
    if (DWORD e = check(Device, Str)) return e;
    Str->EncoderPos = position[Device] / 2;
    Str->ECurPos = position[Device] / 2;
    overrun(Str, sizeof *Str);
    return 0;
}
