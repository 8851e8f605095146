// Plain readers and writers of the program's text files: the reference QE table, positions files,
// the default grid and the text export. They touch neither the panel nor the store, so they can be
// fed any input on their own (the fuzz targets do).
#pragma once
#include <cstddef>
#include <cstdio>

// The reference detector's position in the default grid, microsteps.
#define VRIM_REF_X 30000
#define VRIM_REF_Y 124000

// Reads white-space separated pairs "wavelength qe" (tenths of a nanometre, QE) with " %d %f"
// from f into wl[k], qe[k] for k = 0 ... until a pair does not convert, the input ends or max
// pairs are taken. Returns the number of whole pairs taken. A trailing half pair leaves its
// wavelength in wl[count] (when count < max) without counting it.
int refqe_parse(FILE *f, int *wl, float *qe, int max);
// Reads pairs of integers " %d %d" (X Y, microsteps) into x[k], y[k] for k = 0 ... until a pair
// does not convert, the input ends or maxPairs pairs are taken; returns the number of pairs.
int positions_parse(FILE *f, int *x, int *y, int maxPairs);
// After a reader above stopped: true when input other than white space is left in f (which must
// be seekable); *line gets the line number of its first byte (from 1) and text[size] that line,
// cut to fit and without its line end. False at the end of the input.
bool text_stopped_at(FILE *f, long *line, char *text, size_t size);
// Writes the default grid (122 lines "%d %d\n": the reference detector's position, then the
// 11 x 11 sample grid, column by column). Returns 0, or -1 when a write failed.
int positions_write_grid(FILE *f);
// Writes one line "%d %g %g %g %g\n" of the text export. Returns fprintf's result.
int export_line(FILE *f, int wl, float tokRef, float tokSample, float qeRef, float qeSample);
