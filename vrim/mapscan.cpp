// Map scan over the POSITIONS table into a binary measurement file, and the loader that takes the
// reference data of such a file's first block back into row 0 of the store.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/ui/userint.h"
#include "vrim/journal.h"
#include "vrim/mapfile.h"
#include "vrim/record.h"
#include "vrim/vrim.h"

// From measure.cpp.
void grey_curves(void);
void plot_row_curve(int graph, int *handle, const int *x, const float *y, int n, int colour);
int held_ref_count(void);
void hand_back_quit(void);
void qescan_set_positions(int n);
void scan_log_start(const char *name, const char *extra);
void scan_log_end(const char *name, int how, const char *extra);

static const char kFileTitle[] = "Izberi binarno datoteko za meritve";

static char pfile[300];  // path chosen in the file dialog

namespace {
struct QuitHandback {
    ~QuitHandback() { hand_back_quit(); }
};

// Writes one block of position j: the header with one call, then each record with one call, then
// pushes it to the operating system so that a program killed later leaves whole blocks.
// Returns 0, or the errno of the failed write.
int write_block(FILE *f, int j, int n, int xRead, int yRead, int xReq, int yReq, int32_t t) {
    MapHeader h{};
    h.version = MAPFILE_VERSION;
    h.length = mapfile_block_length(n);
    h.index = j;
    h.xRead = xRead;
    h.yRead = yRead;
    h.xReq = xReq;
    h.yReq = yReq;
    h.offRef = tokoff[0];
    h.offPos = tokoff[j];
    h.time = t;

    unsigned char hdr[MAPFILE_HEADER3_BYTES];
    mapfile_put_header(hdr, &h);
    errno = 0;
    if (fwrite(hdr, 4, MAPFILE_HEADER3_BYTES / 4, f) != MAPFILE_HEADER3_BYTES / 4)
        return errno ? errno : EIO;
    for (int i = 0; i < n; i++) {
        MapRecord r{(float)wl[0][i], tok[0][i], tok[j][i], qe[0][i], qe[j][i]};
        unsigned char sdata[MAPFILE_RECORD_BYTES];
        mapfile_put_record(sdata, &r);
        if (fwrite(sdata, 4, MAPFILE_RECORD_BYTES / 4, f) != MAPFILE_RECORD_BYTES / 4)
            return errno ? errno : EIO;
    }
    if (fflush(f) != 0) return errno ? errno : EIO;
    return 0;
}
}  // namespace

void do_map_scan(void) {
    QuitHandback handback;
    MessagePopup("Reminder", "Switch the cable to measure the sample detector current!");
    int sel = FileSelectPopup("", "*.dat", ".dat", kFileTitle, VAL_SAVE_BUTTON, 0, 0, 1, 1, pfile);
    if (sel != VAL_EXISTING_FILE_SELECTED && sel != VAL_NEW_FILE_SELECTED) return;

    // Opened before anything is greyed: a file that cannot be written means no scan at all.
    FILE *f = fopen(pfile, "wb");
    if (!f) {
        int err = errno;
        char msg[400];
        snprintf(msg, sizeof msg, "Cannot open %s for writing: %s.\nThe map scan did not start.",
                 pfile, strerror(err));
        journal_fault("file", "open the map file for writing", "%s: %s", pfile, strerror(err));
        MessagePopup("Map scan", msg);
        return;
    }
    grey_curves();

    int nrows = 0;
    GetNumTableRows(p1h, POSITIONS, &nrows);
    // Table row j + 1 is store row j; the store ends at row 999.
    int last = nrows - 1;
    if (last > VRIM_ROWS - 1) last = VRIM_ROWS - 1;
    int n = held_ref_count();
    // The positions the scan will visit: table rows 2 … up to the first whose X and Y are both <= 0.
    std::vector<std::array<int, 2>> visit;
    for (int j = 1; j <= last; j++) {
        int x = 0, y = 0;  // microsteps
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, j + 1), &x);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, j + 1), &y);
        if (x <= 0 && y <= 0) break;
        visit.push_back({x, y});
    }
    char extra[400];
    snprintf(extra, sizeof extra, "%d positions, file %s", (int)visit.size(), pfile);
    scan_log_start("Map scan", extra);
    record_begin(pfile, visit);
    qescan_set_positions((int)visit.size());
    int blocks = 0;
    int failed = 0;  // errno of a failed write
    bool stopped = false;
    for (int j = 1; j <= last; j++) {
        SetCtrlVal(p1h, POSITION_INDEX, j);
        SetTableSelection(p1h, POSITIONS, MakeRect(j + 1, 1, 1, 2));
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, j + 1), &CurPos[0]);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, j + 1), &CurPos[1]);
        if (CurPos[0] <= 0 && CurPos[1] <= 0) break;  // end of the list
        journal_take_faults(nullptr);  // a block counts the faults of its own position only
        if (qescan() != 0) {                          // aborted: no block for this position
            stopped = true;
            break;
        }
        // The pair qescan read back at its end, then the requested pair again, which CurPos keeps.
        GetCtrlVal(p1h, POS_X, &CurPos[0]);
        GetCtrlVal(p1h, POS_Y, &CurPos[1]);
        int xRead = CurPos[0], yRead = CurPos[1];  // microsteps
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, j + 1), &CurPos[0]);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, j + 1), &CurPos[1]);
        int32_t t = (int32_t)time(nullptr);
        failed = write_block(f, j, n, xRead, yRead, CurPos[0], CurPos[1], t);
        if (failed) {
            journal_fault("file", "write a block of the map file", "%s: %s", pfile, strerror(failed));
            break;
        }
        blocks++;
        std::vector<std::string> texts;
        journal_take_faults(&texts);
        log_line("map block %d written to %s: position %d, requested X %d Y %d, read back X %d Y %d, %d fault%s",
                 blocks, pfile, j, CurPos[0], CurPos[1], xRead, yRead, (int)texts.size(),
                 texts.size() == 1 ? "" : "s");
        record_block(j, CurPos[0], CurPos[1], xRead, yRead, t, texts);
    }
    errno = 0;
    if (fclose(f) != 0 && !failed) {
        failed = errno ? errno : EIO;
        journal_fault("file", "close the map file", "%s: %s", pfile, strerror(failed));
    }
    if (failed)
        snprintf(extra, sizeof extra, "writing %s failed: %s; %d whole blocks in it", pfile, strerror(failed), blocks);
    else
        snprintf(extra, sizeof extra, "%d block%s of %d points in %s", blocks, blocks == 1 ? "" : "s", n, pfile);
    record_end(stopped || failed ? "stopped" : "finished");
    scan_log_end("Map scan", stopped ? JOURNAL_STOPPED : failed ? JOURNAL_ENDED : JOURNAL_FINISHED, extra);
    if (failed) {
        char msg[400];
        snprintf(msg, sizeof msg,
                 "Writing %s failed: %s.\nThe map scan stopped; the file holds %d whole blocks.",
                 pfile, strerror(failed), blocks);
        MessagePopup("Map scan", msg);
    }
}

void do_load_data(void) {
    int sel = FileSelectPopup("", "*.dat", ".dat", kFileTitle, VAL_SELECT_BUTTON, 0, 0, 1, 1, pfile);
    if (sel != VAL_EXISTING_FILE_SELECTED) return;
    FILE *f = fopen(pfile, "rb");
    if (!f) {
        char msg[400];
        snprintf(msg, sizeof msg, "Cannot open %s for reading: %s.", pfile, strerror(errno));
        log_line("load data: cannot open %s: %s", pfile, strerror(errno));
        MessagePopup("Load data", msg);
        return;
    }
    // Only the first block is used, and of it at most the store's points.
    static unsigned char buf[MAPFILE_HEADER3_BYTES + MAPFILE_RECORD_BYTES * MAPFILE_MAX_POINTS];
    static MapFirstBlock block;
    size_t got = fread(buf, 4, sizeof buf / 4, f) * 4;
    int readErr = ferror(f) ? errno : 0;
    fclose(f);

    int st = mapfile_decode_first(buf, got, &block);
    if (st == MAPFILE_BAD_VERSION) {  // not a file of this program: ignored
        log_line("load data: %s is not a map file (%zu bytes, unknown block version); nothing loaded", pfile, got);
        return;
    }
    char msg[500];
    if (st == MAPFILE_CUT_HEADER) {
        snprintf(msg, sizeof msg, "%s ends inside its block header (%zu bytes%s%s).\nNothing was loaded.",
                 pfile, got, readErr ? ", read error: " : "", readErr ? strerror(readErr) : "");
        log_line("load data: %s ends inside its first block header; nothing loaded", pfile);
        MessagePopup("Load data", msg);
        return;
    }
    int k = block.taken;
    for (int i = 0; i < k; i++) {
        wl[0][i] = mapfile_wavelength(block.rec[i].wl);
        tok[0][i] = block.rec[i].refCur;
        qe[0][i] = block.rec[i].refQe;
    }
    nref = k;
    SetCtrlVal(p1h, NREF, nref);
    plot_row_curve(GRAPH_QE, &plqeh[0], wl[0], qe[0], nref, VAL_BLACK);
    plot_row_curve(GRAPH_REFERENCE, &plh[0], wl[0], tok[0], nref, VAL_RED);
    reference_loaded_from_map(pfile, nref);
    log_line("load data: read the reference of the first block of %s: %d points%s", pfile, nref,
             st == MAPFILE_CUT_RECORDS ? " (the block is cut short)" : "");

    long long declared = mapfile_declared_points(&block.hdr);
    if (st == MAPFILE_CUT_RECORDS) {
        snprintf(msg, sizeof msg, "%s ends after %d of %d points%s%s.\nThe %d whole points were loaded.",
                 pfile, k, block.declared, readErr ? ", read error: " : "",
                 readErr ? strerror(readErr) : "", k);
        MessagePopup("Load data", msg);
    } else if (declared > MAPFILE_MAX_POINTS) {
        snprintf(msg, sizeof msg, "%s declares %lld points; the first %d were loaded.", pfile,
                 declared, MAPFILE_MAX_POINTS);
        MessagePopup("Load data", msg);
    }
}
