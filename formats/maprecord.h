// The record kept beside a map file (NAME.json for NAME): what the map was measured with, which
// positions it visits, and what each written block went through. Encoding, decoding and the atomic
// rewrite only; no panel, no instruments.
#pragma once
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "formats/sha256.h"  // the record names the reference table by its SHA-256

struct MapRecordBlock {
    int index = 0;                      // position index (store row), as in the block header
    std::array<int, 2> requested{};     // microsteps X, Y
    std::array<int, 2> readBack{};      // microsteps X, Y
    std::string time;                   // ISO 8601, the block's own calendar time
    int faults = 0;                     // instrument faults while the position was measured
    std::vector<std::string> faultText; // one plain sentence per fault
};

struct MapRecordDoc {
    std::string program = "vrim";
    std::string version;                // program version
    std::string started;                // ISO 8601
    std::string updated;                // ISO 8601, the last rewrite
    std::string state;                  // "running", "finished" or "stopped"
    // Panel values the map was measured with, under their control names, in the order written.
    std::vector<std::pair<std::string, double>> settings;
    std::string refTable;               // path of the reference QE table in use
    std::string refSha256;              // 64 lower-case hex digits, empty when the table could not be read
    int refPoints = 0;                  // points of the reference table
    std::string refScanned;             // local time of the reference scan or of the load it came from
    std::vector<std::array<int, 2>> positions;  // X, Y the map visits, in order (microsteps)
    std::vector<MapRecordBlock> blocks;
};

// NAME.json for a map file NAME.
std::string maprecord_path(const std::string &mapPath);

// The record as JSON text (two-space indented, fields in the order above, ending in a newline).
std::string maprecord_encode(const MapRecordDoc &d);
// Parses JSON text into *d. Fields that are missing keep their defaults; a field of the wrong type
// or text that is not JSON fails. Returns true, or false with *err saying what is wrong (*d then
// holds what was taken before the fault and must not be used).
bool maprecord_decode(const std::string &text, MapRecordDoc *d, std::string *err);

// Writes the record beside mapPath atomically: NAME.json.tmp is written, flushed to the disk and
// renamed over NAME.json, so a reader (or a crash) sees either the old or the new record whole.
// Returns 0, or -1 with *err naming the file and the system's reason (the old record stays).
int maprecord_write(const std::string &mapPath, const MapRecordDoc &d, std::string *err);
// Reads the record at jsonPath. Returns 0, or -1 with *err (cannot be read, or not a record).
int maprecord_read(const std::string &jsonPath, MapRecordDoc *d, std::string *err);

// Calendar time t as local ISO 8601 with the zone offset, e.g. "2026-12-10T11:20:03+01:00".
std::string iso8601_local(long long t);
