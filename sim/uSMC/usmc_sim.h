// Simulated stage controllers behind the library interface of usmcdll.h, and the hooks through
// which tests and the simulated station look at them and inject faults.
//
// By default there are four controllers, listed in this order: serial numbers
// "0000000000004925", "0000000000006030", "0000000000002894" (the X, Y and Z axes the program
// looks for) and a spare "0000000000001111". Each starts at physical position 0 with its
// negative limit switch at -5000 and its positive one at +450000 microsteps, motor power on.
// Homing from anywhere below +495000 thus ends with the new zero at physical 0, so program
// and physical coordinates agree before and after it.
// Physical positions are where the carriage is; a controller's position counter (CurPos) is the
// physical position minus an offset that USMC_SetCurrentPosition sets.
//
// A move runs at the speed given to USMC_Start in tacts/s; one tact is one step of the step
// divisor, so the carriage covers Speed * 8 / SDivisor microsteps per second. With slow
// start/stop the speed ramps up over AccelT and down over DecelT milliseconds. Time runs on the
// program clock (Timer()), so clock_set_scale() speeds the controllers up with everything else.
//
// Flash (saved parameters, StartPos) outlives USMC_Close: in memory, or in the file named by
// env VRIM_USMC_FLASH, which then also keeps each carriage's physical position between runs
// (read at USMC_Init, where it overrides usmc_sim_set_position).
// At USMC_Init every controller starts as after power-up: parameters from flash (or factory
// values), factory mode with power on, position counter = StartPos.
//
// All functions are thread-safe: one mutex guards the controllers, so another thread may read
// positions while the program moves a stage. A serial number argument is read up to 16
// characters or its terminator, whichever comes first; unknown serials give false.
#pragma once
#include <cstddef>

// Makes the simulated controllers a backend of the library layer (usmcdll.h); safe to repeat.
// usmc_sim_select and usmc_sim_reset do it too. Without it VRIM_STATION=sim finds no simulated
// controllers.
void usmc_sim_install();
// Forces the simulated backend for the next USMC_Init (true), or leaves the choice to env
// VRIM_STATION (false).
void usmc_sim_select(bool on);
// Back to the default four controllers at their default positions and switches, factory
// parameters, empty in-memory flash, no faults, empty logs. Does not touch a flash file.
void usmc_sim_reset();

// Physical position now, in microsteps; false if the serial is unknown.
bool usmc_sim_position(const char *serial16, int *microsteps);
// True while the controller's motor is powered; false if unpowered or unknown.
bool usmc_sim_powered(const char *serial16);

// Replaces the controller list by count controllers with these serial numbers (count 0 = an
// empty list); each gets the defaults above. Serials longer than 16 characters are cut to 16.
// Takes effect at the next USMC_Init.
void usmc_sim_set_devices(const char *const *serials, int count);
// Puts a controller's carriage at a physical position (microsteps), stopping any move.
bool usmc_sim_set_position(const char *serial16, int microsteps);
// Places the negative and positive limit switches (physical microsteps, negative < positive).
bool usmc_sim_set_limits(const char *serial16, int negative, int positive);
// Leaves a controller out of the list at the next USMC_Init (unplugged) or puts it back. While
// missing, a controller still listed from an earlier USMC_Init answers nothing: every operation
// on its device fails with USMC_ERR_DEVICE.
bool usmc_sim_set_missing(const char *serial16, bool missing);
// Every USMC_Start on the controller fails with USMC_ERR_INJECTED (true) or works again (false).
bool usmc_sim_set_start_fails(const char *serial16, bool fails);
// The next calls of an operation fail: operation is its name ("USMC_Start", "USMC_GetState"
// ...), skip = successful calls to let through first, code = the code to return (nonzero),
// times = how many calls fail after that (-1 = every one). Applies to all devices. Each
// call replaces the earlier request for the same operation.
void usmc_sim_fail(const char *operation, int skip, unsigned code, int times);
// A motor whose RUN never goes FALSE after a start (the carriage still stops at the target) until
// USMC_Stop or a power-off clears it.
bool usmc_sim_set_stuck_motor(const char *serial16, bool stuck);
// Power that never goes off after ResetD is set.
bool usmc_sim_set_stuck_power(const char *serial16, bool stuck);
// Program seconds between ResetD TRUE and Power reading FALSE (default 0.2).
void usmc_sim_set_power_off_delay(double seconds);
// Highest speed (tacts/s) a controller accepts; a higher one given to USMC_Start is lowered and
// written back (default 50000).
void usmc_sim_set_max_speed(float tactsPerSecond);

// One started move, as the controller saw it.
struct UsmcSimStart {
    int device;     // device number at the time
    int from;       // position counter at the start, microsteps
    int dest;       // destination given, microsteps
    float speed;    // tacts/s after any lowering
    int divisor;    // step divisor
};
// Copies up to max of the moves started since the last reset (all devices, in order) and
// returns how many there were.
int usmc_sim_starts(UsmcSimStart *out, int max);
// The library calls since the last reset, one per line: "USMC_GetMode 0\n" (operation name and
// device; the device is absent for USMC_Init, USMC_Close and USMC_GetLastErr). Copies up to
// size - 1 characters, NUL-terminated, and returns the full length. The log stops growing at
// about a megabyte (a long run polls the state a hundred times a second).
std::size_t usmc_sim_calls(char *out, std::size_t size);
// Empties the start and call logs.
void usmc_sim_clear_logs();
