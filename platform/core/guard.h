// Records with room to spare. Every record this program hands to an outside library (the stage
// controllers' library, the GPIB library) is passed inside a buffer whose tail, kGuardTail bytes
// past the record's end, holds a known pattern. After the call the tail is checked: a library
// whose records are longer than the layout this program knows writes into the tail instead of
// into the program's memory, and the program says so once, in plain words, instead of going on
// with corrupted data.
//
// The report line goes to the reporter (guard_set_reporter): by default standard output (the
// console); the application installs one that also writes its session log.
#pragma once
#include <cstddef>
#include <cstring>

constexpr std::size_t kGuardTail = 256;
constexpr unsigned char kGuardPattern = 0xA5;

// A record of N bytes followed by its tail, aligned for any record type.
template <std::size_t N>
struct GuardedRecord {
    alignas(16) unsigned char bytes[N + kGuardTail];
    // Copies the record in (null: zeroes) and fills the tail with the pattern.
    void arm(const void *from) {
        if (from) std::memcpy(bytes, from, N);
        else std::memset(bytes, 0, N);
        std::memset(bytes + N, kGuardPattern, kGuardTail);
    }
    void *record() { return bytes; }
    // Bytes of the tail written into, counted up to the last changed byte (0 when untouched).
    std::size_t overrun() const;
    // Copies the record out.
    void take(void *to) const { std::memcpy(to, bytes, N); }
};

// Bytes of a tail of n bytes written into, counted up to the last byte that differs from the
// pattern (0 when untouched).
std::size_t guard_overrun(const unsigned char *tail, std::size_t n);

template <std::size_t N>
std::size_t GuardedRecord<N>::overrun() const {
    return guard_overrun(bytes + N, kGuardTail);
}

// Notes that `library`'s operation wrote `over` bytes past the end of its record of
// recordSize bytes named `record`. The first time for each library and operation a line goes
// to the reporter; later ones are only counted. Nothing is reported for over == 0. An overrun
// of the whole tail (over == kGuardTail) may have gone further, and the line says so.
void guard_report(const char *library, const char *operation, const char *record,
                  std::size_t recordSize, std::size_t over);
// Number of overruns noted since start (or since guard_reset).
int guard_overruns();
// Forgets which operations were reported and the count (tests).
void guard_reset();

// Where report lines go (one line, no line feed at the end); null restores the console.
typedef void (*GuardReporter)(const char *line);
void guard_set_reporter(GuardReporter reporter);
