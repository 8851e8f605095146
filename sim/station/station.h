// The simulated station: monochromator and electrometer (behind its GPIB-USB adapter) on
// pseudo-terminals, the simulated stage controllers, and one optical model joining them, so that
// the program measures a meaningful spectrum and map without any hardware.
//
// station_start() must run before the program opens any port: it points VRIM_COM4 (monochromator)
// and VRIM_COM5 (adapter) at the simulators' terminals unless those variables are already set,
// and selects the simulated stage library. The electrometer reads the detector its cable is on;
// the simulated operator moves the cable when a reminder of that kind shows (station_on_reminder).
//
// With env VRIM_STATION_LOG naming a file, the station appends one line per thing the
// instruments saw, in the order seen (sampled about every millisecond of real time):
//   "k617 clear", "k617 <command>", "mono wavelength <nm>", "mono grating <n>",
//   "stage <X|Y|Z> power on|off", "popup <title>", "cable reference|sample",
//   "fault <instrument> <kind>", "station stop".
//
// Fault rehearsal: env VRIM_STATION_FAULTS holds INSTRUMENT:KIND items separated by commas
// ("mono:unplugged,stage-x:stuck"), applied by station_start before any driver opens a port, so
// that "mono:unplugged" there is a port that does not exist. Bad items are reported on stderr
// and skipped.
#pragma once
#include <string>

// Starts the simulators. False (with the reason in *error, when given) if a terminal could not
// be had; nothing is left running then.
bool station_start(std::string *error);
// Stops the simulators and closes the log. Safe to call more than once, or without a start.
void station_stop();
// The simulated operator's answer to a pop-up, by its kind (ReminderKind of the panel layer):
// REMINDER_REFERENCE_CABLE puts the cable on the reference detector, REMINDER_SAMPLE_CABLE on the
// sample; every other kind does nothing. The words of title and text are never read (the title
// only goes to the station log). Safe from any thread.
void station_on_reminder(int kind, const char *title, const char *text);
// The electrometer's input current now (A), as the model gives it with noise; for tests.
double station_current();

// Sets the fault of one instrument, replacing its earlier one; 0, or -1 (with a line on stderr)
// for an unknown instrument or kind or when the station is not running.
//   instrument: "mono", "electrometer" (behind its adapter), "stage-x", "stage-y", "stage-z"
//     (the controllers of the X, Y and Z serial numbers).
//   kind for mono and electrometer: "noreply" (nothing answered), "garbled" (answers hold no
//     number), "cut" (answers stop half-way, no terminator), "error" (every command refused with
//     the instrument's error answer), "slow" (answers come late), "unplugged" (the port goes
//     away: the driver's reads and writes fail; a driver opening it finds no such port).
//   kind for a stage: "missing" (not listed at the next opening of the library, and every call
//     on a listed one fails), "fail" (every start of a move fails), "stuck" (the motor reports
//     running for ever after a move), "nopoweroff" (motor power never goes off).
//   "none" clears the instrument's fault; an unplugged port is plugged back, possibly under a new
//     name (VRIM_COM4 or VRIM_COM5 is updated when the station had set it).
int station_fault(const char *instrument, const char *kind);
