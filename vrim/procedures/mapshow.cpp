// The panel's map view fed by the program: the blocks of a running map scan as they are written,
// any map file the operator opens (without touching the store or the reference), and the view's
// picture saved.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>

#include "platform/panel/mapview.h"
#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "formats/safefile.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

static const int kPathSize = 300;  // characters of a path chosen in a file dialog

void mapshow_begin(const char *resumedFile) {
    MapViewClear(p1h, MAP_VIEW);
    if (!resumedFile) return;
    static MapBlocks file;
    mapfile_load(resumedFile, &file);  // the whole blocks before any damage; none when unreadable
    if (!file.blocks.empty()) MapViewSetMap(p1h, MAP_VIEW, &file.blocks, nullptr);
}

void mapshow_block(int j, int n, int measured, int xRead, int yRead, int xReq, int yReq, int faults) {
    if (j < 1 || j >= VRIM_ROWS || n < 0) return;
    if (n > VRIM_POINTS) n = VRIM_POINTS;
    MapBlock b{};
    b.hdr.version = MAPFILE_VERSION;
    b.hdr.length = mapfile_block_length(n);
    b.hdr.index = j;
    b.hdr.xRead = xRead;
    b.hdr.yRead = yRead;
    b.hdr.xReq = xReq;
    b.hdr.yReq = yReq;
    b.hdr.offRef = tokoff[0];
    b.hdr.offPos = tokoff[j];
    b.hdr.time = (int32_t)time(nullptr);
    b.rec.resize((size_t)n);
    for (int i = 0; i < n; i++) {
        bool m = i < measured;
        b.rec[(size_t)i] = MapRecord{(float)wl[0][i], tok[0][i], m ? tok[j][i] : NAN, qe[0][i], m ? qe[j][i] : NAN};
    }
    MapViewAddBlock(p1h, MAP_VIEW, &b, faults);
}

void do_open_map(void) {
    char mfile[kPathSize] = "";
    int sel = FileSelectPopup("", "*.dat", ".dat", "Open a map file", VAL_SELECT_BUTTON, 0, 0, 1, 0, mfile);
    if (sel != VAL_EXISTING_FILE_SELECTED) return;
    static MapBlocks file;  // kept between calls: a large map is not allocated twice
    int st = mapfile_load(mfile, &file);
    char msg[600];
    if (st == MAPREAD_IO || file.blocks.empty()) {
        snprintf(msg, sizeof msg, "%s cannot be shown: %s.", mfile,
                 st == MAPREAD_IO ? file.why.c_str() : (file.fileBytes == 0 ? "the file is empty" : file.why.c_str()));
        log_line("Open map: %s", msg);
        MessagePopup("Open map", msg);
        return;
    }
    // The record beside the map, when there is one, says which positions had faults.
    MapRecordDoc rec;
    std::string err, json = maprecord_path(mfile);
    struct stat sb;
    bool haveRec = stat(json.c_str(), &sb) == 0 && maprecord_read(json, &rec, &err) == 0;
    MapViewSetMap(p1h, MAP_VIEW, &file.blocks, haveRec ? &rec : nullptr);
    MapViewBringForward(p1h, MAP_VIEW);
    log_line("Map file shown in the map view: %s, %zu blocks of %zu points%s%s", mfile, file.blocks.size(),
             file.blocks.front().rec.size(), haveRec ? ", record " : ", no record", haveRec ? json.c_str() : "");
    if (st != MAPREAD_END) {
        snprintf(msg, sizeof msg, "%s is damaged: %s.\nThe %zu whole blocks before it are shown.", mfile,
                 file.why.c_str(), file.blocks.size());
        log_line("Open map: %s", msg);
        MessagePopup("Open map", msg);
    } else if (!err.empty()) {
        snprintf(msg, sizeof msg, "The map is shown without its record: %s.", err.c_str());
        MessagePopup("Open map", msg);
    }
}

void do_save_map_png(void) {
    char mfile[kPathSize] = "";
    int sel = FileSelectPopup("", "*.png", ".png", "Save the map picture", VAL_SAVE_BUTTON, 0, 0, 1, 1, mfile);
    if (sel != VAL_EXISTING_FILE_SELECTED && sel != VAL_NEW_FILE_SELECTED) return;
    // The picture writer opens the path itself, and would wait on a FIFO for ever: only a regular
    // file or a new one is handed to it.
    int check = safefile_check_new_or_regular(mfile);
    if (check != 0) {
        char msg[400];
        snprintf(msg, sizeof msg, "The map picture cannot be written to %s: %s.", mfile, safefile_strerror(check));
        log_line("Save map picture: %s", msg);
        MessagePopup("Save map picture", msg);
        return;
    }
    if (MapViewSavePng(p1h, MAP_VIEW, mfile) != 0) {
        char msg[400];
        snprintf(msg, sizeof msg, "The map picture could not be written to %s.", mfile);
        MessagePopup("Save map picture", msg);
        return;
    }
    log_line("Map picture saved: %s", mfile);
}
