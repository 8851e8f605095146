// libFuzzer target over the binary measurement file decoder: any bytes must decode without
// reading outside the input, and what the loader would take must stay within the store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/mapfile.h"

static MapFirstBlock block;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int st = mapfile_decode_first(data, size, &block);
    if (block.declared < 0 || block.declared > MAPFILE_MAX_POINTS) abort();
    if (block.taken < 0 || block.taken > block.declared) abort();
    if (st == MAPFILE_OK && block.taken != block.declared) abort();
    if ((st == MAPFILE_CUT_HEADER || st == MAPFILE_BAD_VERSION) && block.taken != 0) abort();
    long long sum = 0;
    for (int i = 0; i < block.taken; i++) sum += mapfile_wavelength(block.rec[i].wl);
    if (block.taken == 0 && sum != 0) abort();

    // What "Load data" takes: only a whole block of finite values, never a partly present one.
    int take = mapfile_take_first(data, size, size, &block, nullptr);
    if (take == MAPFILE_OK && (block.taken < 1 || block.taken != block.declared)) abort();
    if (take != MAPFILE_OK && block.taken != 0) abort();

    // Walk every block as the summary tool does.
    size_t off = 0;
    while (off < size) {
        MapHeader h;
        int hb = mapfile_get_header(data + off, size - off, &h);
        if (hb <= 0) break;
        long long n = mapfile_declared_points(&h);
        if (n < 0) break;
        unsigned long long bytes = (unsigned long long)hb + (unsigned long long)n * MAPFILE_RECORD_BYTES;
        if (bytes > size - off) break;
        for (long long i = 0; i < n; i++) {
            MapRecord r;
            mapfile_get_record(data + off + hb + (size_t)i * MAPFILE_RECORD_BYTES, &r);
        }
        off += (size_t)bytes;
    }
    return 0;
}
