// The measurement store: fixed arrays by row (row 0 the reference detector, row n sample
// position n), nothing allocated while the program runs.
#pragma once

#define VRIM_ROWS 1000    // store rows: 0 = reference detector, n = sample position n
#define VRIM_POINTS 1000  // points per row

extern int wl[VRIM_ROWS][VRIM_POINTS];     // tenths of a nanometre
extern float tok[VRIM_ROWS][VRIM_POINTS];  // amperes, dark offset minus reading
extern float qe[VRIM_ROWS][VRIM_POINTS];   // unit of the reference table
extern float tokoff[VRIM_ROWS];            // amperes, dark offset as read
extern int plh[VRIM_ROWS];                 // current curve handle, 0 = none
extern int plqeh[VRIM_ROWS];               // QE curve handle, 0 = none
extern int nref;                           // points of the reference table in row 0

// Every row back to zero, no curve handles.
void store_clear(void);
// Reads a reference QE table into row 0, sets nref and NREF, redraws the reference QE curve.
// At most VRIM_POINTS pairs are taken; the rest of a longer file is ignored. Only a regular file
// is read (a FIFO or device is refused at once). Returns the number of pairs taken, or -1 when the
// file cannot be opened or is not a regular file (nothing read, nothing changed; *err, when not
// null, gets the errno value or SAFEFILE_NOT_REGULAR of formats/safefile.h, and errno the errno
// value, EINVAL for a file that is not regular).
int read_refqe(const char *path, int *err = nullptr);
