#include "platform/core/dynlib.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void say(char *why, std::size_t whySize, const char *text) {
    if (!why || whySize == 0) return;
    std::snprintf(why, whySize, "%s", text ? text : "unknown reason");
}

#if defined(_WIN32)
// The system's text for the last error, with its number, trailing line break removed.
void sayLastError(char *why, std::size_t whySize) {
    if (!why || whySize == 0) return;
    DWORD code = GetLastError();
    char text[300] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text - 1,
                             nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
    if (n == 0) std::snprintf(text, sizeof text, "system error");
    std::snprintf(why, whySize, "%s (error %lu)", text, static_cast<unsigned long>(code));
}
#endif

}  // namespace

DynLib *dynlib_open(const char *path, char *why, std::size_t whySize) {
    if (!path || !*path) {
        say(why, whySize, "no library name given");
        return nullptr;
    }
#if defined(_WIN32)
    // UTF-8 name to the wide form the system wants; a name that does not fit is refused.
    wchar_t wide[1024];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 1024);
    if (n <= 0) {
        sayLastError(why, whySize);
        return nullptr;
    }
    // No "cannot find" dialog box: the failure is reported to the caller instead.
    UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE h = LoadLibraryW(wide);
    if (!h) sayLastError(why, whySize);
    SetErrorMode(old);
    return reinterpret_cast<DynLib *>(h);
#else
    dlerror();
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) say(why, whySize, dlerror());
    return static_cast<DynLib *>(h);
#endif
}

void *dynlib_symbol(DynLib *lib, const char *name, char *why, std::size_t whySize) {
    if (!lib || !name || !*name) {
        say(why, whySize, !lib ? "no library open" : "no operation name given");
        return nullptr;
    }
#if defined(_WIN32)
    FARPROC p = GetProcAddress(reinterpret_cast<HMODULE>(lib), name);
    if (!p) {
        sayLastError(why, whySize);
        return nullptr;
    }
    return reinterpret_cast<void *>(p);
#else
    dlerror();
    void *p = dlsym(lib, name);
    if (!p) {
        const char *e = dlerror();
        say(why, whySize, e ? e : "the symbol's address is null");
    }
    return p;
#endif
}

void dynlib_close(DynLib *lib) {
    if (!lib) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(lib));
#else
    dlclose(lib);
#endif
}
