// Feeds arbitrary bytes to the positions reader, with a table of a few rows, as if they were a file.
#include <cstdint>
#include <cstdio>

#include "formats/textfile.h"

static const int kRows = 1000;  // rows of the positions table the program reads

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int x[kRows], y[kRows];
    if (size < 2) return 0;
    // The first byte chooses the table's size, so short and long tables both get exercised.
    int rows = data[0] % 8 == 0 ? kRows : data[0] % 8;
    FILE *f = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
    if (!f) return 0;
    int n = positions_parse(f, x, y, rows);
    fclose(f);
    if (n < 0 || n > rows) __builtin_trap();
    return 0;
}
