// Feeds arbitrary bytes to the reference QE table reader as if they were a file.
#include <cstdint>
#include <cstdio>

#include "formats/textfile.h"

static const int kPoints = 1000;  // points of a reference table the program reads

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int w[kPoints];
    static float q[kPoints];
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    int n = refqe_parse(f, w, q, kPoints);
    fclose(f);
    if (n < 0 || n > kPoints) __builtin_trap();
    return 0;
}
