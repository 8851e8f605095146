// Compile-time checking of printf-style arguments where the compiler offers it. MinGW's plain
// "printf" archetype is the Microsoft format (no %zu, no %lld); the program formats with the C99
// rules everywhere, so MinGW is told "gnu_printf". Other compilers check nothing.
#pragma once

#if defined(__MINGW32__)
#define VRIM_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__) || defined(__clang__)
#define VRIM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VRIM_PRINTF(fmt, args)
#endif
