// HDF5 export of a map file, through the HDF5 C library.
//
// Datasets (each with a string attribute "units"):
//   wavelength_nm [n] float64        sample_qe, sample_current_A [positions × n] float32
//   reference_qe, reference_current_A [n] float32 (of the first block)
//   position_index [positions] int32  position_requested, position_read_back [positions × 2] int32
//   dark_offset_A [positions] float32 time [positions] int64 (calendar seconds)
// Root attributes: reference_dark_offset_A, and from the map's record (when there is one)
// program, version, started, updated, state, settings.NAME for each panel value,
// reference.table, reference.sha256, reference.points, reference.scanned, faults [positions]
// (int32, matched to the blocks), fault_text (one line "index N: text" per fault) and record (the
// record's whole JSON text).
// A block with fewer records than the first leaves NaN in the rest of its row.
#pragma once
#include <string>
#include <vector>

#include "formats/mapfile.h"
#include "formats/maprecord.h"

// Writes the blocks (and the record, when rec is not null) to a new HDF5 file at path, replacing
// any file there. Returns 0, or -1 with *err saying what failed (a partial file is removed).
int maph5_write(const char *path, const std::vector<MapBlock> &blocks, const MapRecordDoc *rec,
                const std::string *recordJson, std::string *err);
