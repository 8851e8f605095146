// vrim-mapinfo [-v] FILE: summary of a binary measurement file (map scan blocks).
// Prints the version, points per block, number of blocks, the positions and the range of the
// sample QE; with -v also the mean sample QE of each block. Exit 0 for a readable file, 1 for a
// file that cannot be read or is not a whole sequence of blocks, 2 for a wrong command line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "vrim/mapfile.h"

namespace {

struct BlockInfo {
    MapHeader h;
    long long points;
    double qeSum;   // of the finite sample QE values
    long long qeN;
};

int usage() {
    fprintf(stderr, "usage: vrim-mapinfo [-v] FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool verbose = false;
    const char *path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-v") == 0)
            verbose = true;
        else if (!path)
            path = argv[i];
        else
            return usage();
    }
    if (!path) return usage();

    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "vrim-mapinfo: cannot open %s: %s\n", path, strerror(errno));
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    bool readErr = ferror(f);
    int err = errno;
    fclose(f);
    if (readErr) {
        fprintf(stderr, "vrim-mapinfo: reading %s failed: %s\n", path, strerror(err));
        return 1;
    }
    if (data.empty()) {
        fprintf(stderr, "vrim-mapinfo: %s is empty: no block\n", path);
        return 1;
    }

    std::vector<BlockInfo> blocks;
    size_t off = 0;
    float qeMin = INFINITY, qeMax = -INFINITY;
    while (off < data.size()) {
        size_t left = data.size() - off;
        BlockInfo b{};
        int hb = mapfile_get_header(data.data() + off, left, &b.h);
        if (hb < 0) {
            fprintf(stderr, "vrim-mapinfo: %s: block %zu at byte %zu is cut short inside its header (%zu bytes left)\n",
                    path, blocks.size() + 1, off, left);
            return 1;
        }
        if (hb == 0) {
            fprintf(stderr, "vrim-mapinfo: %s: block %zu at byte %zu has unknown version %d\n", path,
                    blocks.size() + 1, off, (int)b.h.version);
            return 1;
        }
        b.points = mapfile_declared_points(&b.h);
        if (b.points < 0) {
            fprintf(stderr, "vrim-mapinfo: %s: block %zu at byte %zu has an impossible length %u\n",
                    path, blocks.size() + 1, off, (unsigned)b.h.length);
            return 1;
        }
        size_t bytes = (size_t)hb + (size_t)b.points * MAPFILE_RECORD_BYTES;
        if (bytes > left) {
            fprintf(stderr,
                    "vrim-mapinfo: %s: block %zu at byte %zu is cut short: %zu of %lld records present\n",
                    path, blocks.size() + 1, off, (left - hb) / MAPFILE_RECORD_BYTES, b.points);
            return 1;
        }
        for (long long i = 0; i < b.points; i++) {
            MapRecord r;
            mapfile_get_record(data.data() + off + hb + (size_t)i * MAPFILE_RECORD_BYTES, &r);
            if (std::isfinite(r.sampleQe)) {
                b.qeSum += r.sampleQe;
                b.qeN++;
                if (r.sampleQe < qeMin) qeMin = r.sampleQe;
                if (r.sampleQe > qeMax) qeMax = r.sampleQe;
            }
        }
        blocks.push_back(b);
        off += bytes;
    }

    const BlockInfo &first = blocks.front();
    printf("file: %s\n", path);
    printf("version: %d\n", (int)first.h.version);
    printf("points: %lld\n", first.points);
    for (const BlockInfo &b : blocks) {
        if (b.h.version != first.h.version || b.points != first.points) {
            printf("note: blocks differ in version or points (block %d: version %d, %lld points)\n",
                   (int)b.h.index, (int)b.h.version, b.points);
            break;
        }
    }
    printf("blocks: %zu\n", blocks.size());
    printf("positions:\n");
    for (const BlockInfo &b : blocks) {
        if (b.h.version == 3)
            printf("  %d requested %d %d read %d %d\n", (int)b.h.index, (int)b.h.xReq, (int)b.h.yReq,
                   (int)b.h.xRead, (int)b.h.yRead);
        else
            printf("  %d read %d %d\n", (int)b.h.index, (int)b.h.xRead, (int)b.h.yRead);
    }
    if (qeMin <= qeMax)
        printf("QE range: %g .. %g\n", qeMin, qeMax);
    else
        printf("QE range: none\n");
    if (verbose) {
        printf("mean QE per block:\n");
        for (const BlockInfo &b : blocks) {
            if (b.qeN > 0)
                printf("  %d %g\n", (int)b.h.index, b.qeSum / (double)b.qeN);
            else
                printf("  %d none\n", (int)b.h.index);
        }
    }
    return 0;
}
