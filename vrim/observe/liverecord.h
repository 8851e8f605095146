// Where the reference in the store came from, and the record kept beside a map file while a map
// scan runs (NAME.json for NAME, formats/maprecord.h). A record that cannot be written is a fault
// (vrim/observe/journal.h); the map scan goes on.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "formats/maprecord.h"
#include "vrim/scan.h"

// The reference QE table in row 0 was read from path (points pairs): its SHA-256 is taken now.
void reference_table_read(const char *path, int points);
// Row 0 (wavelengths, reference current and QE) was loaded from the first block of a map file.
void reference_loaded_from_map(const char *path, int points);
// The reference current in row 0 was measured just now by a reference scan.
void reference_scanned(void);

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
