// The one loader of shared libraries for the whole program: the GPIB board library and the stage
// controllers' library are opened through it, LoadLibraryW/GetProcAddress on Windows and
// dlopen/dlsym elsewhere.
//
// Every failure leaves the system's own explanation (dlerror(), or FormatMessage of
// GetLastError() with its number) in the caller's text buffer, cut to fit and always
// NUL-terminated, so a report can say why a library or an operation was not found.
#pragma once
#include <cstddef>

// Calling convention of the GPIB library's functions: __stdcall on Windows, as its C interface
// is documented there; plain C elsewhere. Only 32-bit Windows tells the two apart.
#ifndef VRIM_GPIB_CALL
#if defined(_WIN32)
#define VRIM_GPIB_CALL __stdcall
#else
#define VRIM_GPIB_CALL
#endif
#endif

// Calling convention of the stage controllers' library: its C interface is documented without a
// convention keyword, so it is the C default (__cdecl) on Windows.
#ifndef VRIM_USMC_CALL
#if defined(_WIN32)
#define VRIM_USMC_CALL __cdecl
#else
#define VRIM_USMC_CALL
#endif
#endif

// Library names used when the environment names none.
#if defined(_WIN32)
#define VRIM_GPIB_DEFAULT_LIBRARY "gpib-32.dll"
#define VRIM_USMC_DEFAULT_LIBRARY "USMCDLL.dll"
#else
#define VRIM_GPIB_DEFAULT_LIBRARY "libgpib.so.0"
#define VRIM_USMC_DEFAULT_LIBRARY "libusmcdll.so"
#endif

// An open library; null when none. Not a Windows HMODULE or a dlopen handle to be used directly.
typedef struct DynLib DynLib;

// Opens the library named by path (UTF-8; a bare name is looked for on the system's search
// path). Returns the handle, or null with the reason in why (why may be null, whySize 0).
DynLib *dynlib_open(const char *path, char *why, std::size_t whySize);
// The address of an exported function or variable, or null with the reason in why (a null lib
// or name is reported as such, not passed to the system).
void *dynlib_symbol(DynLib *lib, const char *name, char *why, std::size_t whySize);
// Closes the library; a null handle is ignored. Addresses taken from it are invalid afterwards.
void dynlib_close(DynLib *lib);

// The address of a function as a typed function pointer (null when absent, reason in why).
template <typename F>
inline bool dynlib_function(DynLib *lib, const char *name, F &fn, char *why = nullptr,
                            std::size_t whySize = 0) {
    fn = reinterpret_cast<F>(dynlib_symbol(lib, name, why, whySize));
    return fn != nullptr;
}
