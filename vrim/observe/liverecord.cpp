// The reference's origin and the map record kept while a map scan runs (see liverecord.h).
#include "vrim/observe/liverecord.h"

#include <ctime>

#include "vrim/observe/journal.h"
#include "formats/maprecord.h"
#include "vrim/store.h"

namespace {

struct Reference {
    std::string table;     // path of the file row 0 came from
    std::string sha256;    // of that file when it was read; "" when it could not be read
    int points = 0;
    long long scanned = 0; // calendar seconds of the reference scan or of the map file load; 0 = none
    bool haveCurrent = false;     // a reference current is held in row 0 (scanned or loaded)
    std::vector<int> currentWl;   // tenths of a nanometre: the wavelengths it was measured at
    std::string otherTable;       // a table of other wavelengths read since; "" when none
};
Reference gRef;

MapRecordDoc gDoc;
std::string gMapPath;
bool gOpen = false;

void take_sha(const char *path) {
    gRef.sha256.clear();
    if (sha256_file(path, &gRef.sha256) != 0) gRef.sha256.clear();
}

// The wavelengths row 0 holds now, as many as the table held in the store has.
std::vector<int> held_wavelengths(void) {
    int n = nref < 0 ? 0 : (nref > VRIM_POINTS ? VRIM_POINTS : nref);
    return std::vector<int>(wl[0], wl[0] + n);
}

std::string mismatch_text(void) {
    return "The reference current was measured at other wavelengths than those of the reference table " +
           gRef.otherTable + "; a reference scan or Load data must come before a sample or map scan.";
}

// A reference current for the wavelengths of row 0 is held from now on.
void current_held(void) {
    gRef.haveCurrent = true;
    gRef.currentWl = held_wavelengths();
    if (!gRef.otherTable.empty()) journal_note(NOTE_REFERENCE_CURRENT, nullptr);
    gRef.otherTable.clear();
}

int write_now(void) {
    gDoc.updated = iso8601_local((long long)time(nullptr));
    std::string err;
    if (maprecord_write(gMapPath, gDoc, &err) == 0) return 0;
    journal_fault("file", ("write the map record " + maprecord_path(gMapPath)).c_str(), "%s", err.c_str());
    return -1;
}

}  // namespace

void reference_table_read(const char *path, int points) {
    gRef.table = path ? path : "";
    gRef.points = points;
    take_sha(path);
    if (!gRef.haveCurrent) return;
    if (held_wavelengths() == gRef.currentWl) {
        if (!gRef.otherTable.empty()) journal_note(NOTE_REFERENCE_CURRENT, nullptr);
        gRef.otherTable.clear();
        return;
    }
    gRef.otherTable = gRef.table;
    std::string text = mismatch_text();
    journal_note(NOTE_REFERENCE_CURRENT, "%s", text.c_str());
    log_line("%s", text.c_str());
}

void reference_loaded_from_map(const char *path, int points) {
    gRef.table = path ? path : "";
    gRef.points = points;
    gRef.scanned = (long long)time(nullptr);
    take_sha(path);
    current_held();
}

void reference_scanned(void) {
    gRef.scanned = (long long)time(nullptr);
    current_held();
}

void reference_current_restored(void) { current_held(); }

bool reference_current_matches(std::string *why) {
    if (gRef.otherTable.empty()) {
        if (why) why->clear();
        return true;
    }
    std::string text = mismatch_text();
    journal_note(NOTE_REFERENCE_CURRENT, "%s", text.c_str());
    if (why) *why = text;
    return false;
}

int record_begin(const char *mapPath, const ScanSettings &s, const MapPlan &plan) {
    gDoc = MapRecordDoc();
    gMapPath = mapPath ? mapPath : "";
    gOpen = true;
    gDoc.version = journal_version();
    gDoc.started = iso8601_local((long long)time(nullptr));
    gDoc.state = "running";
    gDoc.settings = {{"DARK_WAIT", s.darkWait},         {"POINT_WAIT", s.pointWait}, {"NREF", s.nrefPanel},
                     {"CURRENT_RANGE", s.range},         {"GRATING", s.grating},      {"VSOURCE_VALUE", s.vsource},
                     {"VSOURCE_OPERATE", s.operate}};
    gDoc.refTable = gRef.table;
    gDoc.refSha256 = gRef.sha256;
    gDoc.refPoints = s.tablePoints;
    gDoc.refScanned = gRef.scanned ? iso8601_local(gRef.scanned) : "";
    gDoc.positions = plan.xy();
    return write_now();
}

int record_block(int index, int xReq, int yReq, int xRead, int yRead, long long t,
                 const std::vector<std::string> &faultTexts) {
    if (!gOpen) return -1;
    MapRecordBlock b;
    b.index = index;
    b.requested = {xReq, yReq};
    b.readBack = {xRead, yRead};
    b.time = iso8601_local(t);
    b.faults = (int)faultTexts.size();
    b.faultText = faultTexts;
    gDoc.blocks.push_back(b);
    return write_now();
}

int record_end(const char *state) {
    if (!gOpen) return -1;
    gOpen = false;
    gDoc.state = state ? state : "stopped";
    return write_now();
}

int record_resume(const char *mapPath, const MapRecordDoc &doc) {
    gDoc = doc;
    gMapPath = mapPath ? mapPath : "";
    gOpen = true;
    gDoc.state = "running";
    return write_now();
}

const std::string &reference_sha256(void) { return gRef.sha256; }
