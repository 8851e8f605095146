// Stage controller driver over the controllers' library: discovery, presets, power, moves,
// homing and the console reports.
#include "instr/uSMC/uSMC.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/core/clock.h"

namespace {

constexpr int kMaxDevices = 4;  // the driver keeps records for four controllers

int ierr = 0;           // code of the last library call or driver step examined
float Speed = 15000.0f; // tacts/s, working speed of every move, shared by all nodes
USMC_Devices Devices = {0, nullptr, nullptr};
USMC_StartParameters DStartPar[kMaxDevices];  // start parameters of each device's last move
USMC_Parameters DPar[kMaxDevices];            // working copies of the parameters
USMC_State DState[kMaxDevices];               // state last read
USMC_Mode DMode[kMaxDevices];                 // working copies of the mode

// Homing.
constexpr float kFastApproach = 10000.0f;  // tacts/s
constexpr float kSlowApproach = 500.0f;    // tacts/s
constexpr int kApproachDest = -500000;     // microsteps
constexpr int kBackOff = 5000;             // microsteps

// Bounds of the waits that the controller ends (program seconds). Generous: the longest move the
// program makes, a homing approach over 500000 microsteps at 10000 tacts/s, takes about 50 s.
double moveLimit = -1;      // s, one move from start to stop
double powerOffLimit = -1;  // s, ResetD until the controller reports power off

int (*breakWanted)(void) = nullptr;  // asked at every poll of a move's wait

bool breakNow() { return breakWanted && breakWanted() != 0; }

double envSeconds(const char *name, double fallback) {
    const char *v = std::getenv(name);
    if (!v || !*v) return fallback;
    char *end = nullptr;
    double d = std::strtod(v, &end);
    return (end != v && d > 0) ? d : fallback;
}

void loadLimits() {
    if (moveLimit <= 0) moveLimit = envSeconds("VRIM_USMC_MOVE_LIMIT", 900.0);
    if (powerOffLimit <= 0) powerOffLimit = envSeconds("VRIM_USMC_POWEROFF_LIMIT", 10.0);
}

// A node names a record and a listed controller only from 1 to 4 and up to the list's length.
bool badNode(int node) {
    if (node < 1 || node > kMaxDevices || node > int(Devices.NOD)) {
        ierr = uSMC_ERR_NODE;
        return true;
    }
    return false;
}

// The limit-switch mode: both switches enabled, TRUE state 0 V, not swapped, encoder off.
void limitSwitchMode(USMC_Mode &m) {
    m.Tr1T = FALSE;
    m.Tr2T = FALSE;
    m.Tr1En = TRUE;
    m.Tr2En = TRUE;
    m.TrSwap = FALSE;
    m.EncoderEn = FALSE;
}

void preset1(USMC_Parameters &p) {
    p.AccelT = 200; p.DecelT = 200; p.PTimeout = 1;
    p.BTimeout1 = 500; p.BTimeout2 = 500; p.BTimeout3 = 500; p.BTimeout4 = 500;
    p.BTimeoutR = 500;
    p.MinP = 60; p.BTO1P = 10; p.BTO2P = 20; p.BTO3P = 30; p.BTO4P = 60;
    p.MaxLoft = 32; p.RTDelta = 200; p.RTMinError = 15;
    p.MaxTemp = 70; p.SynOUTP = 1; p.LoftPeriod = 50; p.EncMult = 1;
}

void preset2(USMC_Parameters &p) {
    p.AccelT = 200; p.DecelT = 200; p.PTimeout = 100;
    p.BTimeout1 = 500; p.BTimeout2 = 500; p.BTimeout3 = 500; p.BTimeout4 = 500;
    p.BTimeoutR = 500;
    p.MinP = 500; p.BTO1P = 100; p.BTO2P = 200; p.BTO3P = 300; p.BTO4P = 600;
    p.MaxLoft = 32; p.RTDelta = 200; p.RTMinError = 15;
    p.MaxTemp = 70; p.SynOUTP = 1; p.LoftPeriod = 500; p.EncMult = 2.5f;
}

const char *level(BOOL b) { return b ? "+3/+5 V" : "0 V(GND)"; }
const char *tf(BOOL b) { return b ? "TRUE" : "FALSE"; }
const char *pushed(BOOL b) { return b ? "Pushed" : "Unpushed"; }

}  // namespace

// ---- discovery, presets, power ---------------------------------------------------------------

int uSMC_Open(void) {
    ierr = int(USMC_Init(&Devices));
    if (ierr != 0) {
        Devices.NOD = 0;  // a failed open lists nothing
        return ierr;
    }
    uSMC_PrintDevices();
    return 0;
}

int uSMC_FindSerial(const char *serial) {
    if (!serial || !Devices.Serial) return -1;
    for (DWORD i = 0; i < Devices.NOD; ++i) {
        if (Devices.Serial[i] && std::strncmp(Devices.Serial[i], serial, 16) == 0) return int(i);
    }
    return -1;
}

int uSMC_SetParameters(int node, int stageType) {
    if (badNode(node)) return ierr;
    bool saveToFlash = false;
    int dev = node - 1;
    ierr = int(USMC_GetParameters(DWORD(dev), &DPar[dev]));
    if (ierr) return ierr;
    switch (stageType) {
    case -1: saveToFlash = true; [[fallthrough]];
    case 1: preset1(DPar[dev]); break;
    case -2: saveToFlash = true; [[fallthrough]];
    case 2: preset2(DPar[dev]); break;
    default: break;
    }
    ierr = int(USMC_SetParameters(DWORD(dev), &DPar[dev]));
    if (ierr) return ierr;
    if (saveToFlash) {
        ierr = int(USMC_SaveParametersToFlash(DWORD(dev)));
        if (ierr) return ierr;
        PrintDParameters(&DPar[dev]);
        std::printf("\nThese Parameters were Saved to Flash");
        std::fflush(stdout);
    }
    return 0;
}

int uSMC_Init(int node, int type) {
    if (badNode(node)) return ierr;
    int dev = node - 1;
    ierr = uSMC_SetParameters(node, type);
    if (ierr) return ierr;
    if (type == 1 || type == -1) {
        ierr = int(USMC_GetMode(DWORD(dev), &DMode[dev]));
        if (ierr) return ierr;
        limitSwitchMode(DMode[dev]);
        ierr = int(USMC_SetMode(DWORD(dev), &DMode[dev]));
        if (ierr) return ierr;
    }
    ierr = uSMC_PowerOn(node);
    if (ierr) return ierr;
    return 0;
}

int uSMC_PowerOn(int node) {
    if (badNode(node)) return ierr;
    int dev = node - 1;
    ierr = int(USMC_GetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return ierr;
    DMode[dev].ResetD = FALSE;
    ierr = int(USMC_SetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return ierr;
    return 0;
}

int uSMC_PowerOffSave(int node, int saveToFlash) {
    if (badNode(node)) return ierr;
    loadLimits();
    int dev = node - 1;
    if (saveToFlash) {
        ierr = int(USMC_GetParameters(DWORD(dev), &DPar[dev]));
        if (ierr) return ierr;
    }
    ierr = int(USMC_GetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return ierr;
    DMode[dev].ResetD = TRUE;
    ierr = int(USMC_SetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return ierr;
    // The power stage takes a moment to switch off; the position is read once it has.
    double start = Timer();
    do {
        SleepMs(50);
        ierr = int(USMC_GetState(DWORD(dev), &DState[dev]));
        if (ierr) return ierr;
        if (DState[dev].Power && Timer() - start > powerOffLimit) {
            ierr = uSMC_ERR_TIMEOUT;
            return ierr;
        }
    } while (DState[dev].Power);
    if (saveToFlash) {
        DPar[dev].StartPos = DWORD(DState[dev].CurPos);
        ierr = int(USMC_SetParameters(DWORD(dev), &DPar[dev]));
        if (ierr) return ierr;
        ierr = int(USMC_SaveParametersToFlash(DWORD(dev)));
        if (ierr) return ierr;
    }
    return 0;
}

int uSMC_PowerOff(int node) {
    ierr = uSMC_PowerOffSave(node, 0);
    if (ierr) return ierr;
    return 0;
}

int uSMC_RevertStartPosition(int node) {
    if (badNode(node)) return ierr;
    int dev = node - 1;
    ierr = int(USMC_GetParameters(DWORD(dev), &DPar[dev]));
    if (ierr) return ierr;
    DPar[dev].StartPos = 0;
    ierr = int(USMC_SetParameters(DWORD(dev), &DPar[dev]));
    if (ierr) return ierr;
    ierr = int(USMC_SaveParametersToFlash(DWORD(dev)));
    if (ierr) return ierr;
    std::printf("\nStart Position is Reset to 0\n");
    std::fflush(stdout);
    return 0;
}

int uSMC_Reset(int node) { return 0; }

void uSMC_Close(void) {
    USMC_Close();
    // The list's strings belong to the library and are gone with it.
    Devices.NOD = 0;
    Devices.Serial = nullptr;
    Devices.Version = nullptr;
}

// ---- motion ------------------------------------------------------------------------------------

int uSMC_MoveTo(int node, int dest) {
    if (badNode(node)) return ierr;
    loadLimits();
    int dev = node - 1;
    // An end already asked for starts nothing.
    if (breakNow()) {
        ierr = uSMC_ERR_BROKEN;
        return ierr;
    }
    ierr = int(USMC_GetStartParameters(DWORD(dev), &DStartPar[dev]));
    if (ierr) return ierr;
    DStartPar[dev].SDivisor = 8;
    DStartPar[dev].SlStart = TRUE;
    DStartPar[dev].LoftEn = FALSE;
    DStartPar[dev].WSyncIN = FALSE;
    ierr = int(USMC_Start(DWORD(dev), dest, &Speed, &DStartPar[dev]));
    if (ierr) return ierr;
    // The first progress line comes one to two clock seconds after the start, then one a second.
    long long lastPrinted = clock_wall_seconds() + 1;
    double start = Timer();
    do {
        Delay(0.01);
        ierr = int(USMC_GetState(DWORD(dev), &DState[dev]));
        if (ierr) return ierr;
        long long now = clock_wall_seconds();
        if (now > lastPrinted) {
            const USMC_State &s = DState[dev];
            std::printf("%d CurPos %d L%d R%d Rot%d %s %s\n", node, s.CurPos, int(s.Trailer1),
                        int(s.Trailer2), int(s.RotTr), s.RUN ? "Run" : "Stopped",
                        s.Power ? "On" : "Off");
            std::fflush(stdout);
            lastPrinted = now;
        }
        // Asked while the motor runs only: a move that has just ended is done, not broken off.
        if (DState[dev].RUN && breakNow()) {
            ierr = int(USMC_Stop(DWORD(dev)));
            if (ierr == 0) ierr = uSMC_ERR_BROKEN;
            return ierr;
        }
        if (DState[dev].RUN && Timer() - start > moveLimit) {
            ierr = uSMC_ERR_TIMEOUT;
            return ierr;
        }
    } while (DState[dev].RUN);
    return 0;
}

int uSMC_MoveFor(int node, int dist) {
    int pos = 0;
    ierr = uSMC_GetPosition(node, &pos);
    if (ierr) return ierr;
    long long dest = (long long)pos + dist;
    if (dest < INT_MIN || dest > INT_MAX) {
        ierr = uSMC_ERR_RANGE;
        return ierr;
    }
    ierr = uSMC_MoveTo(node, int(dest));
    if (ierr) return ierr;
    return 0;
}

int uSMC_GetPosition(int node, int *pos) {
    if (badNode(node)) return ierr;
    int dev = node - 1;
    ierr = int(USMC_GetState(DWORD(dev), &DState[dev]));
    if (ierr) return ierr;
    if (pos) *pos = DState[dev].CurPos;
    return 0;
}

int uSMC_ReferenceMove(int node) {
    if (badNode(node)) return ierr;
    int dev = node - 1;
    float saved = Speed;
    auto fail = [saved](int code) {
        Speed = saved;
        ierr = code;
        return code;
    };
    ierr = int(USMC_GetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return fail(ierr);
    limitSwitchMode(DMode[dev]);
    ierr = int(USMC_SetMode(DWORD(dev), &DMode[dev]));
    if (ierr) return fail(ierr);
    Speed = kFastApproach;
    ierr = int(USMC_SetCurrentPosition(DWORD(dev), 0));
    if (ierr) return fail(ierr);
    ierr = uSMC_MoveTo(node, kApproachDest);
    if (ierr) return fail(ierr);
    ierr = uSMC_MoveFor(node, kBackOff);
    if (ierr) return fail(ierr);
    Speed = kSlowApproach;
    ierr = uSMC_MoveTo(node, kApproachDest);
    if (ierr) return fail(ierr);
    Speed = saved;
    ierr = uSMC_MoveFor(node, kBackOff);
    if (ierr) return fail(ierr);
    ierr = int(USMC_SetCurrentPosition(DWORD(dev), 0));
    if (ierr) return fail(ierr);
    return 0;
}

// ---- module state --------------------------------------------------------------------------

float uSMC_GetSpeed(void) { return Speed; }
void uSMC_SetSpeed(float speed) { Speed = speed; }
int uSMC_LastCode(void) { return ierr; }
int uSMC_DeviceCount(void) { return int(Devices.NOD); }

void uSMC_SetBreakCheck(int (*wanted)(void)) { breakWanted = wanted; }

void uSMC_SetWaitLimits(double moveSeconds, double powerOffSeconds) {
    loadLimits();
    if (moveSeconds > 0) moveLimit = moveSeconds;
    if (powerOffSeconds > 0) powerOffLimit = powerOffSeconds;
}

// ---- reports -------------------------------------------------------------------------------

void uSMC_PrintDevices(void) {
    for (DWORD i = 0; i < Devices.NOD && Devices.Serial && Devices.Version; ++i) {
        std::printf("Device - %d,\tSerial Number - %.16s,\tVersion - %.4s\n", int(i),
                    Devices.Serial[i] ? Devices.Serial[i] : "",
                    Devices.Version[i] ? Devices.Version[i] : "");
    }
    std::fflush(stdout);
}

void PrintDParameters(USMC_Parameters *Parameters) {
    const USMC_Parameters &p = *Parameters;
    std::printf("The parameters are:\n");
    std::printf("Full acceleration time - %.0f ms\n", double(p.AccelT));
    std::printf("Full deceleration time - %.0f ms\n", double(p.DecelT));
    std::printf("Power reduction timeout - %.0f ms\n", double(p.PTimeout));
    std::printf("Button speedup timeout 1 - %.0f ms\n", double(p.BTimeout1));
    std::printf("Button speed after timeout 1 - %.2f steps/s\n", double(p.BTO1P));
    std::printf("Button speedup timeout 2 - %.0f ms\n", double(p.BTimeout2));
    std::printf("Button speed after timeout 2 - %.2f steps/s\n", double(p.BTO2P));
    std::printf("Button speedup timeout 3 - %.0f ms\n", double(p.BTimeout3));
    std::printf("Button speed after timeout 3 - %.2f steps/s\n", double(p.BTO3P));
    std::printf("Button speedup timeout 4 - %.0f ms\n", double(p.BTimeout4));
    std::printf("Button speed after timeout 4 - %.2f steps/s\n", double(p.BTO4P));
    std::printf("Button reset timeout - %.0f ms\n", double(p.BTimeoutR));
    std::printf("Button reset operation speed - %.2f steps/s\n", double(p.MinP));
    std::printf("Backlash operation distance - %d steps\n", int(p.MaxLoft));
    std::printf("Revolution distance - %d steps\n", int(p.RTDelta));
    std::printf("Minimal revolution distance error - %d steps\n", int(p.RTMinError));
    // 0xF8 is the degree sign of the console's code page.
    std::printf("Power off temperature - %.2f\xF8"
                "C\n",
                double(p.MaxTemp));
    std::printf("Duration of the output synchronization pulse - ");
    if (p.SynOUTP == 0) std::printf("minimal\n");
    else std::printf("%.1f * [Tact Period]\n", double(p.SynOUTP) - 0.5);
    std::printf("Speed of the last phase of the backlash operation - ");
    if (p.LoftPeriod == 0.0f) std::printf("normal\n");
    else std::printf("%.2f steps/s\n", double(p.LoftPeriod));
    std::printf("<Angular Encoder Step> Equals <Angular Step Motor Step>/<%.2f>\n",
                double(p.EncMult));
    std::fflush(stdout);
}

void PrintDMode(USMC_Mode *Mode) {
    const USMC_Mode &m = *Mode;
    std::printf("Mode parameters:\n");
    std::printf("Buttons - ");
    if (m.PMode) {
        std::printf("Disabled\n");
    } else {
        std::printf("Enabled\nButton 1 TRUE state - %s\n", level(m.Butt1T));
        std::printf("Button 2 TRUE state - %s\n", level(m.Butt2T));
    }
    std::printf("Current reduction regime - %s\n", m.PReg ? "Used" : "Not Used");
    if (m.ResetD) std::printf("Power - %s\n", m.EMReset ? "Emerjency Off" : "Off");
    else std::printf("Power - On\n");
    if (m.Tr1En || m.Tr2En) std::printf("Trailers are - %s\n", m.TrSwap ? "Swapped" : "Direct");
    std::printf("Trailer 1 - ");
    if (m.Tr1En) std::printf("Enabled\nTrailer 1 TRUE state - %s\n", level(m.Tr1T));
    else std::printf("Disabled\n");
    std::printf("Trailer 2 - ");
    if (m.Tr2En) std::printf("Enabled\nTrailer 2 TRUE state - %s\n", level(m.Tr2T));
    else std::printf("Disabled\n");
    if (m.EncoderEn) {
        std::printf("Encoder - Enabled\n");
        std::printf("Encoder Position Counter is %s\n", m.EncoderInv ? "Inverted" : "Direct");
        std::printf("Rotary Transducer and Input Syncronisation are\n Disabled Because of Encoder\n");
    } else {
        std::printf("Encoder - Disabled\n");
        std::printf("Rotary Transducer - ");
        if (m.RotTeEn) {
            std::printf("Enabled\nRotary Transducer TRUE state - %s\n", level(m.RotTrT));
            std::printf("Rotary Transducer Operation - %s\n",
                        m.RotTrOp ? "Stop on error" : "Check and ignore error");
            std::printf("Reset Rotary Transducer Check Positions - %s\n",
                        m.ResetRT ? "Initiated" : "No, why?");
        } else {
            std::printf("Disabled\n");
        }
        std::printf("Synchronization input mode:\n");
        if (m.SyncINOp) std::printf("Step motor will move one time to the destination position\n");
        else std::printf("Step motor will move multiple times by [destination position]\n");
    }
    std::printf("Output Syncronization - ");
    if (m.SyncOUTEn) {
        std::printf("Enabled\nReset Output Synchronization Counter - %s\n",
                    m.SyncOUTR ? "Initiated" : "No, why?");
        std::printf("Number of steps after which synchronization output sygnal occures - %u\n",
                    unsigned(m.SyncCount));
    } else {
        std::printf("Disabled\n");
    }
    std::printf("Synchronization Output is ");
    std::printf(m.SyncInvert ? "INVERTED\n" : "NORMAL\n");
    std::fflush(stdout);
}

void PrintDState(USMC_State *State) {
    const USMC_State &s = *State;
    std::printf("The state is:\n");
    std::printf("- Current Position in microsteps - %d\n", s.CurPos);
    std::printf("- Temperature - %.2f\xF8"
                "C\n",
                double(s.Temp));
    std::printf("- Step Divisor - %d\n", int(s.SDivisor));
    std::printf("- Loft State - %s\n", s.Loft ? "Indefinite" : "Fixed");
    std::printf("- Power - %s\n", !s.Power ? "Off" : (s.FullPower ? "Full" : "Half"));
    if (s.RUN)
        std::printf("- Step Motor is Running in %s Direction %s\n", s.CW_CCW ? "CCW" : "CW",
                    (s.SDivisor == 1 && s.FullSpeed) ? "at Full Speed" : "");
    else
        std::printf("- Step Motor is Not Running\n");
    std::printf("- Device %s\n", s.AReset ? "is After Reset" : "Position Already Set");
    std::printf("- Input Synchronization Logical Pin State - %s\n", tf(s.SyncIN));
    std::printf("- Output Synchronization Logical Pin State - %s\n", tf(s.SyncOUT));
    std::printf("- Rotary Transducer Logical Pin State - %s\n", tf(s.RotTr));
    std::printf("- Rotary Transducer Error Flag - %s\n", s.RotTrErr ? "Error" : "Clear");
    std::printf("- Emergency Disable Button - %s\n", pushed(s.EmReset));
    std::printf("- Trailer 1 Press State - %s\n", pushed(s.Trailer1));
    std::printf("- Trailer 2 Press State - %s\n", pushed(s.Trailer2));
    if (s.Voltage == 0.0f) std::printf("- Input Voltage - Low\n");
    else std::printf("- Input Voltage - %.1fV\n", double(s.Voltage));
    std::fflush(stdout);
}

void PrintDStartParameters(int DPos, float Speed, const USMC_StartParameters *SP) {
    std::printf("Destination position - %d\n", DPos);
    std::printf("Speed - %.2ftacts/s\n", double(Speed));
    std::printf("Steps Divisor - %d\n", int(SP->SDivisor));
    if (SP->SDivisor == 1) {
        std::printf("Slow start/stop mode - %s\n", SP->SlStart ? "Enabled" : "Disabled");
    } else if (SP->LoftEn) {
        std::printf("Automatic backlash operation - Enabled\n");
        std::printf("Automatic backlash operation direction - %s\n", SP->DefDir ? "CCW" : "CW");
        std::printf("Force automatic backlash operation - %s\n", tf(SP->ForceLoft));
    } else {
        std::printf("Automatic backlash operation - Disabled\n");
    }
    if (SP->WSyncIN) std::printf("Controller will wait for input synchronization signal to start\n");
    else std::printf("Input synchronization signal ignored \n");
    std::printf("Output synchronization counter will %sbe reset\n", SP->SyncOUTR ? "" : "not ");
    std::fflush(stdout);
}

void PrintEncState(USMC_EncoderState *EnState, USMC_Parameters *up) {
    double mult = double(up->EncMult);
    std::printf("The encoder state is:\n");
    std::printf("- Current Position in microsteps - %.2f\n", double(EnState->ECurPos) / mult);
    std::printf("- Encoder Position in microsteps - %.2f\n\n", double(EnState->EncoderPos) / mult);
    std::printf("- Current Position in \"Half of Encoder Step\"s - %d\n", EnState->ECurPos);
    std::printf("- Encoder Position in \"Half of Encoder Step\"s - %d\n", EnState->EncoderPos);
    std::fflush(stdout);
}

void PrintError(void) {
    char buf[101] = {0};
    USMC_GetLastErr(buf, 100);
    buf[100] = 0;
    std::printf("\n%s", buf);
    std::fflush(stdout);
}
