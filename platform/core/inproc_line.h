// In-process serial line: two byte queues joining a port of the serial layer
// (platform/core/rs232.h) to a simulated instrument running in the same program, for machines
// without pseudo-terminals (Windows) or tests that ask for it.
//
// A line is registered under a name; the serial layer opens it for the device name
// "inproc:<name>" (for instance through VRIM_COM<N>). Bytes written by the port arrive at the
// instrument's side in order and whole, and the other way round; nothing is lost or reordered,
// and there is no line discipline. Both sides may be used from different threads.
// Waits are given in real milliseconds; callers convert program time with clock_real_ms().
#pragma once
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#define VRIM_INPROC_PREFIX "inproc:"

class InprocLine {
public:
    explicit InprocLine(std::string name) : name_(std::move(name)) {}
    const std::string &name() const { return name_; }
    // "inproc:<name>", the device name a port opens.
    std::string deviceName() const { return VRIM_INPROC_PREFIX + name_; }

    // ---- The port's side ----
    // Claims the port's side; false when another port holds it already.
    bool attach();
    void detach();
    // Queues count bytes for the instrument; all of them, or false (nothing queued) once the
    // instrument has hung up.
    bool portWrite(const char *data, std::size_t count);
    // Takes one byte for the port, waiting up to waitMs real milliseconds (0: no wait). 1: a byte
    // in *c; 0: none came in time; -1: the instrument has hung up and nothing is left to read.
    int portReadByte(char *c, int waitMs);
    // Bytes queued for the port and not yet read.
    std::size_t portQueued();
    // Drops everything queued for the port.
    void portFlush();

    // ---- The instrument's side ----
    // Queues bytes for the port.
    void deviceWrite(const std::string &bytes);
    // Moves up to max bytes the port wrote into buf, waiting up to waitMs real milliseconds for
    // the first one. Returns the count (0 when nothing came).
    std::size_t deviceRead(char *buf, std::size_t max, int waitMs);
    // True while a port has the line open.
    bool portAttached();
    // The instrument hangs up (a port unplugged): the port's side fails from now on, as a
    // vanished device does. Final.
    void hangUp();

private:
    std::string name_;
    std::mutex mu_;
    std::condition_variable toPortCv_, toDeviceCv_;
    std::string toPort_, toDevice_;
    std::size_t toPortHead_ = 0;  // bytes of toPort_ already read
    bool attached_ = false;
    bool hungUp_ = false;
};

// Creates and registers a line under name; null when the name is taken or empty.
std::shared_ptr<InprocLine> inproc_line_create(const std::string &name);
// Creates a line under a name made unique from prefix ("k617" -> "k617-1", "k617-2", ...).
std::shared_ptr<InprocLine> inproc_line_create_unique(const std::string &prefix);
// The line registered under name (without the "inproc:" prefix), or null.
std::shared_ptr<InprocLine> inproc_line_find(const std::string &name);
// Unregisters the line; a port that has it open keeps its queues until it closes.
void inproc_line_remove(const std::string &name);
// True when a device name names an in-process line ("inproc:...").
bool inproc_is_device_name(const char *deviceName);
