// Summary of a binary measurement file and of the record beside it, as the map tools print it:
// the whole blocks, where and why reading stopped on a damaged file, the values that are not a
// number in each column, the record's state and the blocks measured with faults; and the salvage
// of a damaged file's whole blocks into a new file. No panel, no instruments.
#pragma once
#include <string>

#include "formats/mapfile.h"
#include "formats/maprecord.h"

// Columns of a record, in file order.
enum { MAPCOL_WL = 0, MAPCOL_REF_CUR, MAPCOL_SAMPLE_CUR, MAPCOL_REF_QE, MAPCOL_SAMPLE_QE, MAPCOL_COUNT };

struct MapSummary {
    std::string path;                       // the map file
    MapBlocks file;                         // its whole blocks and why reading stopped
    long long nan[MAPCOL_COUNT] = {};       // values that are not a number, per column, over the whole blocks
    bool qeSeen = false;                    // a finite sample QE was found
    float qeMin = 0, qeMax = 0;             // range of the finite sample QE values
    // The record NAME.json beside the file.
    std::string recordPath;
    bool recordPresent = false;             // a file of that name exists
    bool recordRead = false;                // it was read as a record (recordErr says why not)
    std::string recordErr;
    MapRecordDoc record;
};

// Reads the map file at path and the record beside it into *s. Returns the exit status the tools
// give for the file: 0 when it is a non-empty, whole sequence of blocks; 1 when it cannot be read,
// is empty, or reading stopped before its end (s->file.why says where and why; the blocks before
// that point are in s->file.blocks all the same). A missing or unreadable record does not change
// the status.
int mapsummary_read(const std::string &path, MapSummary *s);

// The summary as text, one fact a line: file, version, points, blocks, the positions, the QE range,
// the counts of values that are not a number, the record (state, blocks listed, blocks with faults
// and their texts) and, for a damaged file, a last line "stopped: ..." saying where and why, with
// the whole blocks and bytes before that point. verbose adds the mean sample QE of each block.
// An unreadable or empty file gives only its one-line reason.
std::string mapsummary_text(const MapSummary &s, bool verbose);

// Writes the whole blocks of the summarised file (its first s.file.wholeBytes bytes, copied as they
// are) to outPath, replacing it, flushed to the disk. Refuses when there is no whole block, when
// outPath names the summarised file itself, or when the source no longer holds those bytes.
// Returns 0 with *msg saying what was written, or -1 with *msg saying why nothing was (outPath is
// then removed if it was begun).
int mapsummary_salvage(const MapSummary &s, const std::string &outPath, std::string *msg);
