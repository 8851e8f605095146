// The measurement store: fixed arrays by row (row 0 the reference detector, row n sample
// position n) and the reader of a reference QE table into row 0.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <string>

#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "vrim/observe/liverecord.h"
#include "formats/safefile.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

int wl[VRIM_ROWS][VRIM_POINTS];     // tenths of a nanometre
float tok[VRIM_ROWS][VRIM_POINTS];  // amperes, dark offset minus reading
float qe[VRIM_ROWS][VRIM_POINTS];   // unit of the reference table
float tokoff[VRIM_ROWS];            // amperes, dark offset as read
int plh[VRIM_ROWS];                 // current curve handle, 0 = none
int plqeh[VRIM_ROWS];               // QE curve handle, 0 = none
int nref;                           // points of the reference table in row 0

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

int read_refqe(const char *path, int *err) {
    if (err) *err = 0;
    int openErr = 0;
    FILE *f = safefile_fopen(path, "r", &openErr);
    if (!f) {
        log_line("cannot open reference table %s: %s", path, safefile_strerror(openErr));
        if (err) *err = openErr;
        errno = openErr == SAFEFILE_NOT_REGULAR ? EINVAL : openErr;  // the caller says why
        return -1;  // never read from a file that did not open; row 0 stays as it was
    }
    // At most one row of pairs: a longer table stops at the store's last point.
    nref = refqe_parse(f, wl[0], qe[0], VRIM_POINTS);
    long line = 0;
    char text[64];
    bool rest = text_stopped_at(f, &line, text, sizeof text);
    fclose(f);
    if (!rest)
        journal_note(NOTE_REFERENCE, nullptr);
    else if (nref == VRIM_POINTS)
        journal_note(NOTE_REFERENCE, "%s: the first %d pairs read; the rest of the file from line %ld is ignored.",
                     path, nref, line);
    else
        journal_note(NOTE_REFERENCE, "%s: %d pairs read; line %ld is not a pair: \"%s\".", path, nref, line, text);
    log_line("read reference table %s: %d points%s%s", path, nref, rest ? "; stopped at line " : "",
             rest ? std::to_string(line).c_str() : "");
    reference_table_read(path, nref);
    SetCtrlVal(p1h, NREF, nref);
    if (plqeh[0] != 0) DeleteGraphPlot(p1h, GRAPH_QE, plqeh[0], 1);
    plqeh[0] = PlotXY(p1h, GRAPH_QE, wl[0], qe[0], nref, VAL_INTEGER, VAL_FLOAT, VAL_THIN_LINE, VAL_NO_POINT,
                      VAL_SOLID, 1, VAL_BLACK);
    return nref;
}
