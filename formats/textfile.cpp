// Plain readers and writers of the program's text files. They touch neither the panel nor the
// store, so they can be fed any input on their own (the fuzz targets do).
#include <climits>
#include <cstring>

#include "formats/textfile.h"

int refqe_parse(FILE *f, int *wlOut, float *qeOut, int max) {
    int n = 0;
    if (!f) return 0;
    while (n < max) {
        // Both items go straight into the slot: a half pair leaves its wavelength there, uncounted.
        if (fscanf(f, " %d %f", &wlOut[n], &qeOut[n]) != 2) break;
        n++;
    }
    return n;
}

int positions_parse(FILE *f, int *x, int *y, int maxPairs) {
    int n = 0;
    if (!f) return 0;
    while (n < maxPairs) {
        int px, py;
        if (fscanf(f, " %d %d", &px, &py) != 2) break;
        x[n] = px;
        y[n] = py;
        n++;
    }
    return n;
}

int positions_write_grid(FILE *f) {
    const int nx = 10, ny = 10;
    const int minx = 130000, maxx = 280000, miny = 115000, maxy = 265000;  // microsteps
    int bad = 0;
    if (fprintf(f, "%d %d\n", VRIM_REF_X, VRIM_REF_Y) < 0) bad = 1;
    for (int i = 0; i <= nx; i++) {
        for (int j = 0; j <= ny; j++) {
            // Product before the truncating division, all in 32-bit ints (no overflow: < 2^31).
            int x = minx + (maxx - minx) * i / nx;
            int y = miny + (maxy - miny) * j / ny;
            if (fprintf(f, "%d %d\n", x, y) < 0) bad = 1;
        }
    }
    return bad ? -1 : 0;
}

int export_line(FILE *f, int w, float tokRef, float tokSample, float qeRef, float qeSample) {
    return fprintf(f, "%d %g %g %g %g\n", w, (double)tokRef, (double)tokSample, (double)qeRef, (double)qeSample);
}


bool text_stopped_at(FILE *f, long *line, char *text, size_t size) {
    if (text && size > 0) text[0] = 0;
    if (line) *line = 0;
    if (!f) return false;
    int c;
    do {
        c = fgetc(f);
    } while (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f');
    if (c == EOF) return false;
    long at = ftell(f) - 1;  // the first byte left
    if (at < 0 || fseek(f, 0, SEEK_SET) != 0) return true;
    long lineNo = 1, lineStart = 0;
    for (long i = 0; i < at; i++) {
        int b = fgetc(f);
        if (b == EOF) break;
        if (b == '\n') {
            lineNo++;
            lineStart = i + 1;
        }
    }
    if (line) *line = lineNo;
    if (text && size > 1 && fseek(f, lineStart, SEEK_SET) == 0 && fgets(text, (int)(size > INT_MAX ? INT_MAX : size), f)) {
        size_t n = strlen(text);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = 0;
    }
    return true;
}
