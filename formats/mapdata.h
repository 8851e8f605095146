// A map as the view, the exports and the uniformity figures see it: the blocks of a map file (or
// of a map being measured), the faults its record lists, and the value of every position at one
// wavelength. Plain data and arithmetic; no panel, no file access except the CSV writer's stream.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "formats/mapfile.h"
#include "formats/maprecord.h"

// What the map shows at each position.
enum MapQuantity {
    MAPQ_QE = 0,            // sample QE, unit of the reference table
    MAPQ_CURRENT = 1,       // sample current, A (stored sign: dark offset minus reading)
    MAPQ_RESPONSIVITY = 2,  // A/W: QE × wavelength / 1239.84 nm
};
// Name of a quantity with its unit, for axis and colour-scale labels ("sample QE").
const char *mapq_label(int quantity);

// Photon energy constant h·c/e in nm·V: responsivity (A/W) = QE × λ(nm) / 1239.84.
#define MAP_HC_NM 1239.84

// One position of the map at the chosen wavelength.
struct MapPoint {
    int block = 0;       // order of the block in the map, from 0
    int index = 0;       // position index (store row) from the block header
    int x = 0, y = 0;    // microsteps where it is drawn: requested (version 3), else read back
    double value = 0;    // NaN when the block holds no point at that wavelength
    int faults = 0;      // faults the map's record lists for this block
};

// Uniformity over the positions with signal: a finite value above 1 % of the map's largest.
struct MapStats {
    int n = 0;            // positions with signal (0: no figures; the rest are NaN)
    int total = 0;        // positions with a finite value
    double mean = 0;      // of the positions with signal
    double sd = 0;        // population standard deviation (every position of the map, not a sample)
    double min = 0, max = 0;
    double spread = 0;    // (max − min) / mean
};

// The cells of the map's grid: cell (i, j) is centred at x0 + i·dx, y0 + j·dy.
struct MapGrid {
    double x0 = 0, dx = 1;  // microsteps
    double y0 = 0, dy = 1;
    int nx = 0, ny = 0;     // cells per axis, at most MAPGRID_MAX_CELLS; 0 when there are no positions
};
#define MAPGRID_MAX_CELLS 400

// Grid the positions span: the step of each axis is the smallest distance between two distinct
// coordinates, widened so that no axis has more than MAPGRID_MAX_CELLS cells (positions closer
// than a cell then share it). Irregular lists work; a single coordinate gives one cell.
MapGrid mapgrid_make(const std::vector<MapPoint> &pts);
// Cell of a coordinate along one axis, clamped into 0 … n − 1.
int mapgrid_cell(double v, double v0, double d, int n);

// For each block, the entry of the record that describes it (an index into rec.blocks), or -1. A
// record lists its blocks in the order written, like the file; a resumed or partly rewritten map
// may differ, so entries are matched in order by position index.
std::vector<int> maprecord_match(const std::vector<MapBlock> &blocks, const MapRecordDoc &rec);

class MapData {
public:
    // Forgets every block and fault.
    void clear();
    // Adds one block in map order (a block being measured, or the next block of a file).
    void addBlock(const MapBlock &b);
    // All blocks of a file, replacing what was held.
    void setBlocks(const std::vector<MapBlock> &blocks);
    // Faults per block from the map's record, matched by block order and position index; blocks
    // the record does not list keep 0.
    void setRecord(const MapRecordDoc &rec);
    void setBlockFaults(int block, int faults);

    int blockCount() const { return (int)blocks_.size(); }
    const std::vector<MapBlock> &blocks() const { return blocks_; }
    int faults(int block) const;
    // Wavelengths of the map in tenths of a nanometre, as the first block lists them (empty when
    // there is none).
    std::vector<float> wavelengths() const;
    // The wavelength of the list nearest to wlTenths; 0 when the map has none.
    float nearestWavelength(double wlTenths) const;
    // Every position at wavelength wl (tenths of a nm, one of wavelengths()).
    std::vector<MapPoint> points(float wl, int quantity) const;
    // Value of block b at wl; NaN when it has no record at that wavelength.
    double value(int block, float wl, int quantity) const;

private:
    std::vector<MapBlock> blocks_;
    std::vector<int> faults_;  // per block
};

// Uniformity figures of the finite values of pts.
MapStats mapstats_of(const std::vector<MapPoint> &pts);

// Header row of the CSV export.
extern const char kMapCsvHeader[];
// Writes the CSV export: the header row, then one row per block and record. Floats carry nine
// significant digits, so every value reads back as the same single-precision float; the
// requested position of a version 1 or 2 block is left empty. Returns 0, or -1 when a write failed.
int mapcsv_write(FILE *f, const std::vector<MapBlock> &blocks);
