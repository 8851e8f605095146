// GPIB board layer: the five calls of the system's GPIB library that the electrometer's board
// link uses, and the library's status after each call.
//
// The library is loaded at the first call through the program's loader (platform/core/dynlib.h),
// from the path in the environment variable VRIM_GPIB_LIBRARY (default "gpib-32.dll" on Windows,
// "libgpib.so.0" elsewhere). It must export ibdev, ibclr, ibwrt, ibrd and ibonl with the C
// interface below in the VRIM_GPIB_CALL convention, and its status through one of the ways such
// libraries document: the functions ThreadIbsta/ThreadIberr/ThreadIbcntl (preferred), or the
// exported variables ibsta/iberr/ibcntl, or user_ibsta/user_iberr/user_ibcntl. When no such
// library can be loaded, every call fails as it does without a board: ERR set in ibsta, iberr =
// ENEB, ibcntl = 0 (ibdev then returns -1); gpib_library_error() says why.
//
// Reads go through a buffer of the program's own with a guarded tail (platform/core/guard.h): a
// board that stores more than it was allowed is reported once and cannot overwrite the caller's
// memory; ibcntl never exceeds the count asked for.
//
// Tests and simulators put a board of their own in place with gpib_set_backend.
#pragma once

// ibsta bits.
enum {
    GPIB_ERR = 0x8000,
    GPIB_TIMO = 0x4000,
    GPIB_END = 0x2000,
    GPIB_SRQI = 0x1000,
    GPIB_RQS = 0x0800,
    GPIB_CMPL = 0x0100,
    GPIB_LOK = 0x0080,
    GPIB_REM = 0x0040,
    GPIB_CIC = 0x0020,
    GPIB_ATN = 0x0010,
    GPIB_TACS = 0x0008,
    GPIB_LACS = 0x0004,
    GPIB_DTAS = 0x0002,
    GPIB_DCAS = 0x0001,
};
// iberr code for "no GPIB board".
enum { GPIB_ENEB = 7 };
constexpr long kGpibGuardedRead = 4096;

// Status of the last call through this layer, updated after every call.
extern int ibsta;    // status bits; GPIB_ERR set = the call failed
extern int iberr;    // error code of the last failed call
extern long ibcntl;  // bytes moved by the last call

// Opens a device descriptor: board index, primary and secondary address, time-out code, eot
// (1: EOI with the last byte written), eos (end-of-string byte mode, 0: none). Returns the
// descriptor, or -1 on failure (GPIB_ERR in ibsta).
int ibdev(int board, int pad, int sad, int tmo, int eot, int eos);
// Device clear. Returns ibsta.
int ibclr(int ud);
// Writes cnt bytes. Returns ibsta; ibcntl = bytes written.
int ibwrt(int ud, const void *buf, long cnt);
// Reads at most cnt bytes, ending at EOI. Returns ibsta; ibcntl = bytes read (0..cnt). Up to
// kGpibGuardedRead bytes the read passes through the guarded buffer; a larger request goes to
// the board directly.
int ibrd(int ud, void *buf, long cnt);
// v = 0 takes the device offline and frees the descriptor. Returns ibsta.
int ibonl(int ud, int v);

// A GPIB board: the five calls and a status read-out giving ibsta, iberr and ibcntl after the
// last call. Every member must be set.
struct GpibBackend {
    int (*ibdev)(int board, int pad, int sad, int tmo, int eot, int eos);
    int (*ibclr)(int ud);
    int (*ibwrt)(int ud, const void *buf, long cnt);
    int (*ibrd)(int ud, void *buf, long cnt);
    int (*ibonl)(int ud, int v);
    void (*status)(int *sta, int *err, long *cntl);
};

// Uses `backend` (kept by pointer; it must outlive its use) for all later calls; NULL returns to
// the system library, which is then looked for again at the next call.
void gpib_set_backend(const GpibBackend *backend);

// Why the system library could not be used at the last attempt ("" when it could, or when none
// was tried yet).
const char *gpib_library_error();
