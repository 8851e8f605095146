// Where the reference in the store came from, and the record kept beside a map file while a map
// scan runs (NAME.json for NAME, formats/maprecord.h). A record that cannot be written is a fault
// (vrim/observe/journal.h); the map scan goes on.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "formats/maprecord.h"
#include "vrim/scan.h"

// The reference QE table in row 0 was read from path (points pairs, wavelengths in wl[0]): its
// SHA-256 is taken now. When a reference current is held (scanned or loaded) and was measured at
// other wavelengths than the table's, sample and map scans are refused from now on
// (reference_current_matches) and the status line says so; a table of the same wavelengths ends
// such a refusal.
void reference_table_read(const char *path, int points);
// Row 0 (wavelengths, reference current and QE) was loaded from the first block of a map file: it
// is the reference's origin now, and its current was measured at its wavelengths.
void reference_loaded_from_map(const char *path, int points);
// The reference current in row 0 was measured just now by a reference scan, at the wavelengths of
// row 0 (as many as the table held in the store has).
void reference_scanned(void);
// Row 0 was taken back from the first block of a map being resumed, measured with the reference
// table in use: the current is held at row 0's wavelengths; the table stays the origin.
void reference_current_restored(void);
// Whether a sample may be measured against the reference current in row 0: true while no reference
// current is held yet, or when it was measured at exactly the wavelengths of the table read since.
// False after a table of other wavelengths was read, until a reference scan or a map file's
// reference brings a current for them: *why (may be null) then gets a sentence naming the table,
// which is also put on the status line.
bool reference_current_matches(std::string *why);

// A map scan into mapPath begins with settings s and will visit the positions of plan: the record
// is written with state "running", the settings and no block. Returns 0, or -1 when it could not
// be written (reported as a fault).
int record_begin(const char *mapPath, const ScanSettings &s, const MapPlan &plan);
// A block was written: appended to the record, which is rewritten. t is the block's calendar time.
int record_block(int index, int xReq, int yReq, int xRead, int yRead, long long t,
                 const std::vector<std::string> &faultTexts);
// The map scan ended: state "finished" or "stopped"; the record is rewritten.
int record_end(const char *state);
// A map into mapPath goes on with the record it already has (read back from its file): its state
// becomes "running" and it is rewritten; blocks follow with record_block as for a new map.
// Returns 0, or -1 when it could not be written (reported as a fault).
int record_resume(const char *mapPath, const MapRecordDoc &doc);
// SHA-256 of the file the reference in the store came from, as taken when it was read; "" when
// none was read or it could not be hashed.
const std::string &reference_sha256(void);
