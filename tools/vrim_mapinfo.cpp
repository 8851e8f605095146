// vrim-mapinfo [-v] FILE: summary of a binary measurement file (map scan blocks).
// Prints the version, points per block, number of blocks, the positions and the range of the
// sample QE; with -v also the mean sample QE of each block. Exit 0 for a readable file, 1 for a
// file that cannot be read or is not a whole sequence of blocks, 2 for a wrong command line.
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

    MapBlocks file;
    int st = mapfile_load(path, &file);
    if (st == MAPREAD_IO) {
        fprintf(stderr, "vrim-mapinfo: %s\n", file.why.c_str());
        return 1;
    }
    if (file.fileBytes == 0) {
        fprintf(stderr, "vrim-mapinfo: %s is empty: no block\n", path);
        return 1;
    }
    if (st != MAPREAD_END) {
        fprintf(stderr, "vrim-mapinfo: %s: %s\n", path, file.why.c_str());
        return 1;
    }

    std::vector<BlockInfo> blocks;
    float qeMin = INFINITY, qeMax = -INFINITY;
    for (const MapBlock &mb : file.blocks) {
        BlockInfo b{};
        b.h = mb.hdr;
        b.points = (long long)mb.rec.size();
        for (const MapRecord &r : mb.rec) {
            if (std::isfinite(r.sampleQe)) {
                b.qeSum += r.sampleQe;
                b.qeN++;
                if (r.sampleQe < qeMin) qeMin = r.sampleQe;
                if (r.sampleQe > qeMax) qeMax = r.sampleQe;
            }
        }
        blocks.push_back(b);
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
