// The measurement store: fixed arrays by row (row 0 the reference detector, row n sample
// position n) and the reader of a reference QE table into row 0.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/ui/userint.h"
#include "vrim/maprecord.h"
#include "vrim/vrim.h"

int wl[VRIM_ROWS][VRIM_POINTS];     // tenths of a nanometre
float tok[VRIM_ROWS][VRIM_POINTS];  // amperes, dark offset minus reading
float qe[VRIM_ROWS][VRIM_POINTS];   // unit of the reference table
float tokoff[VRIM_ROWS];            // amperes, dark offset as read
int plh[VRIM_ROWS];                 // current curve handle, 0 = none
int plqeh[VRIM_ROWS];               // QE curve handle, 0 = none
int nref;                           // points of the reference table in row 0
char refqe_path[300];               // the reference QE table in use, "" before one was read
char refqe_sha256[65];              // its SHA-256 when read, "" when it could not be hashed

void store_clear(void) {
    for (int r = 0; r < VRIM_ROWS; r++) {
        tokoff[r] = 0;
        plh[r] = 0;
        plqeh[r] = 0;
        for (int p = 0; p < VRIM_POINTS; p++) {
            tok[r][p] = 0;
            wl[r][p] = 0;
            qe[r][p] = 0;
        }
    }
}

int read_refqe(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) return -1;  // never read from a file that did not open; row 0 stays as it was
    // At most one row of pairs: a longer table stops at the store's last point.
    nref = refqe_parse(f, wl[0], qe[0], VRIM_POINTS);
    fclose(f);
    snprintf(refqe_path, sizeof refqe_path, "%s", path);
    std::string sha;
    snprintf(refqe_sha256, sizeof refqe_sha256, "%s", sha256_file(path, &sha) == 0 ? sha.c_str() : "");
    SetCtrlVal(p1h, NREF, nref);
    if (plqeh[0] != 0) DeleteGraphPlot(p1h, GRAPH_QE, plqeh[0], 1);
    plqeh[0] = PlotXY(p1h, GRAPH_QE, wl[0], qe[0], nref, VAL_INTEGER, VAL_FLOAT, VAL_THIN_LINE, VAL_NO_POINT,
                      VAL_SOLID, 1, VAL_BLACK);
    return nref;
}
