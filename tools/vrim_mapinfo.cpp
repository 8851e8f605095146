// vrim-mapinfo [-v] FILE: summary of a binary measurement file (map scan blocks) and of the record
// beside it. Prints the version, points per block, number of blocks, the positions, the range of
// the sample QE, the values that are not a number per column, and the record's state and blocks
// with faults; with -v also the mean sample QE of each block. A damaged file is summarised as far
// as its whole blocks go, then the last line says where and why reading stopped.
// Exit 0 for a whole, readable file; 1 for a file that cannot be read, is empty or is damaged;
// 2 for a wrong command line.
//
// vrim-mapinfo --salvage OUT FILE: writes the whole blocks of FILE, as they are, to OUT.
// Exit 0 when OUT was written, 1 when there was nothing to write or the write failed.
#include <cstdio>
#include <cstring>
#include <string>

#include "formats/mapsummary.h"

namespace {

int usage() {
    fprintf(stderr, "usage: vrim-mapinfo [-v] FILE\n       vrim-mapinfo --salvage OUT FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool verbose = false;
    const char *path = nullptr;
    const char *salvage = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-v") == 0)
            verbose = true;
        else if (strcmp(argv[i], "--salvage") == 0) {
            if (salvage || i + 1 >= argc) return usage();
            salvage = argv[++i];
        } else if (!path)
            path = argv[i];
        else
            return usage();
    }
    if (!path || (salvage && verbose)) return usage();

    MapSummary s;
    int status = mapsummary_read(path, &s);
    if (salvage) {
        std::string msg;
        if (s.file.stop != MAPREAD_END && s.file.stop != MAPREAD_IO)
            fprintf(stderr, "vrim-mapinfo: %s: %s\n", path, s.file.why.c_str());
        if (mapsummary_salvage(s, salvage, &msg) != 0) {
            fprintf(stderr, "vrim-mapinfo: %s\n", msg.c_str());
            return 1;
        }
        printf("%s\n", msg.c_str());
        return 0;
    }
    std::string text = mapsummary_text(s, verbose);
    if (s.file.stop == MAPREAD_IO || s.file.fileBytes == 0) {
        fprintf(stderr, "vrim-mapinfo: %s", text.c_str() + strlen("error: "));
        return 1;
    }
    fputs(text.c_str(), stdout);
    if (status != 0) fprintf(stderr, "vrim-mapinfo: %s: %s\n", path, s.file.why.c_str());
    return status;
}
