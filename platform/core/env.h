// setenv and unsetenv where the C library lacks them (Windows), so that the simulated station,
// the tools and the tests set the environment the same way everywhere. On Windows an empty value
// removes the variable, as the system has no empty variables.
#pragma once
#include <cstdlib>

#if defined(_WIN32)
inline int setenv(const char *name, const char *value, int overwrite) {
    if (!name || !*name || !value) return -1;
    if (!overwrite && std::getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char *name) {
    if (!name || !*name) return -1;
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
#endif
