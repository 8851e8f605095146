// Resuming an interrupted map: whether a map file, the record beside it and the map the program
// would run now belong together, and where the map goes on. Pure logic: no panel, no instruments,
// no file access.
#pragma once
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "formats/mapfile.h"
#include "formats/maprecord.h"

struct ResumePlan {
    int have = 0;             // positions whose blocks the file holds (1 … have)
    int total = 0;            // positions of the map
    int next = 0;             // position index (store row) the map goes on at: have + 1
    size_t keepBytes = 0;     // bytes of the file to keep: its whole blocks; anything after is cut
    bool adopted = false;     // the file's last block was not yet in the record and is taken into it
    std::string message;      // "37 of 121 positions are in the file; the map goes on at position 38"
};

// Checks a map file's whole blocks (file), its record (rec) and the map as the program would run
// it now: positions, the [X, Y] of the table rows the map visits in order (position 1 first);
// refSha256, the SHA-256 of the reference QE table in use; points, the records per block the map
// writes. They belong together when the record's positions are those positions; the record's
// reference table has that SHA-256; the file's blocks are positions 1, 2, … in order, each with
// its requested X and Y and the map's points; and every block of the file is listed in the record
// with its index and position. One exception is taken in: a last block the record does not list
// yet, when it is exactly the next position's (the program was interrupted between writing the
// block and rewriting the record); it is then added to the record (plan->adopted) with one fault
// saying that its faults are unknown. A map whose every position is in the file has nothing to
// resume.
// Returns true with *plan filled (and *rec extended by an adopted block), or false with *why a
// sentence for the operator saying what does not match (*rec unchanged).
bool resume_check(const MapBlocks &file, MapRecordDoc *rec, const std::vector<std::array<int, 2>> &positions,
                  const std::string &refSha256, int points, ResumePlan *plan, std::string *why);
