// Map file summary and salvage for the tools.
#include "formats/mapsummary.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "formats/mapwrite.h"
#include "formats/safefile.h"
#include "platform/core/printf_check.h"


namespace {

void add(std::string *out, const char *fmt, ...) VRIM_PRINTF(2, 3);
void add(std::string *out, const char *fmt, ...) {
    char line[1200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    out->append(line);
}

const char *const kColumn[MAPCOL_COUNT] = {"wavelength", "reference current", "sample current", "reference QE",
                                           "sample QE"};

}  // namespace

int mapsummary_read(const std::string &path, MapSummary *s) {
    *s = MapSummary{};
    s->path = path;
    std::error_code fec;
    if (std::filesystem::exists(path, fec) && !std::filesystem::is_regular_file(path, fec)) {
        // A device may never end and a folder holds no blocks: neither is read as a map.
        s->file.stop = MAPREAD_IO;
        s->file.why = path + " is not a regular file";
        return 1;
    }
    int st = mapfile_load(path.c_str(), &s->file);
    for (const MapBlock &b : s->file.blocks) {
        for (const MapRecord &r : b.rec) {
            const float v[MAPCOL_COUNT] = {r.wl, r.refCur, r.sampleCur, r.refQe, r.sampleQe};
            for (int c = 0; c < MAPCOL_COUNT; c++)
                if (std::isnan(v[c])) s->nan[c]++;
            if (std::isfinite(r.sampleQe)) {
                if (!s->qeSeen || r.sampleQe < s->qeMin) s->qeMin = r.sampleQe;
                if (!s->qeSeen || r.sampleQe > s->qeMax) s->qeMax = r.sampleQe;
                s->qeSeen = true;
            }
        }
    }
    s->recordPath = maprecord_path(path);
    std::error_code ec;
    s->recordPresent = std::filesystem::exists(s->recordPath, ec);
    if (s->recordPresent) s->recordRead = maprecord_read(s->recordPath, &s->record, &s->recordErr) == 0;
    if (st != MAPREAD_END || s->file.fileBytes == 0) return 1;
    return 0;
}

std::string mapsummary_text(const MapSummary &s, bool verbose) {
    std::string out;
    const MapBlocks &f = s.file;
    if (f.stop == MAPREAD_IO) {
        add(&out, "error: %s\n", f.why.c_str());
        return out;
    }
    if (f.fileBytes == 0) {
        add(&out, "error: %s is empty: no block\n", s.path.c_str());
        return out;
    }
    add(&out, "file: %s\n", s.path.c_str());
    if (!f.blocks.empty()) {
        const MapBlock &first = f.blocks.front();
        add(&out, "version: %d\n", (int)first.hdr.version);
        add(&out, "points: %zu\n", first.rec.size());
        for (const MapBlock &b : f.blocks) {
            if (b.hdr.version != first.hdr.version || b.rec.size() != first.rec.size()) {
                add(&out, "note: blocks differ in version or points (block %d: version %d, %zu points)\n",
                    (int)b.hdr.index, (int)b.hdr.version, b.rec.size());
                break;
            }
        }
    }
    add(&out, "blocks: %zu\n", f.blocks.size());
    if (!f.blocks.empty()) {
        add(&out, "positions:\n");
        for (const MapBlock &b : f.blocks) {
            if (b.hdr.version == 3)
                add(&out, "  %d requested %d %d read %d %d\n", (int)b.hdr.index, (int)b.hdr.xReq, (int)b.hdr.yReq,
                    (int)b.hdr.xRead, (int)b.hdr.yRead);
            else
                add(&out, "  %d read %d %d\n", (int)b.hdr.index, (int)b.hdr.xRead, (int)b.hdr.yRead);
        }
        if (s.qeSeen)
            add(&out, "QE range: %g .. %g\n", (double)s.qeMin, (double)s.qeMax);
        else
            add(&out, "QE range: none\n");
        add(&out, "not a number:");
        for (int c = 0; c < MAPCOL_COUNT; c++) add(&out, "%s %s %lld", c ? "," : "", kColumn[c], s.nan[c]);
        add(&out, "\n");
        if (verbose) {
            add(&out, "mean QE per block:\n");
            for (const MapBlock &b : f.blocks) {
                double sum = 0;
                long long n = 0;
                for (const MapRecord &r : b.rec)
                    if (std::isfinite(r.sampleQe)) sum += r.sampleQe, n++;
                if (n > 0)
                    add(&out, "  %d %g\n", (int)b.hdr.index, sum / (double)n);
                else
                    add(&out, "  %d none\n", (int)b.hdr.index);
            }
        }
    }
    if (!s.recordPresent) {
        add(&out, "record: none (%s not found)\n", s.recordPath.c_str());
    } else if (!s.recordRead) {
        add(&out, "record: %s cannot be read: %s\n", s.recordPath.c_str(), s.recordErr.c_str());
    } else {
        const MapRecordDoc &d = s.record;
        int faulty = 0;
        for (const MapRecordBlock &b : d.blocks)
            if (b.faults > 0) faulty++;
        add(&out, "record: %s\n", s.recordPath.c_str());
        add(&out, "state: %s\n", d.state.empty() ? "(none)" : d.state.c_str());
        add(&out, "record blocks: %zu of %zu positions, %d with faults\n", d.blocks.size(), d.positions.size(), faulty);
        for (const MapRecordBlock &b : d.blocks) {
            if (b.faults <= 0) continue;
            add(&out, "  block %d: %d fault%s\n", b.index, b.faults, b.faults == 1 ? "" : "s");
            for (const std::string &t : b.faultText) add(&out, "    %s\n", t.c_str());
        }
        if (d.blocks.size() != f.blocks.size())
            add(&out, "note: the record lists %zu blocks, the file holds %zu whole blocks\n", d.blocks.size(),
                f.blocks.size());
    }
    if (f.stop != MAPREAD_END)
        add(&out, "stopped: %s; the %zu whole block%s before it take %zu of %zu bytes\n", f.why.c_str(),
            f.blocks.size(), f.blocks.size() == 1 ? "" : "s", f.wholeBytes, f.fileBytes);
    return out;
}

int mapsummary_salvage(const MapSummary &s, const std::string &outPath, std::string *msg) {
    char line[1200];
    if (s.file.stop == MAPREAD_IO) {
        *msg = s.file.why;
        return -1;
    }
    if (s.file.blocks.empty() || s.file.wholeBytes == 0) {
        snprintf(line, sizeof line, "%s holds no whole block; nothing was written", s.path.c_str());
        *msg = line;
        return -1;
    }
    std::error_code ec;
    if (std::filesystem::exists(outPath, ec) && std::filesystem::equivalent(outPath, s.path, ec)) {
        snprintf(line, sizeof line, "%s is the file being salvaged; choose another output", outPath.c_str());
        *msg = line;
        return -1;
    }
    // Copied byte for byte from the source, which must still hold what was read.
    int openErr = 0;
    FILE *in = safefile_fopen(s.path.c_str(), "rb", &openErr);
    if (!in) {
        snprintf(line, sizeof line, "cannot open %s: %s", s.path.c_str(), safefile_strerror(openErr));
        *msg = line;
        return -1;
    }
    std::vector<unsigned char> data(s.file.wholeBytes);
    size_t got = fread(data.data(), 1, data.size(), in);
    fclose(in);
    if (got != data.size()) {
        snprintf(line, sizeof line, "%s now holds only %zu of the %zu bytes of its whole blocks; nothing was written",
                 s.path.c_str(), got, data.size());
        *msg = line;
        return -1;
    }
    MapBlocks check;
    if (mapfile_read_blocks(data.data(), data.size(), &check) != MAPREAD_END || check.blocks.size() != s.file.blocks.size()) {
        snprintf(line, sizeof line, "%s changed since it was read; nothing was written", s.path.c_str());
        *msg = line;
        return -1;
    }
    int err = mapwrite_whole_file(outPath.c_str(), data.data(), data.size());
    if (err) {
        snprintf(line, sizeof line, "writing %s failed: %s; nothing was written", outPath.c_str(), safefile_strerror(err));
        *msg = line;
        return -1;
    }
    snprintf(line, sizeof line, "%zu whole block%s (%zu bytes) written to %s", s.file.blocks.size(),
             s.file.blocks.size() == 1 ? "" : "s", s.file.wholeBytes, outPath.c_str());
    *msg = line;
    return 0;
}
