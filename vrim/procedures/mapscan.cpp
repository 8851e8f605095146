// Map scan over the POSITIONS table into a binary measurement file, and the loader that takes the
// reference data of such a file's first block back into row 0 of the store.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <array>
#include <string>
#include <vector>

#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "formats/mapwrite.h"
#include "vrim/observe/progress.h"
#include "vrim/observe/liverecord.h"
#include "formats/mapresume.h"
#include "formats/safefile.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"


static const char kFileTitle[] = "Izberi binarno datoteko za meritve";
static const int kPathSize = 300;  // characters of a path chosen in the file dialog

namespace {
struct QuitHandback {
    ~QuitHandback() { hand_back_quit(); }
};

// Whether a sample of the map may be measured against the reference current held in row 0; when
// not, the refusal is logged (the reference bookkeeping has put it on the status line).
bool reference_allows(const char *scan) {
    std::string why;
    if (reference_current_matches(&why)) return true;
    log_line("%s refused: %s", scan, why.c_str());
    return false;
}

const char *base_name(const char *path) {
    const char *b = strrchr(path, '/');
#ifdef _WIN32
    const char *w = strrchr(path, '\\');
    if (w && (!b || w > b)) b = w;
#endif
    return b ? b + 1 : path;
}

// The positions the map visits, in order: table rows 2 … until a row with X <= 0 and Y <= 0, at
// most the store's sample rows.
MapPlan map_plan_read(void) {
    MapPlan plan;
    int nrows = 0;
    GetNumTableRows(p1h, POSITIONS, &nrows);
    // Table row j + 1 is store row j; the store ends at row 999.
    int last = nrows - 1;
    if (last > VRIM_ROWS - 1) last = VRIM_ROWS - 1;
    for (int j = 1; j <= last; j++) {
        ScanPosition p;
        p.index = j;
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, j + 1), &p.x);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, j + 1), &p.y);
        if (p.x <= 0 && p.y <= 0) {
            plan.end = j;
            break;
        }
        plan.positions.push_back(p);
    }
    return plan;
}

std::vector<std::array<int, 2>> map_positions(void) { return map_plan_read().xy(); }

// One block of position j: header and records encoded into one buffer (kept for the run, so that
// nothing is allocated once it has grown to the table's size), written and synced in one go.
// Returns 0, or the errno of the failed write (the file is cut back to its whole blocks then).
// Of the n records, the first `measured` hold what position j measured; the rest carry NaN for the
// sample current and QE (a position measures NREF points, the block has the table's).
int write_block(MapWriter *w, int j, int n, int measured, int xRead, int yRead, int xReq, int yReq, int *cutErr) {
    const char *pfile = w->path.c_str();
    static MapRecord sdata[VRIM_POINTS];
    static std::vector<unsigned char> buf;
    MapHeader h{};
    h.index = j;
    h.xRead = xRead;
    h.yRead = yRead;
    h.xReq = xReq;
    h.yReq = yReq;
    h.offRef = tokoff[0];
    h.offPos = tokoff[j];
    h.time = (int32_t)time(nullptr);
    for (int i = 0; i < n; i++) {
        bool m = i < measured;
        sdata[i] = {(float)wl[0][i], tok[0][i], m ? tok[j][i] : NAN, qe[0][i], m ? qe[j][i] : NAN};
    }
    mapfile_encode_block(h, sdata, n, &buf);
    int err = mapwrite_block(w, buf.data(), buf.size(), cutErr);
    if (!err) {
        std::vector<std::string> texts;
        journal_take_faults(&texts);
        progress_position_done();
        char points[64] = "";
        if (measured < n) snprintf(points, sizeof points, "measured %d of %d points, ", measured, n);
        log_line("map block %d written to %s: position %d, requested X %d Y %d, read back X %d Y %d, %s%d fault%s, %s",
                 w->blocks, pfile, j, xReq, yReq, xRead, yRead, points, (int)texts.size(),
                 texts.size() == 1 ? "" : "s", progress_map_text().c_str());
        record_block(j, xReq, yReq, xRead, yRead, h.time, texts);
        mapshow_block(j, n, measured, xRead, yRead, xReq, yReq, (int)texts.size());
    }
    return err;
}

// The map's loop over the positions of plan from `first` on, with settings s, appending to the
// open file; closes it at the end. `kept` is the number of whole blocks the file held before (a
// resumed map); `total` the number of positions the map visits.
void map_run(MapWriter *w, const ScanSettings &s, const MapPlan &plan, int first, int kept, int total,
             const char *name) {
    const char *pfile = w->path.c_str();
    progress_begin_map(plan, first, s);
    mapshow_begin(first > 1 ? pfile : nullptr);
    int n = held_ref_count();
    int failed = 0;  // errno of a failed write
    int cutErr = 0;  // errno of a failed cut back to whole blocks
    bool stopped = false;
    {
        StageBreakCheck breakCheck;
        for (const ScanPosition &at : plan.positions) {
            if (at.index < first) continue;
            int j = at.index;
            SetCtrlVal(p1h, POSITION_INDEX, j);
            SetTableSelection(p1h, POSITIONS, MakeRect(j + 1, 1, 1, 2));
            journal_take_faults(nullptr);  // a block counts the faults of its own position only
            int measured = 0;              // points
            if (qescan(s, at, total, &measured) != 0) {  // aborted: no block for this position
                stopped = true;
                break;
            }
            // The pair qescan read back at its end.
            int xRead = 0, yRead = 0;  // microsteps
            GetCtrlVal(p1h, POS_X, &xRead);
            GetCtrlVal(p1h, POS_Y, &yRead);
            failed = write_block(w, j, n, measured, xRead, yRead, at.x, at.y, &cutErr);
            if (failed) {
                journal_fault("file", "write a block of the map file", "%s: %s", pfile, strerror(failed));
                break;
            }
        }
        // The row that ended the list is shown selected, as the loop came to it.
        if (!stopped && !failed && plan.end >= first) {
            SetCtrlVal(p1h, POSITION_INDEX, plan.end);
            SetTableSelection(p1h, POSITIONS, MakeRect(plan.end + 1, 1, 1, 2));
        }
    }
    progress_end_map();
    int whole = kept + w->blocks;
    int closeErr = mapwrite_close(w);
    if (closeErr && !failed) {
        failed = closeErr;
        journal_fault("file", "close the map file", "%s: %s", pfile, strerror(failed));
    }
    char extra[400];
    if (failed)
        snprintf(extra, sizeof extra, "writing %s failed: %s; %d whole blocks in it", pfile, strerror(failed), whole);
    else
        snprintf(extra, sizeof extra, "%d block%s of %d points in %s", whole, whole == 1 ? "" : "s", n, pfile);
    record_end(stopped || failed ? "stopped" : "finished");
    scan_log_end(name, stopped ? JOURNAL_STOPPED : failed ? JOURNAL_ENDED : JOURNAL_FINISHED, extra);
    if (failed) {
        log_line("Map file %s: a block could not be written (%s); the file keeps %d whole blocks%s", pfile,
                 strerror(failed), whole, cutErr ? " and may end in a partial block" : "");
        char msg[600];
        if (cutErr)
            snprintf(msg, sizeof msg,
                     "Writing %s failed: %s.\nThe map scan stopped; the file holds %d whole blocks, but cutting off "
                     "the part of the next one failed (%s): the file may end in a partial block.",
                     pfile, strerror(failed), whole, strerror(cutErr));
        else
            snprintf(msg, sizeof msg, "Writing %s failed: %s.\nThe map scan stopped; the file holds %d whole blocks.",
                     pfile, strerror(failed), whole);
        MessagePopup("Map scan", msg);
    }
}

void open_failed(const char *title, const char *pfile, int err, const char *what) {
    char msg[500];
    snprintf(msg, sizeof msg, "Cannot open %s for writing: %s.\n%s", pfile, safefile_strerror(err), what);
    journal_fault("file", "open the map file for writing", "%s: %s", pfile, safefile_strerror(err));
    MessagePopup(title, msg);
}
}  // namespace

static void reference_from_block(const MapHeader &h, const MapRecord *rec, int n, const char *path, bool newOrigin) {
    if (n < 0) n = 0;
    if (n > VRIM_POINTS) n = VRIM_POINTS;
    for (int i = 0; i < n; i++) {
        wl[0][i] = mapfile_wavelength(rec[i].wl);
        tok[0][i] = rec[i].refCur;
        qe[0][i] = rec[i].refQe;
    }
    // Only a version-3 header carries the reference dark offset; older blocks leave it as it was.
    if (h.version == 3) {
        tokoff[0] = h.offRef;
        SetCtrlVal(p1h, OFFSET_REFERENCE, (double)tokoff[0]);
    }
    nref = n;
    SetCtrlVal(p1h, NREF, nref);
    plot_row_curve(GRAPH_QE, &plqeh[0], wl[0], qe[0], nref, VAL_BLACK);
    plot_row_curve(GRAPH_REFERENCE, &plh[0], wl[0], tok[0], nref, VAL_RED);
    if (newOrigin)
        reference_loaded_from_map(path, nref);
    else
        reference_current_restored();
}

void do_map_scan(void) {
    QuitHandback handback;
    if (!reference_allows("Map scan")) return;
    if (!scan_reminder(REMINDER_SAMPLE_CABLE, "Map scan", "Switch the cable to measure the sample detector current!"))
        return;
    char pfile[kPathSize] = "";
    int sel = FileSelectPopup("", "*.dat", ".dat", kFileTitle, VAL_SAVE_BUTTON, 0, 0, 1, 1, pfile);
    if (sel != VAL_EXISTING_FILE_SELECTED && sel != VAL_NEW_FILE_SELECTED) return;

    // Measured blocks are never replaced without the operator's word. Anything but a regular file
    // loads as no blocks here and is refused by the writer below.
    if (sel == VAL_EXISTING_FILE_SELECTED) {
        MapBlocks old;
        mapfile_load(pfile, &old);
        if (!old.blocks.empty()) {
            char q[600];
            snprintf(q, sizeof q, "%s holds %zu measured position%s. Replace it?\nResume it instead with Resume map%s",
                     base_name(pfile), old.blocks.size(), old.blocks.size() == 1 ? "" : "s", "\xe2\x80\xa6");
            int ok = ConfirmPopup("Map scan", q);
            log_line("Map scan: %s holds %zu measured positions; %s", pfile, old.blocks.size(),
                     ok == 1 ? "replaced at the operator's word" : "kept: the map scan did not start");
            if (ok != 1) return;
        }
    }

    // Opened before anything is greyed: a file that cannot be written means no scan at all.
    MapWriter w;
    int err = mapwrite_open(&w, pfile, -1);
    if (err) {
        open_failed("Map scan", pfile, err, "The map scan did not start.");
        return;
    }
    grey_curves();
    ScanSettings s = scan_settings_read();
    MapPlan visit = map_plan_read();
    char extra[400];
    snprintf(extra, sizeof extra, "%d positions, file %s", visit.count(), pfile);
    scan_log_start("Map scan", s, extra);
    record_begin(pfile, s, visit);
    map_run(&w, s, visit, 1, 0, visit.count(), "Map scan");
}

void do_resume_map(void) {
    QuitHandback handback;
    if (!reference_allows("Resume map")) return;
    char pfile[kPathSize] = "";
    int sel = FileSelectPopup("", "*.dat", ".dat", kFileTitle, VAL_SELECT_BUTTON, 0, 0, 1, 1, pfile);
    if (sel != VAL_EXISTING_FILE_SELECTED) return;

    char msg[1200];
    if (safefile_check_new_or_regular(pfile) == SAFEFILE_NOT_REGULAR) {
        snprintf(msg, sizeof msg, "%s is not a map file (not a regular file); nothing was changed.", pfile);
        log_line("Resume map refused for %s: not a regular file", pfile);
        MessagePopup("Resume map", msg);
        return;
    }
    static MapBlocks file;
    int st = mapfile_load(pfile, &file);
    if (st == MAPREAD_IO || st == MAPREAD_BAD_VERSION || st == MAPREAD_BAD_LENGTH) {
        snprintf(msg, sizeof msg, "%s cannot be resumed: %s.%s", base_name(pfile), file.why.c_str(),
                 st == MAPREAD_IO ? "" : "\nIts whole blocks can be copied out with vrim-mapinfo --salvage.");
        log_line("Resume map refused for %s: %s", pfile, file.why.c_str());
        MessagePopup("Resume map", msg);
        return;
    }
    MapRecordDoc rec;
    std::string err;
    if (maprecord_read(maprecord_path(pfile), &rec, &err) != 0) {
        snprintf(msg, sizeof msg, "%s cannot be resumed without its record: %s.", base_name(pfile), err.c_str());
        log_line("Resume map refused for %s: no record: %s", pfile, err.c_str());
        MessagePopup("Resume map", msg);
        return;
    }
    ResumePlan plan;
    if (!resume_check(file, &rec, map_positions(), reference_sha256(), held_ref_count(), &plan, &err)) {
        snprintf(msg, sizeof msg, "%s cannot be resumed.\n%s\nNothing was changed.", base_name(pfile), err.c_str());
        log_line("Resume map refused for %s: %s", pfile, err.c_str());
        MessagePopup("Resume map", msg);
        return;
    }
    size_t cut = file.fileBytes - plan.keepBytes;
    if (cut > 0)
        snprintf(msg, sizeof msg, "%s\nThe partial block at its end (%zu bytes) is cut off.", plan.message.c_str(), cut);
    else
        snprintf(msg, sizeof msg, "%s", plan.message.c_str());
    MessagePopup("Resume map", msg);

    MapWriter w;
    int e = mapwrite_open(&w, pfile, (long long)plan.keepBytes);
    if (e) {
        open_failed("Resume map", pfile, e, "The map was not resumed.");
        return;
    }
    if (!scan_reminder(REMINDER_SAMPLE_CABLE, "Map scan", "Switch the cable to measure the sample detector current!")) {
        mapwrite_close(&w);
        return;
    }
    // The blocks go on with the reference the map began with (its first block), as one
    // uninterrupted map would have written them; the reference table in use stays its origin.
    if (plan.have > 0) {
        const MapBlock &b0 = file.blocks.front();
        reference_from_block(b0.hdr, b0.rec.data(), (int)b0.rec.size(), pfile, false);
        log_line("resume map: the reference of the first block of %s is used again: %d points", pfile, nref);
    }
    grey_curves();
    ScanSettings s = scan_settings_read();
    char extra[400];
    snprintf(extra, sizeof extra, "%d positions, file %s, resumed at position %d", plan.total, pfile, plan.next);
    scan_log_start("Map scan", s, extra);
    record_resume(pfile, rec);
    log_line("Map scan resumed: %s holds %d of %d positions%s; going on at position %d%s", pfile, plan.have,
             plan.total, cut > 0 ? " and a partial block, cut off" : "", plan.next,
             plan.adopted ? "; its last block was taken into the record" : "");
    map_run(&w, s, map_plan_read(), plan.next, plan.have, plan.total, "Map scan");
}

void do_load_data(void) {
    char pfile[kPathSize] = "";
    int sel = FileSelectPopup("", "*.dat", ".dat", kFileTitle, VAL_SELECT_BUTTON, 0, 0, 1, 1, pfile);
    if (sel != VAL_EXISTING_FILE_SELECTED) return;
    char msg[600];
    int openErr = 0;
    FILE *f = safefile_fopen(pfile, "rb", &openErr);
    if (!f) {
        snprintf(msg, sizeof msg, "Cannot open %s for reading: %s.", pfile, safefile_strerror(openErr));
        log_line("load data: cannot open %s: %s", pfile, safefile_strerror(openErr));
        MessagePopup("Load data", msg);
        return;
    }
    // Only the first block is used, and of it at most the store's points.
    static unsigned char buf[MAPFILE_HEADER3_BYTES + MAPFILE_RECORD_BYTES * MAPFILE_MAX_POINTS];
    static MapFirstBlock block;
    size_t got = fread(buf, 4, sizeof buf / 4, f) * 4;
    int readErr = ferror(f) ? errno : 0;
    long long size = safefile_size(f);
    fclose(f);
    if (readErr) {
        snprintf(msg, sizeof msg, "Reading %s failed: %s.\nNothing was loaded.", pfile, strerror(readErr));
        log_line("load data: reading %s failed: %s; nothing loaded", pfile, strerror(readErr));
        MessagePopup("Load data", msg);
        return;
    }
    // A buffer that did not fill holds the whole file; otherwise the file's size says whether the
    // block's last record is in it.
    unsigned long long fileBytes = got < sizeof buf || size < (long long)got ? got : (unsigned long long)size;
    std::string why;
    int st = mapfile_take_first(buf, got, fileBytes, &block, &why);
    if (st == MAPFILE_BAD_VERSION) {
        log_line("load data: %s is not a map file (%zu bytes, unknown block version); nothing loaded", pfile, got);
        snprintf(msg, sizeof msg, "%s is not a map file: %s.\nNothing was loaded.", pfile, why.c_str());
        MessagePopup("Load data", msg);
        return;
    }
    if (st == MAPFILE_CUT_HEADER) {
        snprintf(msg, sizeof msg, "%s ends inside its block header (%zu bytes).\nNothing was loaded.", pfile, got);
        log_line("load data: %s ends inside its first block header; nothing loaded", pfile);
        MessagePopup("Load data", msg);
        return;
    }
    if (st != MAPFILE_OK) {
        snprintf(msg, sizeof msg, "%s cannot be loaded: %s.\nNothing was loaded.", pfile, why.c_str());
        log_line("load data: %s: %s; nothing loaded", pfile, why.c_str());
        MessagePopup("Load data", msg);
        return;
    }
    reference_from_block(block.hdr, block.rec, block.taken, pfile, true);
    log_line("load data: read the reference of the first block of %s: %d points%s", pfile, nref,
             block.hdr.version == 3 ? "" : " (no reference dark offset in this version)");

    long long declared = mapfile_declared_points(&block.hdr);
    if (declared > MAPFILE_MAX_POINTS) {
        snprintf(msg, sizeof msg, "%s declares %lld points; the first %d were loaded.", pfile,
                 declared, MAPFILE_MAX_POINTS);
        MessagePopup("Load data", msg);
    }
}
