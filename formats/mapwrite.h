// Durable writing of a binary measurement file: every block reaches the disk whole before the
// caller goes on, and a block that cannot be written whole leaves no part of itself behind.
//
// A block goes out in one write of its whole buffer (continued only if the system takes part of
// it), then the file is synced to the disk; the file's folder is synced once after the file is
// created, so that the file's name survives a power cut too. When a write fails or comes up short,
// the file is cut back to the end of the last whole block. No panel, no instruments.
#pragma once
#include <cstddef>
#include <string>

struct MapWriter {
    int fd = -1;             // open file, -1 when closed
    long long whole = 0;     // bytes: end of the last whole block on disk
    int blocks = 0;          // whole blocks written through this writer (not those kept on open)
    std::string path;
};

// Opens path for writing blocks. keep < 0: the file is created or replaced (truncated to 0 bytes).
// keep >= 0: an existing file is opened and cut to its first keep bytes (a resumed map: the whole
// blocks already measured stay, a partial trailing block goes), and blocks follow from there; a
// file shorter than keep is refused (EINVAL) and left alone. The folder is synced after the file
// is created or cut. Only a regular file or a new one is opened: anything else (a folder, device,
// FIFO) gives SAFEFILE_NOT_REGULAR (formats/safefile.h) at once, untouched. Returns 0, or the errno
// of what failed (*w stays closed; a file that was created stays, empty).
int mapwrite_open(MapWriter *w, const char *path, long long keep);

// Writes one whole block (len bytes) at the end of the last whole block and syncs it to the disk.
// Returns 0 once the block is on the disk, or the errno of the failed write or sync (ENOSPC,
// EFBIG, EIO, ...; EIO for a write that took nothing). On failure the file is cut back to
// w->whole so that it holds whole blocks only; *cutErr (may be null) gets 0 when that cut
// succeeded, else its errno (the file may then end in a partial block).
int mapwrite_block(MapWriter *w, const unsigned char *data, size_t len, int *cutErr);

// Closes the file. Returns 0, or the errno of the close. Closing a closed writer does nothing.
int mapwrite_close(MapWriter *w);

// Writes data to path as one durable block (created or replaced, synced, folder synced). Returns 0
// or an errno; on failure the partial file is removed.
int mapwrite_whole_file(const char *path, const unsigned char *data, size_t len);
