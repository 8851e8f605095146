// Text files the operator exchanges through file dialogs: a reference QE table, the positions
// list behind the POSITIONS table, and the text export of one measured spectrum.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "formats/safefile.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

static const int kPathSize = 300;  // characters of a path chosen in a file dialog

// Tells the operator which file failed, at what, and why (err: an errno value or
// SAFEFILE_NOT_REGULAR).
static void report_failure(const char *what, const char *path, int err) {
    log_line("cannot %s the file %s: %s", what, path, safefile_strerror(err));
    char msg[400];
    snprintf(msg, sizeof msg, "Cannot %s the file\n%s\n%s", what, path, safefile_strerror(err));
    MessagePopup("File error", msg);
}

void do_load_refqe(void) {
    char pfile[kPathSize] = "";
    int r = FileSelectPopup("", "*.txt", ".txt", "Izberi referencni QE", VAL_LOAD_BUTTON, 0, 0, 1, 0, pfile);
    if (r != VAL_EXISTING_FILE_SELECTED) return;
    int err = 0;
    if (read_refqe(pfile, &err) < 0) report_failure("open", pfile, err);
}

void do_load_positions(void) {
    char pfile[kPathSize] = "";
    int r = FileSelectPopup("", "*.txt", ".txt", "Izberi datoteko s pozicijami", VAL_LOAD_BUTTON, 0, 0, 1, 0,
                            pfile);
    if (r != VAL_EXISTING_FILE_SELECTED) return;
    int err = 0;
    FILE *f = safefile_fopen(pfile, "r", &err);
    if (!f) {
        report_failure("open", pfile, err);
        return;
    }
    int rows = 0;
    GetNumTableRows(p1h, POSITIONS, &rows);
    // Pair k goes to table row k; the reading stops at the table's last row, which is never extended.
    int loaded = 0;
    for (int i = 1; i <= rows; i++) {
        int x, y;  // microsteps
        if (positions_parse(f, &x, &y, 1) != 1) break;
        SetTableCellVal(p1h, POSITIONS, MakePoint(1, i), x);
        SetTableCellVal(p1h, POSITIONS, MakePoint(2, i), y);
        loaded++;
    }
    long line = 0;
    char text[64];
    bool rest = text_stopped_at(f, &line, text, sizeof text);
    fclose(f);
    char restText[120] = "";
    if (rest && loaded == rows)
        snprintf(restText, sizeof restText, "; the pairs from line %ld on do not fit the table", line);
    else if (rest)
        snprintf(restText, sizeof restText, "; line %ld is not a pair", line);
    log_line("read positions file %s: %d positions into rows 1-%d of %d%s", pfile, loaded, loaded, rows, restText);
    // Rows after the last pair keep earlier positions; say so when a map scan would visit them.
    int nx = 0, ny = 0;  // microsteps
    bool stale = loaded < rows && GetTableCellVal(p1h, POSITIONS, MakePoint(1, loaded + 1), &nx) >= 0 &&
                 GetTableCellVal(p1h, POSITIONS, MakePoint(2, loaded + 1), &ny) >= 0 && (nx > 0 || ny > 0);
    if (stale)
        journal_note(NOTE_POSITIONS,
                     "%d positions loaded into rows 1\u2013%d; rows %d\u2013%d keep earlier positions and a map scan "
                     "will visit them.",
                     loaded, loaded, loaded + 1, rows);
    else
        journal_note(NOTE_POSITIONS, nullptr);
}

void do_save_positions(void) {
    char pfile[kPathSize] = "";
    int r = FileSelectPopup("", "*.txt", ".txt", "Izberi datoteko s pozicijami", VAL_SAVE_BUTTON, 0, 0, 1, 1,
                            pfile);
    if (r != VAL_EXISTING_FILE_SELECTED && r != VAL_NEW_FILE_SELECTED) return;
    int err = 0;
    FILE *f = safefile_fopen(pfile, "w", &err);
    if (!f) {
        report_failure("open", pfile, err);
        return;
    }
    int rows = 0;
    GetNumTableRows(p1h, POSITIONS, &rows);
    for (int j = 1; j <= rows; j++) {
        int x = 0, y = 0;  // microsteps; an empty cell reads as 0
        GetTableCellVal(p1h, POSITIONS, MakePoint(1, j), &x);
        GetTableCellVal(p1h, POSITIONS, MakePoint(2, j), &y);
        fprintf(f, "%d %d\n", x, y);
    }
    bool bad = ferror(f) != 0;
    if (fclose(f) != 0 || bad)
        report_failure("write", pfile, errno ? errno : EIO);
    else
        log_line("wrote positions file %s: %d positions", pfile, rows);
}

void do_save_text(void) {
    char pfile[kPathSize] = "";
    int r = FileSelectPopup("", "*.txt", ".txt", "Izberi datoteko za meritve", VAL_SAVE_BUTTON, 0, 0, 1, 1, pfile);
    if (r != VAL_EXISTING_FILE_SELECTED && r != VAL_NEW_FILE_SELECTED) return;
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    if (npos < 0 || npos >= VRIM_ROWS) {
        // The sample columns would come from outside the store: write nothing.
        char msg[120];
        snprintf(msg, sizeof msg, "Position %d is not a row of the measurement store (0 to %d).", npos,
                 VRIM_ROWS - 1);
        MessagePopup("File error", msg);
        return;
    }
    int err = 0;
    FILE *f = safefile_fopen(pfile, "w", &err);
    if (!f) {
        report_failure("open", pfile, err);
        return;
    }
    int n = nref < 0 ? 0 : (nref > VRIM_POINTS ? VRIM_POINTS : nref);
    for (int i = 0; i < n; i++) export_line(f, wl[0][i], tok[0][i], tok[npos][i], qe[0][i], qe[npos][i]);
    bool bad = ferror(f) != 0;
    if (fclose(f) != 0 || bad)
        report_failure("write", pfile, errno ? errno : EIO);
    else
        log_line("wrote text export %s: position %d, %d points", pfile, npos, n);
}
