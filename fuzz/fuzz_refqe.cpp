// Feeds arbitrary bytes to the reference QE table reader as if they were a file.
#include <cstdint>
#include <cstdio>

#include "vrim/vrim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int w[VRIM_POINTS];
    static float q[VRIM_POINTS];
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    int n = refqe_parse(f, w, q, VRIM_POINTS);
    fclose(f);
    if (n < 0 || n > VRIM_POINTS) __builtin_trap();
    return 0;
}
