// Stage controller library interface: the records and operations through which the driver
// reaches the stepper-motor controllers, with two backends behind the one set of functions.
//
// Backend choice, made by the first USMC_Init after start or after USMC_Close:
//  - simulated controllers when env VRIM_STATION=sim or after usmc_sim_select(true)
//    (sim/uSMC/usmc_sim.h, which installs its backend through platform/usmc/usmc_backend.h;
//    a program without it gets USMC_ERR_LIBRARY for VRIM_STATION=sim);
//  - otherwise the maker's library, loaded at run time through the program's loader
//    (platform/core/dynlib.h) from the path in env VRIM_USMC_LIBRARY (default "USMCDLL.dll" on
//    Windows, "libusmcdll.so" elsewhere, on the system's search path). Its operations use the
//    VRIM_USMC_CALL convention and the record layouts below. When it cannot be loaded or lacks
//    one of the eleven operations, USMC_Init returns USMC_ERR_LIBRARY, USMC_GetLastErr names the
//    path or the missing operation with the system's reason, and a line saying the same goes to
//    standard error.
//
// Records handed to the loaded library travel in buffers with a guarded tail
// (platform/core/guard.h): a library whose records are longer than these writes into the tail,
// which is reported once per operation on the console (or the installed reporter), and the
// caller's record receives only the bytes of the layout below.
//
// Every operation but USMC_GetLastErr returns 0 on success and a nonzero code otherwise; the
// codes this layer raises itself are listed below, a loaded library may return its own.
// Devices are numbered from 0 in the order of the list USMC_Init returns.
#pragma once
#include <cstddef>
#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef std::int32_t BOOL;  // 0 = FALSE, anything else TRUE
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Codes raised by this layer and by the simulated controllers.
enum : DWORD {
    USMC_ERR_NOT_OPEN = 0x14342001,   // operation before USMC_Init or after USMC_Close
    USMC_ERR_DEVICE = 0x14342002,     // no such device number
    USMC_ERR_ARGUMENT = 0x14342003,   // null record or out-of-range value
    USMC_ERR_POWER = 0x14342004,      // move started while the motor power is off
    USMC_ERR_INJECTED = 0x14342005,   // default code of a failure requested by a test
    USMC_ERR_LIBRARY = 0x14342006,    // maker's library missing or incomplete
    USMC_ERR_OPERATION = 0x14342007,  // optional operation the loaded library does not have
};

extern "C" {

// Controller list. Serial[i] holds 16 characters (NUL-terminated here), Version[i] 4. The
// strings belong to the library and stay valid until USMC_Close.
typedef struct {
    DWORD NOD;  // number of devices
    char **Serial;
    char **Version;
} USMC_Devices;

typedef struct {
    float AccelT;      // ms, full acceleration time
    float DecelT;      // ms, full deceleration time
    float PTimeout;    // ms, power reduction timeout
    float BTimeout1;   // ms, button speedup timeouts
    float BTimeout2;
    float BTimeout3;
    float BTimeout4;
    float BTimeoutR;   // ms, button reset timeout
    float BTimeoutD;   // ms, button double-click timeout
    float MinP;        // steps/s, button reset operation speed
    float BTO1P;       // steps/s, button speeds after timeouts 1 to 4
    float BTO2P;
    float BTO3P;
    float BTO4P;
    WORD MaxLoft;      // steps, backlash operation distance
    DWORD StartPos;    // microsteps, position counter value at power-up (kept in flash)
    WORD RTDelta;      // steps, revolution distance
    WORD RTMinError;   // steps, minimal revolution distance error
    float MaxTemp;     // degrees C, power-off temperature
    BYTE SynOUTP;      // duration code of the output synchronization pulse
    float LoftPeriod;  // steps/s, speed of the backlash operation's last phase (0 = normal)
    float EncMult;     // encoder step divisor
} USMC_Parameters;

typedef struct {
    BOOL PMode;       // buttons disabled
    BOOL PReg;        // current reduction regime used
    BOOL ResetD;      // motor power removed
    BOOL EMReset;     // emergency power-off
    BOOL Tr1T;        // limit switch 1 TRUE state is +3/+5 V
    BOOL Tr2T;        // limit switch 2 TRUE state is +3/+5 V
    BOOL RotTrT;      // rotary transducer TRUE state is +3/+5 V
    BOOL TrSwap;      // limit switches swapped
    BOOL Tr1En;       // limit switch 1 enabled
    BOOL Tr2En;       // limit switch 2 enabled
    BOOL RotTeEn;     // rotary transducer enabled
    BOOL RotTrOp;     // rotary transducer error stops the motor
    BOOL Butt1T;      // button 1 TRUE state is +3/+5 V
    BOOL Butt2T;      // button 2 TRUE state is +3/+5 V
    BOOL ResetRT;     // reset rotary transducer check positions
    BOOL SyncOUTEn;   // output synchronization enabled
    BOOL SyncOUTR;    // reset output synchronization counter
    BOOL SyncINOp;    // synchronization input: move once to the destination
    DWORD SyncCount;  // steps between output synchronization pulses
    BOOL SyncInvert;  // output synchronization inverted
    BOOL EncoderEn;   // encoder enabled
    BOOL EncoderInv;  // encoder counter inverted
} USMC_Mode;

typedef struct {
    BYTE SDivisor;   // step divisor: 1, 2, 4 or 8 microsteps per step
    BOOL DefDir;     // backlash operation direction CCW
    BOOL LoftEn;     // automatic backlash operation enabled
    BOOL SlStart;    // slow start/stop (acceleration ramps) enabled
    BOOL WSyncIN;    // wait for the input synchronization signal
    BOOL SyncOUTR;   // reset the output synchronization counter
    BOOL ForceLoft;  // force the backlash operation
} USMC_StartParameters;

typedef struct {
    int CurPos;      // microsteps, position counter
    float Temp;      // degrees C
    BYTE SDivisor;   // step divisor of the present or last move
    BOOL Loft;       // backlash state indefinite
    BOOL FullPower;  // full (not reduced) winding current
    BOOL CW_CCW;     // running direction CCW (towards negative positions)
    BOOL Power;      // motor powered
    BOOL FullSpeed;  // running at full speed
    BOOL AReset;     // device after reset, position not yet set
    BOOL RUN;        // motor running
    BOOL SyncIN;
    BOOL SyncOUT;
    BOOL RotTr;
    BOOL RotTrErr;
    BOOL EmReset;    // emergency disable button pushed
    BOOL Trailer1;   // limit switch 1 pressed
    BOOL Trailer2;   // limit switch 2 pressed
    float Voltage;   // V, input voltage (0 = low)
} USMC_State;

typedef struct {
    int EncoderPos;  // half encoder steps, encoder counter
    int ECurPos;     // half encoder steps, position counter in encoder units
} USMC_EncoderState;

// Fills the controller list and opens the library (choosing the backend, see above).
DWORD USMC_Init(USMC_Devices *Str);
DWORD USMC_GetState(DWORD Device, USMC_State *Str);
DWORD USMC_SaveParametersToFlash(DWORD Device);
// Sets the position counter; the stage does not move.
DWORD USMC_SetCurrentPosition(DWORD Device, int Position);
DWORD USMC_GetMode(DWORD Device, USMC_Mode *Str);
DWORD USMC_SetMode(DWORD Device, USMC_Mode *Str);
DWORD USMC_GetParameters(DWORD Device, USMC_Parameters *Str);
DWORD USMC_SetParameters(DWORD Device, USMC_Parameters *Str);
DWORD USMC_GetStartParameters(DWORD Device, USMC_StartParameters *Str);
// Starts a move to DestPos (microsteps) at *Speed tacts/s and returns at once; the library may
// write back the speed it actually uses.
DWORD USMC_Start(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str);
// Copies the text of the last error into str[len]. The maker's library may fill all len
// characters without a terminator, and this layer hands such a text on whole, so a caller that
// wants a string keeps one character more than it passes (PrintError: 101 and 100). The
// simulated controllers and this layer's own texts end within len. Writes nothing when len is 0.
void USMC_GetLastErr(char *str, std::size_t len);
// Releases the library; the next USMC_Init opens it again.
DWORD USMC_Close(void);

// Optional operations: present in the simulated controllers; for a loaded library only when it
// exports them (USMC_ERR_OPERATION otherwise).
DWORD USMC_GetEncoderState(DWORD Device, USMC_EncoderState *Str);
// Stops the motor where it is: the move under way ends and RUN reads FALSE (also clears a RUN
// that a controller keeps reporting after its carriage stopped).
DWORD USMC_Stop(DWORD Device);

}  // extern "C"
