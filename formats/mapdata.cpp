// Map data: values at a wavelength, the grid of cells, uniformity figures and the CSV export.
#include "formats/mapdata.h"

#include <algorithm>
#include <cmath>

const char *mapq_label(int quantity) {
    switch (quantity) {
    case MAPQ_CURRENT: return "sample current (A)";
    case MAPQ_RESPONSIVITY: return "responsivity (A/W)";
    default: return "sample QE";
    }
}

namespace {
// Smallest positive gap between the distinct values of v (sorted in place); 0 when fewer than two.
double smallest_gap(std::vector<double> &v) {
    std::sort(v.begin(), v.end());
    double gap = 0;
    for (size_t i = 1; i < v.size(); i++) {
        double d = v[i] - v[i - 1];
        if (d > 0 && (gap == 0 || d < gap)) gap = d;
    }
    return gap;
}

void axis(std::vector<double> v, double *v0, double *d, int *n) {
    double gap = smallest_gap(v);
    *v0 = v.front();
    double span = v.back() - v.front();
    if (gap <= 0) {
        *d = 1;
        *n = 1;
        return;
    }
    double cells = std::round(span / gap) + 1;
    if (cells > MAPGRID_MAX_CELLS) {
        gap = span / (MAPGRID_MAX_CELLS - 1);
        cells = MAPGRID_MAX_CELLS;
    }
    *d = gap;
    *n = (int)cells;
}
}  // namespace

MapGrid mapgrid_make(const std::vector<MapPoint> &pts) {
    MapGrid g;
    if (pts.empty()) return g;
    std::vector<double> xs, ys;
    xs.reserve(pts.size());
    ys.reserve(pts.size());
    for (const MapPoint &p : pts) {
        xs.push_back(p.x);
        ys.push_back(p.y);
    }
    axis(std::move(xs), &g.x0, &g.dx, &g.nx);
    axis(std::move(ys), &g.y0, &g.dy, &g.ny);
    return g;
}

int mapgrid_cell(double v, double v0, double d, int n) {
    if (n <= 1 || !(d > 0)) return 0;
    double c = std::round((v - v0) / d);
    if (!(c >= 0)) return 0;
    if (c > n - 1) return n - 1;
    return (int)c;
}

void MapData::clear() {
    blocks_.clear();
    faults_.clear();
}

void MapData::addBlock(const MapBlock &b) {
    blocks_.push_back(b);
    faults_.push_back(0);
}

void MapData::setBlocks(const std::vector<MapBlock> &blocks) {
    blocks_ = blocks;
    faults_.assign(blocks_.size(), 0);
}

std::vector<int> maprecord_match(const std::vector<MapBlock> &blocks, const MapRecordDoc &rec) {
    std::vector<int> m(blocks.size(), -1);
    size_t k = 0;
    for (size_t b = 0; b < blocks.size(); b++)
        for (size_t t = k; t < rec.blocks.size(); t++)
            if (rec.blocks[t].index == blocks[b].hdr.index) {
                m[b] = (int)t;
                k = t + 1;
                break;
            }
    return m;
}

void MapData::setRecord(const MapRecordDoc &rec) {
    std::vector<int> m = maprecord_match(blocks_, rec);
    for (size_t b = 0; b < blocks_.size(); b++) faults_[b] = m[b] >= 0 ? rec.blocks[(size_t)m[b]].faults : 0;
}

void MapData::setBlockFaults(int block, int faults) {
    if (block >= 0 && block < (int)faults_.size()) faults_[(size_t)block] = faults;
}

int MapData::faults(int block) const {
    return block >= 0 && block < (int)faults_.size() ? faults_[(size_t)block] : 0;
}

std::vector<float> MapData::wavelengths() const {
    std::vector<float> w;
    if (blocks_.empty()) return w;
    w.reserve(blocks_.front().rec.size());
    for (const MapRecord &r : blocks_.front().rec) w.push_back(r.wl);
    return w;
}

float MapData::nearestWavelength(double wlTenths) const {
    if (blocks_.empty() || blocks_.front().rec.empty()) return 0;
    float best = blocks_.front().rec.front().wl;
    for (const MapRecord &r : blocks_.front().rec)
        if (std::fabs(r.wl - wlTenths) < std::fabs(best - wlTenths)) best = r.wl;
    return best;
}

namespace {
double quantity_of(const MapRecord &r, int quantity) {
    switch (quantity) {
    case MAPQ_CURRENT: return r.sampleCur;
    case MAPQ_RESPONSIVITY: return (double)r.sampleQe * (r.wl / 10.0) / MAP_HC_NM;
    default: return r.sampleQe;
    }
}
}  // namespace

double MapData::value(int block, float wl, int quantity) const {
    if (block < 0 || block >= (int)blocks_.size()) return NAN;
    const std::vector<MapRecord> &rec = blocks_[(size_t)block].rec;
    // Blocks of one map share their wavelengths: the first block's position of wl is tried first.
    if (!blocks_.front().rec.empty()) {
        const std::vector<MapRecord> &first = blocks_.front().rec;
        for (size_t i = 0; i < first.size() && i < rec.size(); i++) {
            if (first[i].wl == wl) {
                if (rec[i].wl == wl) return quantity_of(rec[i], quantity);
                break;
            }
        }
    }
    for (const MapRecord &r : rec)
        if (r.wl == wl) return quantity_of(r, quantity);
    return NAN;
}

std::vector<MapPoint> MapData::points(float wl, int quantity) const {
    std::vector<MapPoint> pts;
    pts.reserve(blocks_.size());
    // Index of wl in the first block, so that a regular map costs one look per block.
    long long at = -1;
    if (!blocks_.empty())
        for (size_t i = 0; i < blocks_.front().rec.size(); i++)
            if (blocks_.front().rec[i].wl == wl) {
                at = (long long)i;
                break;
            }
    for (size_t b = 0; b < blocks_.size(); b++) {
        const MapBlock &mb = blocks_[b];
        MapPoint p;
        p.block = (int)b;
        p.index = mb.hdr.index;
        bool requested = mb.hdr.version == 3;
        p.x = requested ? mb.hdr.xReq : mb.hdr.xRead;
        p.y = requested ? mb.hdr.yReq : mb.hdr.yRead;
        p.faults = faults_[b];
        if (at >= 0 && (size_t)at < mb.rec.size() && mb.rec[(size_t)at].wl == wl)
            p.value = quantity_of(mb.rec[(size_t)at], quantity);
        else
            p.value = value((int)b, wl, quantity);
        pts.push_back(p);
    }
    return pts;
}

MapStats mapstats_of(const std::vector<MapPoint> &pts) {
    MapStats s;
    double top = -INFINITY;
    for (const MapPoint &p : pts)
        if (std::isfinite(p.value)) {
            s.total++;
            top = std::max(top, p.value);
        }
    s.mean = s.sd = s.min = s.max = s.spread = NAN;
    if (s.total == 0 || !(top > 0)) return s;
    double floor = 0.01 * top;
    double sum = 0, lo = INFINITY, hi = -INFINITY;
    for (const MapPoint &p : pts)
        if (std::isfinite(p.value) && p.value > floor) {
            s.n++;
            sum += p.value;
            lo = std::min(lo, p.value);
            hi = std::max(hi, p.value);
        }
    s.mean = sum / s.n;
    double ss = 0;
    for (const MapPoint &p : pts)
        if (std::isfinite(p.value) && p.value > floor) ss += (p.value - s.mean) * (p.value - s.mean);
    s.sd = std::sqrt(ss / s.n);
    s.min = lo;
    s.max = hi;
    s.spread = (hi - lo) / s.mean;
    return s;
}

const char kMapCsvHeader[] =
    "index,x_requested,y_requested,x_read_back,y_read_back,time,wavelength_nm,reference_current_A,"
    "sample_current_A,reference_qe,sample_qe";

int mapcsv_write(FILE *f, const std::vector<MapBlock> &blocks) {
    if (fprintf(f, "%s\n", kMapCsvHeader) < 0) return -1;
    char req[40], t[24];
    for (const MapBlock &b : blocks) {
        const MapHeader &h = b.hdr;
        if (h.version == 3) {
            snprintf(req, sizeof req, "%d,%d", (int)h.xReq, (int)h.yReq);
            snprintf(t, sizeof t, "%d", (int)h.time);
        } else {
            snprintf(req, sizeof req, ",");
            t[0] = 0;
        }
        for (const MapRecord &r : b.rec) {
            if (fprintf(f, "%d,%s,%d,%d,%s,%.9g,%.9g,%.9g,%.9g,%.9g\n", (int)h.index, req, (int)h.xRead,
                        (int)h.yRead, t, r.wl / 10.0, r.refCur, r.sampleCur, r.refQe, r.sampleQe) < 0)
                return -1;
        }
    }
    return fflush(f) == 0 && !ferror(f) ? 0 : -1;
}
