// Simulated stepper-motor controllers: parameters, mode, start parameters and state as the
// library records hold them, motion with ramps and limit switches on the program clock, delayed
// power-off, flash kept across a re-open, and faults on request.
#include "sim/uSMC/usmc_sim.h"

#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/printf_check.h"
#include "platform/usmc/usmc_backend.h"
#include "sim/uSMC/usmc_flash.h"

namespace {

constexpr int kMaxCtl = 16;
constexpr std::size_t kMaxCallLog = 1u << 20;  // characters; later calls are not logged
constexpr std::size_t kMaxStartLog = 10000;
// Default switch positions (physical microsteps). The negative switch lies just below 0, so a
// homing from anywhere up to 495000 reaches it and the new zero falls on physical 0: program
// and physical coordinates then agree. The positive one leaves room for a grid up to ~400000.
constexpr double kNegativeSwitch = -5000.0;
constexpr double kPositiveSwitch = 450000.0;

const char *const kDefaultSerials[] = {"0000000000004925", "0000000000006030",
                                       "0000000000002894", "0000000000001111"};

struct Ctl {
    char serial[17] = {0};
    char version[5] = "2.41";
    bool missing = false;
    USMC_Parameters par{};
    USMC_Mode mode{};
    USMC_StartParameters sp{};
    // Motion. The carriage position is phys (microsteps, double for the ramps); a move runs
    // from moveFrom towards moveTo along a trapezoidal profile started at moveT0 (program s).
    double phys = 0;
    bool moving = false;
    bool runStuck = false;  // RUN kept TRUE after the carriage stopped (fault)
    double moveFrom = 0, moveTo = 0, moveT0 = 0;
    double vmax = 0;             // microsteps/s
    double acc = 0, dec = 0;     // microsteps/s^2; 0 = no ramp
    double tAcc = 0, tCruise = 0, tDec = 0, vPeak = 0;
    double stopAt = 0;           // switch position ending the move, or NAN
    bool stopAtSwitch = false;
    long long offset = 0;         // microsteps; counter = round(phys) - offset, kept to 32 bits
    bool areset = true;
    BYTE lastDivisor = 8;
    bool lastNegative = false;
    double idleSince = 0;         // program s, for the power reduction timeout
    double powerOffAt = -1;       // program s when power goes off after ResetD; -1 none
    bool powered = true;
    bool stuckMotor = false, stuckPower = false;
    bool startFails = false;  // every USMC_Start on it fails (fault)
    double negSw = kNegativeSwitch, posSw = kPositiveSwitch;  // microsteps, physical
};

struct Fault {
    int skip = 0;
    DWORD code = 0;
    int times = 0;  // -1 = for ever
};

std::mutex mu;
bool forcedOn = false;
Ctl ctl[kMaxCtl];
int nCtl = 0;
int listed[kMaxCtl];  // device number -> controller slot
int nListed = 0;
char *serialPtr[kMaxCtl];
char *versionPtr[kMaxCtl];
bool libOpen = false;  // between USMC_Init and USMC_Close
char lastErr[101] = "No error";
FlashMap flash;
std::map<std::string, Fault> faults;
std::string callLog;
std::vector<UsmcSimStart> startLog;
double powerOffDelay = 0.2;  // program s
float maxSpeed = 50000.0f;   // tacts/s

void setErr(const char *fmt, ...) VRIM_PRINTF(1, 2);
void setErr(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(lastErr, sizeof lastErr, fmt, ap);
    va_end(ap);
}

void factoryParameters(USMC_Parameters &p) {
    p = USMC_Parameters{};
    p.AccelT = 100; p.DecelT = 100; p.PTimeout = 100;
    p.BTimeout1 = p.BTimeout2 = p.BTimeout3 = p.BTimeout4 = 500;
    p.BTimeoutR = 500; p.BTimeoutD = 100;
    p.MinP = 500; p.BTO1P = 100; p.BTO2P = 200; p.BTO3P = 300; p.BTO4P = 600;
    p.MaxLoft = 32; p.StartPos = 0; p.RTDelta = 200; p.RTMinError = 15;
    p.MaxTemp = 70; p.SynOUTP = 1; p.LoftPeriod = 500; p.EncMult = 2.5f;
}

void factoryMode(USMC_Mode &m) {
    m = USMC_Mode{};
    m.PMode = TRUE; m.PReg = TRUE; m.Tr1En = TRUE; m.Tr2En = TRUE;
    m.SyncCount = 4;
}

void factoryStart(USMC_StartParameters &s) {
    s = USMC_StartParameters{};
    s.SDivisor = 8; s.DefDir = FALSE; s.LoftEn = FALSE; s.SlStart = TRUE;
}

void defaultCtl(Ctl &c, const char *serial) {
    c = Ctl{};
    std::snprintf(c.serial, sizeof c.serial, "%.16s", serial);
    factoryParameters(c.par);
    factoryMode(c.mode);
    factoryStart(c.sp);
    c.idleSince = Timer();
}

void defaults() {
    nCtl = 4;
    for (int i = 0; i < nCtl; ++i) defaultCtl(ctl[i], kDefaultSerials[i]);
    nListed = 0;
}

struct Init_ {
    Init_() { defaults(); }
} init_;

Ctl *bySerial(const char *serial16) {
    if (!serial16) return nullptr;
    for (int i = 0; i < nCtl; ++i)
        if (std::strncmp(ctl[i].serial, serial16, 16) == 0) return &ctl[i];
    return nullptr;
}

// ---- motion --------------------------------------------------------------------------------

// Distance covered t seconds after the start of the present profile.
double travelled(const Ctl &c, double t) {
    if (t <= 0) return 0;
    if (t < c.tAcc) return 0.5 * c.acc * t * t;
    double s = c.acc > 0 ? 0.5 * c.vPeak * c.tAcc : 0;
    t -= c.tAcc;
    if (t < c.tCruise) return s + c.vPeak * t;
    s += c.vPeak * c.tCruise;
    t -= c.tCruise;
    if (t < c.tDec) return s + c.vPeak * t - 0.5 * c.dec * t * t;
    return std::fabs(c.moveTo - c.moveFrom);
}

void finishMove(Ctl &c, double at, double now) {
    c.phys = at;
    c.moving = false;
    c.runStuck = c.stuckMotor;
    c.idleSince = now;
}

// Brings a controller up to the present program time: motion, switches and power.
void update(Ctl &c) {
    double now = Timer();
    if (c.moving) {
        double dist = std::fabs(c.moveTo - c.moveFrom);
        double s = travelled(c, now - c.moveT0);
        double dir = c.moveTo < c.moveFrom ? -1.0 : 1.0;
        if (c.stopAtSwitch && s >= std::fabs(c.stopAt - c.moveFrom)) {
            finishMove(c, c.stopAt, now);
        } else if (s >= dist) {
            finishMove(c, c.moveTo, now);
        } else {
            c.phys = c.moveFrom + dir * s;
        }
    }
    if (c.powerOffAt >= 0 && now >= c.powerOffAt && !c.stuckPower) {
        c.powered = false;
        c.powerOffAt = -1;
    }
}

// Which physical switch (negative end or positive end) the controller sees as trailer 1/2.
bool negativeSwitchEnabled(const Ctl &c) { return c.mode.TrSwap ? c.mode.Tr2En : c.mode.Tr1En; }
bool positiveSwitchEnabled(const Ctl &c) { return c.mode.TrSwap ? c.mode.Tr1En : c.mode.Tr2En; }
bool atNegative(const Ctl &c) { return c.phys <= c.negSw; }
bool atPositive(const Ctl &c) { return c.phys >= c.posSw; }

void stopMotion(Ctl &c) {
    if (c.moving) finishMove(c, c.phys, Timer());
    c.runStuck = false;
}

// ---- call bookkeeping ----------------------------------------------------------------------

void logCall(const char *op, long device) {
    if (callLog.size() >= kMaxCallLog) return;
    callLog += op;
    if (device >= 0) callLog += " " + std::to_string(device);
    callLog += "\n";
}

// Nonzero when a failure of this operation was requested for this call.
DWORD injected(const char *op) {
    auto it = faults.find(op);
    if (it == faults.end()) return 0;
    Fault &f = it->second;
    if (f.times == 0) return 0;
    if (f.skip > 0) {
        --f.skip;
        return 0;
    }
    if (f.times > 0) --f.times;
    setErr("%s failed (simulated fault, code 0x%X)", op, unsigned(f.code));
    return f.code;
}

// Common entry of every device operation: log, open check, injected fault, device check.
DWORD enter(const char *op, DWORD device, Ctl **c) {
    logCall(op, long(device));
    if (!libOpen) {
        setErr("%s: the library is not initialised", op);
        return USMC_ERR_NOT_OPEN;
    }
    if (DWORD r = injected(op)) return r;
    if (device >= DWORD(nListed)) {
        setErr("%s: device %u does not exist", op, unsigned(device));
        return USMC_ERR_DEVICE;
    }
    *c = &ctl[listed[device]];
    if ((*c)->missing) {
        setErr("%s: device %u does not answer (unplugged)", op, unsigned(device));
        return USMC_ERR_DEVICE;
    }
    update(**c);
    return 0;
}

// The 32-bit position counter; it wraps like the controller's own.
int counter(const Ctl &c) { return int(std::llround(c.phys) - c.offset); }

bool finiteNonNegative(float v) { return std::isfinite(v) && v >= 0; }

}  // namespace

// ---- backend --------------------------------------------------------------------------------

namespace usmcsim {

bool forced() {
    std::lock_guard<std::mutex> lock(mu);
    return forcedOn;
}

DWORD Init(USMC_Devices *Str, bool powerUp) {
    std::lock_guard<std::mutex> lock(mu);
    logCall("USMC_Init", -1);
    if (DWORD r = injected("USMC_Init")) {
        Str->NOD = 0;
        return r;
    }
    if (powerUp) {
        // Controllers come up as after switching on: flash parameters, factory mode.
        usmc_flash_read(flash);
        double now = Timer();
        for (int i = 0; i < nCtl; ++i) {
            Ctl &c = ctl[i];
            update(c);
            stopMotion(c);
            auto it = flash.find(c.serial);
            if (it != flash.end() && it->second.saved) c.par = it->second.par;
            else factoryParameters(c.par);
            if (it != flash.end() && it->second.hasPhys) c.phys = it->second.phys;
            factoryMode(c.mode);
            factoryStart(c.sp);
            c.powered = true;
            c.powerOffAt = -1;
            c.areset = true;
            c.idleSince = now;
            c.offset = std::llround(c.phys) - int(c.par.StartPos);
        }
    }
    nListed = 0;
    for (int i = 0; i < nCtl; ++i) {
        if (ctl[i].missing) continue;
        serialPtr[nListed] = ctl[i].serial;
        versionPtr[nListed] = ctl[i].version;
        listed[nListed++] = i;
    }
    Str->NOD = DWORD(nListed);
    Str->Serial = serialPtr;
    Str->Version = versionPtr;
    libOpen = true;
    return 0;
}

DWORD GetState(DWORD Device, USMC_State *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_GetState", Device, &c)) return r;
    if (!Str) return setErr("USMC_GetState: no record"), USMC_ERR_ARGUMENT;
    double now = Timer();
    USMC_State s{};
    s.CurPos = counter(*c);
    bool reduced = c->mode.PReg && !c->moving && (now - c->idleSince) * 1000.0 > c->par.PTimeout;
    s.FullPower = c->powered && !reduced;
    s.Power = c->powered;
    s.Temp = float(28.0 + (c->powered ? (s.FullPower ? 8.5 : 4.25) : 0.0));
    s.Voltage = 12.0f;
    s.SDivisor = c->lastDivisor;
    s.Loft = FALSE;
    s.CW_CCW = c->lastNegative;
    s.RUN = c->moving || c->runStuck;
    s.FullSpeed = c->moving && (now - c->moveT0) >= c->tAcc && (now - c->moveT0) < c->tAcc + c->tCruise;
    s.AReset = c->areset;
    bool neg = atNegative(*c), pos = atPositive(*c);
    s.Trailer1 = c->mode.TrSwap ? pos : neg;
    s.Trailer2 = c->mode.TrSwap ? neg : pos;
    *Str = s;
    return 0;
}

DWORD SaveParametersToFlash(DWORD Device) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_SaveParametersToFlash", Device, &c)) return r;
    Flash &fl = flash[c->serial];
    fl.saved = true;
    fl.par = c->par;
    if (usmc_flash_path()) {
        fl.hasPhys = true;
        fl.phys = int(std::lround(c->phys));
        usmc_flash_write(flash);
    }
    return 0;
}

DWORD SetCurrentPosition(DWORD Device, int Position) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_SetCurrentPosition", Device, &c)) return r;
    c->offset = std::llround(c->phys) - Position;
    c->areset = false;
    return 0;
}

DWORD GetMode(DWORD Device, USMC_Mode *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_GetMode", Device, &c)) return r;
    if (!Str) return setErr("USMC_GetMode: no record"), USMC_ERR_ARGUMENT;
    *Str = c->mode;
    return 0;
}

DWORD SetMode(DWORD Device, USMC_Mode *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_SetMode", Device, &c)) return r;
    if (!Str) return setErr("USMC_SetMode: no record"), USMC_ERR_ARGUMENT;
    bool wasOff = c->mode.ResetD != 0;
    c->mode = *Str;
    if (c->mode.ResetD && !wasOff) {
        // Removing power stops the motor; the power stage reports off a little later.
        stopMotion(*c);
        c->powerOffAt = Timer() + powerOffDelay;
    } else if (!c->mode.ResetD) {
        c->powered = true;
        c->powerOffAt = -1;
        c->idleSince = Timer();
    }
    return 0;
}

DWORD GetParameters(DWORD Device, USMC_Parameters *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_GetParameters", Device, &c)) return r;
    if (!Str) return setErr("USMC_GetParameters: no record"), USMC_ERR_ARGUMENT;
    *Str = c->par;
    return 0;
}

DWORD SetParameters(DWORD Device, USMC_Parameters *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_SetParameters", Device, &c)) return r;
    if (!Str) return setErr("USMC_SetParameters: no record"), USMC_ERR_ARGUMENT;
    const USMC_Parameters &p = *Str;
    const float times[] = {p.AccelT, p.DecelT, p.PTimeout, p.BTimeout1, p.BTimeout2, p.BTimeout3,
                           p.BTimeout4, p.BTimeoutR, p.BTimeoutD, p.MinP, p.BTO1P, p.BTO2P,
                           p.BTO3P, p.BTO4P, p.MaxTemp, p.LoftPeriod};
    for (float v : times)
        if (!finiteNonNegative(v))
            return setErr("USMC_SetParameters: a parameter is negative or not a number"),
                   USMC_ERR_ARGUMENT;
    if (!(std::isfinite(p.EncMult) && p.EncMult > 0))
        return setErr("USMC_SetParameters: EncMult must be positive"), USMC_ERR_ARGUMENT;
    c->par = p;
    return 0;
}

DWORD GetStartParameters(DWORD Device, USMC_StartParameters *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_GetStartParameters", Device, &c)) return r;
    if (!Str) return setErr("USMC_GetStartParameters: no record"), USMC_ERR_ARGUMENT;
    *Str = c->sp;
    return 0;
}

DWORD Start(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_Start", Device, &c)) return r;
    if (!Speed || !Str) return setErr("USMC_Start: no speed or start parameters"), USMC_ERR_ARGUMENT;
    if (c->startFails)
        return setErr("USMC_Start: device %u: start failed (simulated fault)", unsigned(Device)),
               USMC_ERR_INJECTED;
    BYTE div = Str->SDivisor;
    if (div != 1 && div != 2 && div != 4 && div != 8)
        return setErr("USMC_Start: step divisor %u is not 1, 2, 4 or 8", unsigned(div)),
               USMC_ERR_ARGUMENT;
    if (!(std::isfinite(*Speed) && *Speed > 0))
        return setErr("USMC_Start: speed must be positive"), USMC_ERR_ARGUMENT;
    if (c->mode.ResetD || !c->powered)
        return setErr("USMC_Start: device %u: motor power is off", unsigned(Device)),
               USMC_ERR_POWER;
    if (*Speed > maxSpeed) *Speed = maxSpeed;
    c->sp = *Str;
    stopMotion(*c);
    double now = Timer();
    double destPhys = double(DestPos) + double(c->offset);
    Ctl &m = *c;
    m.moveFrom = m.phys;
    m.moveTo = destPhys;
    m.moveT0 = now;
    m.lastDivisor = div;
    m.lastNegative = destPhys < m.phys;
    m.vmax = double(*Speed) * 8.0 / div;
    bool ramps = Str->SlStart != 0;
    m.acc = (ramps && m.par.AccelT > 0) ? m.vmax / (m.par.AccelT / 1000.0) : 0;
    m.dec = (ramps && m.par.DecelT > 0) ? m.vmax / (m.par.DecelT / 1000.0) : 0;
    double dist = std::fabs(destPhys - m.phys);
    double dA = m.acc > 0 ? m.vmax * m.vmax / (2 * m.acc) : 0;
    double dD = m.dec > 0 ? m.vmax * m.vmax / (2 * m.dec) : 0;
    m.vPeak = m.vmax;
    if (dA + dD > dist) {
        // No room for full speed: a triangular profile.
        double inv = (m.acc > 0 ? 1 / m.acc : 0) + (m.dec > 0 ? 1 / m.dec : 0);
        m.vPeak = std::sqrt(2 * dist / inv);
        dA = m.acc > 0 ? m.vPeak * m.vPeak / (2 * m.acc) : 0;
        dD = dist - dA;
    }
    m.tAcc = m.acc > 0 ? m.vPeak / m.acc : 0;
    m.tDec = m.dec > 0 ? m.vPeak / m.dec : 0;
    m.tCruise = m.vPeak > 0 ? (dist - dA - dD) / m.vPeak : 0;
    if (m.tCruise < 0) m.tCruise = 0;
    // An enabled switch in the way ends the move there.
    m.stopAtSwitch = false;
    if (destPhys < m.phys && negativeSwitchEnabled(m) && destPhys < m.negSw) {
        m.stopAtSwitch = true;
        m.stopAt = m.phys < m.negSw ? m.phys : m.negSw;
    } else if (destPhys > m.phys && positiveSwitchEnabled(m) && destPhys > m.posSw) {
        m.stopAtSwitch = true;
        m.stopAt = m.phys > m.posSw ? m.phys : m.posSw;
    }
    m.moving = dist > 0;
    m.runStuck = !m.moving && m.stuckMotor;
    if (startLog.size() < kMaxStartLog)
        startLog.push_back({int(Device), counter(m), DestPos, *Speed, div});
    update(m);
    return 0;
}

void GetLastErr(char *str, std::size_t len) {
    std::lock_guard<std::mutex> lock(mu);
    logCall("USMC_GetLastErr", -1);
    std::snprintf(str, len, "%s", lastErr);
}

DWORD Close() {
    std::lock_guard<std::mutex> lock(mu);
    logCall("USMC_Close", -1);
    if (usmc_flash_path()) {
        // The carriages stay where they are until the next run.
        for (int i = 0; i < nCtl; ++i) {
            update(ctl[i]);
            Flash &fl = flash[ctl[i].serial];
            fl.hasPhys = true;
            fl.phys = int(std::lround(ctl[i].phys));
        }
        usmc_flash_write(flash);
    }
    libOpen = false;
    nListed = 0;
    return 0;
}

DWORD GetEncoderState(DWORD Device, USMC_EncoderState *Str) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_GetEncoderState", Device, &c)) return r;
    if (!Str) return setErr("USMC_GetEncoderState: no record"), USMC_ERR_ARGUMENT;
    int cur = counter(*c);
    Str->ECurPos = int(std::lround(cur * double(c->par.EncMult)));
    Str->EncoderPos = Str->ECurPos;
    return 0;
}

// Stops the motor at once, as the controller's stop does: the carriage stays where it is and RUN
// reads FALSE, a stuck RUN included.
DWORD Stop(DWORD Device) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c;
    if (DWORD r = enter("USMC_Stop", Device, &c)) return r;
    stopMotion(*c);
    return 0;
}

const UsmcBackend kBackend = {forced,        Init,          GetState,           SaveParametersToFlash,
                               SetCurrentPosition, GetMode,   SetMode,            GetParameters,
                               SetParameters, GetStartParameters, Start,          GetLastErr,
                               Close,         GetEncoderState, Stop};

}  // namespace usmcsim

// ---- test and station hooks ------------------------------------------------------------------

void usmc_sim_install() { usmc_install_sim_backend(&usmcsim::kBackend); }

void usmc_sim_select(bool on) {
    usmc_sim_install();
    std::lock_guard<std::mutex> lock(mu);
    forcedOn = on;
}

void usmc_sim_reset() {
    usmc_sim_install();
    std::lock_guard<std::mutex> lock(mu);
    defaults();
    libOpen = false;
    flash.clear();
    faults.clear();
    callLog.clear();
    startLog.clear();
    powerOffDelay = 0.2;
    maxSpeed = 50000.0f;
    std::snprintf(lastErr, sizeof lastErr, "No error");
}

bool usmc_sim_position(const char *serial16, int *microsteps) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c || !microsteps) return false;
    update(*c);
    *microsteps = int(std::lround(c->phys));
    return true;
}

bool usmc_sim_powered(const char *serial16) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    update(*c);
    return c->powered;
}

void usmc_sim_set_devices(const char *const *serials, int count) {
    std::lock_guard<std::mutex> lock(mu);
    if (count < 0) count = 0;
    if (count > kMaxCtl) count = kMaxCtl;
    nCtl = count;
    for (int i = 0; i < nCtl; ++i) defaultCtl(ctl[i], serials[i] ? serials[i] : "");
}

bool usmc_sim_set_position(const char *serial16, int microsteps) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    update(*c);
    stopMotion(*c);
    c->phys = microsteps;
    return true;
}

bool usmc_sim_set_limits(const char *serial16, int negative, int positive) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c || negative >= positive) return false;
    c->negSw = negative;
    c->posSw = positive;
    return true;
}

bool usmc_sim_set_missing(const char *serial16, bool missing) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    c->missing = missing;
    return true;
}

void usmc_sim_fail(const char *operation, int skip, unsigned code, int times) {
    std::lock_guard<std::mutex> lock(mu);
    if (!operation) return;
    faults[operation] = Fault{skip < 0 ? 0 : skip, code ? DWORD(code) : DWORD(USMC_ERR_INJECTED),
                              times};
}

bool usmc_sim_set_stuck_motor(const char *serial16, bool stuck) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    update(*c);
    c->stuckMotor = stuck;
    if (!stuck) c->runStuck = false;
    return true;
}

bool usmc_sim_set_start_fails(const char *serial16, bool fails) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    c->startFails = fails;
    return true;
}

bool usmc_sim_set_stuck_power(const char *serial16, bool stuck) {
    std::lock_guard<std::mutex> lock(mu);
    Ctl *c = bySerial(serial16);
    if (!c) return false;
    update(*c);
    c->stuckPower = stuck;
    return true;
}

void usmc_sim_set_power_off_delay(double seconds) {
    std::lock_guard<std::mutex> lock(mu);
    powerOffDelay = seconds < 0 ? 0 : seconds;
}

void usmc_sim_set_max_speed(float tactsPerSecond) {
    std::lock_guard<std::mutex> lock(mu);
    if (tactsPerSecond > 0) maxSpeed = tactsPerSecond;
}

int usmc_sim_starts(UsmcSimStart *out, int max) {
    std::lock_guard<std::mutex> lock(mu);
    int n = int(startLog.size());
    for (int i = 0; out && i < n && i < max; ++i) out[i] = startLog[size_t(i)];
    return n;
}

std::size_t usmc_sim_calls(char *out, std::size_t size) {
    std::lock_guard<std::mutex> lock(mu);
    if (out && size > 0) std::snprintf(out, size, "%s", callLog.c_str());
    return callLog.size();
}

void usmc_sim_clear_logs() {
    std::lock_guard<std::mutex> lock(mu);
    callLog.clear();
    startLog.clear();
}
