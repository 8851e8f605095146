// The simulated station: monochromator and electrometer (behind its GPIB-USB adapter) on
// pseudo-terminals, the simulated stage controllers, and one optical model joining them, so that
// the program measures a meaningful spectrum and map without any hardware.
//
// station_start() must run before the program opens any port: it points VRIM_COM4 (monochromator)
// and VRIM_COM5 (adapter) at the simulators' terminals unless those variables are already set,
// and selects the simulated stage library. The electrometer reads the detector its cable is on;
// the simulated operator moves the cable when a reminder asks for it (station_on_reminder).
//
// With env VRIM_STATION_LOG naming a file, the station appends one line per thing the
// instruments saw, in the order seen (sampled about every millisecond of real time):
//   "k617 clear", "k617 <command>", "mono wavelength <nm>", "mono grating <n>",
//   "stage <X|Y|Z> power on|off", "popup <title>", "cable reference|sample",
//   "station stop".
#pragma once
#include <string>

// Starts the simulators. False (with the reason in *error, when given) if a terminal could not
// be had; nothing is left running then.
bool station_start(std::string *error);
// Stops the simulators and closes the log. Safe to call more than once, or without a start.
void station_stop();
// The simulated operator's reading of a reminder pop-up: "reference PMT" in the text puts the
// cable on the reference detector, "sample detector" puts it on the sample. Other texts do
// nothing. Safe from any thread.
void station_on_reminder(const char *title, const char *text);
// The electrometer's input current now (A), as the model gives it with noise; for tests.
double station_current();
