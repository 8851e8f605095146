// Opening a file someone named (an operator in a file dialog, a tool's argument) only when it is
// a regular file, or a new one when it is written. A folder, a device, a FIFO or a socket is
// refused without being read or written: a FIFO would block the program until a writer came (deaf
// to every signal meanwhile), a device such as /dev/zero would be read until memory runs out.
//
// POSIX: the path is opened with O_NONBLOCK (a FIFO's open never waits), then the open descriptor
// is examined with fstat, so nothing can be swapped in between a check and the open. A file
// opened for writing is cut to zero bytes only after it is known to be regular.
// Windows: the file is opened, then its type examined with _fstat and GetFileType; a console or
// a device such as NUL is refused.
#pragma once
#include <cstdio>

// Returned in place of an errno value: the path names something that is not a regular file.
#define SAFEFILE_NOT_REGULAR 0x5AFE

// How a file is opened.
enum {
    SAFEFILE_READ = 0,    // an existing file, read only
    SAFEFILE_WRITE = 1,   // written: created, or an existing one cut to zero bytes
    SAFEFILE_UPDATE = 2,  // written: created, or an existing one kept as it is
};

// Opens path as a file descriptor (how: SAFEFILE_READ, _WRITE or _UPDATE; binary: no line-end
// translation on Windows). Returns the descriptor, positioned at the file's start and blocking
// as usual; or -1 with *err (may be null) an errno value, or SAFEFILE_NOT_REGULAR when path names
// a folder, device, FIFO or socket (nothing was read, written or cut then).
int safefile_open_fd(const char *path, int how, bool binary, int *err);

// The same as a stream: mode is one of "r", "rb", "w", "wb", "a", "ab" ("a": SAFEFILE_UPDATE,
// positioned at the end). Returns the stream, or null with *err (may be null) as above; an
// unknown mode gives EINVAL.
FILE *safefile_fopen(const char *path, const char *mode, int *err);

// Size in bytes of the file open as f (from its descriptor, the stream's position untouched);
// -1 when it cannot be told.
long long safefile_size(FILE *f);

// Whether path could be given to a writer that opens it by name itself: 0 when it names a regular
// file or nothing yet (a new file), SAFEFILE_NOT_REGULAR for anything else, or the errno of a
// failed look-up other than "no such file". Nothing is opened; the answer holds at the time of
// the call only.
int safefile_check_new_or_regular(const char *path);

// A short text for an error value of the functions above: "not a regular file" for
// SAFEFILE_NOT_REGULAR, strerror's text for an errno value.
const char *safefile_strerror(int err);
