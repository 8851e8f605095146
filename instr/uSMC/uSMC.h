// Stage controller driver: finds the stepper-motor controllers by serial number, loads parameter
// presets, switches motor power, moves and homes the stages, and prints the controllers' records
// on the console.
//
// A controller is named by its node: the library's device number plus 1 (node 1 is device 0).
// Node 0 means "controller not found". Every operation taking a node (but uSMC_Reset) refuses a node outside 1..4
// or above the number of controllers listed by uSMC_Open with uSMC_ERR_NODE, before it touches
// the module's records or the library.
//
// Results: 0 on success; otherwise the nonzero code of the library call that failed, handed up
// unchanged (the operation stops at that step and prints nothing), or one of the driver's own
// codes below. The library's text for the last failure is printed by PrintError().
#pragma once
#include "platform/usmc/usmcdll.h"

enum {
    uSMC_ERR_NODE = -20,     // node names no listed controller
    uSMC_ERR_TIMEOUT = -21,  // a move or the power-off wait did not end within its bound
    uSMC_ERR_RANGE = -22,    // a relative move whose destination lies outside the int range
    uSMC_ERR_BROKEN = -23,   // the move was broken off: the break check asked for it
};

// Opens the library and lists the controllers found (uSMC_PrintDevices). 0, or USMC_Init's code
// (nothing printed then).
int uSMC_Open(void);
// 0-based device number of the first listed controller whose serial number matches serial over
// at most 16 characters (serial needs no terminator); -1 when none does or nothing is listed.
int uSMC_FindSerial(const char *serial);
// Reads the controller's parameters, writes the preset of stageType (1/-1: preset 1, 2/-2:
// preset 2, other values: unchanged) and applies them; types -1 and -2 also save them to flash
// and print the parameter report followed by "\nThese Parameters were Saved to Flash".
int uSMC_SetParameters(int node, int stageType);
// uSMC_SetParameters; for types 1 and -1 the limit-switch mode (both switches enabled, direct,
// encoder off); then motor power on.
int uSMC_Init(int node, int type);
int uSMC_PowerOn(int node);
// Removes motor power and returns once the controller reports it off (bound: see
// uSMC_SetWaitLimits; uSMC_ERR_TIMEOUT then). saveToFlash nonzero: the position read after
// power went off becomes StartPos in flash.
int uSMC_PowerOffSave(int node, int saveToFlash);
int uSMC_PowerOff(int node);
// StartPos 0 into flash; prints "\nStart Position is Reset to 0\n".
int uSMC_RevertStartPosition(int node);
// Does nothing; always 0.
int uSMC_Reset(int node);
// Releases the library.
void uSMC_Close(void);

// Moves to dest (microsteps) at the working speed and returns once the motor has stopped, at the
// destination or at an enabled limit switch (both 0). Prints a progress line
// "<node> CurPos <pos> L<0|1> R<0|1> Rot<0|1> <Run|Stopped> <On|Off>\n" at most once per clock
// second, the first one no earlier than one second after the start. A move still running after
// the move bound gives uSMC_ERR_TIMEOUT (the controller may still be moving).
// The break check (uSMC_SetBreakCheck) is asked before the start and at every poll while the
// motor runs: when it answers nonzero before the start nothing is started; during the move the
// motor is stopped (USMC_Stop) at that poll. Either way the result is uSMC_ERR_BROKEN, or the
// stop's own code when the stop failed.
int uSMC_MoveTo(int node, int dest);
// Moves by dist microsteps from the present position (uSMC_ERR_RANGE when that leaves the int
// range; nothing moves then).
int uSMC_MoveFor(int node, int dist);
// Present position counter into *pos; *pos untouched on failure.
int uSMC_GetPosition(int node, int *pos);
// Homes the axis: limit-switch mode, the present point counted as 0, fast approach to the
// negative switch (10000 tacts/s, towards -500000), back off 5000, slow approach (500 tacts/s),
// back off 5000 at the working speed, which becomes the new zero. The working speed is restored
// on every exit. Its moves heed the break check: a broken-off move ends the homing there with
// uSMC_ERR_BROKEN (the axis is then not homed).
int uSMC_ReferenceMove(int node);

// The break check: a function the move waits ask at every poll whether the operator wants the
// move ended (nonzero: yes). Null (the default) never breaks a move. The power-off wait does not
// ask it: taking the power off is what an ending program does.
void uSMC_SetBreakCheck(int (*wanted)(void));

// Reports on standard output.
void uSMC_PrintDevices(void);
void PrintDParameters(USMC_Parameters *Parameters);
void PrintDMode(USMC_Mode *Mode);
void PrintDState(USMC_State *State);
void PrintDStartParameters(int DPos, float Speed, const USMC_StartParameters *SP);
void PrintEncState(USMC_EncoderState *EnState, USMC_Parameters *up);
void PrintError(void);

// Module state for callers that need it (diagnostics, tests).
float uSMC_GetSpeed(void);          // working speed, tacts/s (initially 15000)
void uSMC_SetSpeed(float speed);    // tacts/s
int uSMC_LastCode(void);            // code of the last step examined (ierr)
int uSMC_DeviceCount(void);         // controllers listed by uSMC_Open (0 before it)
// Bounds of a single move's wait and of the power-off wait, in program seconds (defaults 900 and
// 10, or env VRIM_USMC_MOVE_LIMIT / VRIM_USMC_POWEROFF_LIMIT); values <= 0 keep the present one.
void uSMC_SetWaitLimits(double moveSeconds, double powerOffSeconds);
