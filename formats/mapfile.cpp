// Binary measurement file: little-endian encoding and decoding of blocks, independent of the host's
// byte order.
#include "formats/mapfile.h"
#include "formats/safefile.h"

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void put_u32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
    p[2] = (unsigned char)((v >> 16) & 0xFF);
    p[3] = (unsigned char)((v >> 24) & 0xFF);
}
void put_i32(unsigned char *p, int32_t v) { put_u32(p, (uint32_t)v); }
void put_f32(unsigned char *p, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    put_u32(p, u);
}

uint32_t get_u32(const unsigned char *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
int32_t get_i32(const unsigned char *p) { return (int32_t)get_u32(p); }
float get_f32(const unsigned char *p) {
    uint32_t u = get_u32(p);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

}  // namespace

int32_t mapfile_block_length(int n) { return 4 * (10 + 5 * n); }

void mapfile_put_header(unsigned char out[MAPFILE_HEADER3_BYTES], const MapHeader *h) {
    put_i32(out + 0, h->version);
    put_i32(out + 4, h->length);
    put_i32(out + 8, h->index);
    put_i32(out + 12, h->xRead);
    put_i32(out + 16, h->yRead);
    put_i32(out + 20, h->xReq);
    put_i32(out + 24, h->yReq);
    put_f32(out + 28, h->offRef);
    put_f32(out + 32, h->offPos);
    put_i32(out + 36, h->time);
}

void mapfile_put_record(unsigned char out[MAPFILE_RECORD_BYTES], const MapRecord *r) {
    put_f32(out + 0, r->wl);
    put_f32(out + 4, r->refCur);
    put_f32(out + 8, r->sampleCur);
    put_f32(out + 12, r->refQe);
    put_f32(out + 16, r->sampleQe);
}

int mapfile_header_bytes(int32_t version) {
    if (version == 3) return MAPFILE_HEADER3_BYTES;
    if (version == 1 || version == 2) return MAPFILE_HEADER12_BYTES;
    return 0;
}

int mapfile_get_header(const unsigned char *data, size_t len, MapHeader *h) {
    // The version alone tells a block this program reads from anything else, so a short file
    // of another kind is not reported as a damaged block.
    if (len < 4) return -1;
    int32_t version = get_i32(data);
    int need = mapfile_header_bytes(version);
    if (need == 0) {
        h->version = version;
        h->length = len >= 8 ? get_i32(data + 4) : 0;
        return 0;
    }
    if (len < (size_t)need) return -1;
    MapHeader t{};
    t.version = version;
    t.length = get_i32(data + 4);
    t.index = get_i32(data + 8);
    t.xRead = get_i32(data + 12);
    t.yRead = get_i32(data + 16);
    if (need == MAPFILE_HEADER3_BYTES) {
        t.xReq = get_i32(data + 20);
        t.yReq = get_i32(data + 24);
        t.offRef = get_f32(data + 28);
        t.offPos = get_f32(data + 32);
        t.time = get_i32(data + 36);
    }
    *h = t;
    return need;
}

void mapfile_get_record(const unsigned char in[MAPFILE_RECORD_BYTES], MapRecord *r) {
    r->wl = get_f32(in + 0);
    r->refCur = get_f32(in + 4);
    r->sampleCur = get_f32(in + 8);
    r->refQe = get_f32(in + 12);
    r->sampleQe = get_f32(in + 16);
}

long long mapfile_declared_points(const MapHeader *h) {
    long long n = (long long)((uint32_t)h->length / MAPFILE_RECORD_BYTES) - 1;
    if (h->version == 3) n -= 1;
    return n;
}

int mapfile_wavelength(float wl) {
    // Truncation toward zero; values that an int cannot hold would be undefined behaviour.
    if (!(wl > -2147483648.0f && wl < 2147483648.0f)) return 0;
    return (int)wl;
}

int mapfile_decode_first(const unsigned char *data, size_t len, MapFirstBlock *b) {
    b->declared = 0;
    b->taken = 0;
    int hb = mapfile_get_header(data, len, &b->hdr);
    if (hb < 0) return MAPFILE_CUT_HEADER;
    if (hb == 0) return MAPFILE_BAD_VERSION;
    long long n = mapfile_declared_points(&b->hdr);
    if (n < 0) n = 0;
    if (n > MAPFILE_MAX_POINTS) n = MAPFILE_MAX_POINTS;
    b->declared = (int)n;
    size_t whole = (len - (size_t)hb) / MAPFILE_RECORD_BYTES;
    int take = whole < (size_t)n ? (int)whole : (int)n;
    for (int i = 0; i < take; i++)
        mapfile_get_record(data + hb + (size_t)i * MAPFILE_RECORD_BYTES, &b->rec[i]);
    b->taken = take;
    return take < b->declared ? MAPFILE_CUT_RECORDS : MAPFILE_OK;
}

int mapfile_take_first(const unsigned char *data, size_t len, unsigned long long fileBytes, MapFirstBlock *b,
                       std::string *why) {
    char msg[200];
    auto refuse = [&](int code) {
        if (why) *why = msg;
        b->taken = 0;
        return code;
    };
    if (why) why->clear();
    if (fileBytes < len) fileBytes = len;
    int st = mapfile_decode_first(data, len, b);
    if (st == MAPFILE_CUT_HEADER) {
        snprintf(msg, sizeof msg, "the file ends inside its first block's header (%llu bytes)", fileBytes);
        return refuse(st);
    }
    if (st == MAPFILE_BAD_VERSION) {
        snprintf(msg, sizeof msg, "its first block has unknown version %d", (int)b->hdr.version);
        return refuse(st);
    }
    long long n = mapfile_declared_points(&b->hdr);
    if (n < 1) {
        snprintf(msg, sizeof msg, "its first block's length %u leaves room for no point", (unsigned)b->hdr.length);
        return refuse(MAPFILE_NO_POINTS);
    }
    unsigned long long hb = (unsigned long long)mapfile_header_bytes(b->hdr.version);
    unsigned long long present = (fileBytes - hb) / MAPFILE_RECORD_BYTES;
    if ((unsigned long long)n > present) {
        snprintf(msg, sizeof msg, "its first block declares %lld points but the file ends after %llu of them", n,
                 present);
        return refuse(MAPFILE_CUT_BLOCK);
    }
    if (b->hdr.version == 3 && !std::isfinite(b->hdr.offRef)) {
        snprintf(msg, sizeof msg, "its first block's reference dark offset is not a finite number");
        return refuse(MAPFILE_NOT_FINITE);
    }
    for (int i = 0; i < b->taken; i++) {
        const MapRecord &r = b->rec[i];
        const char *bad = nullptr;
        float v = 0;
        if (!std::isfinite(r.wl)) {
            bad = "wavelength";
            v = r.wl;
        } else if (!std::isfinite(r.refCur)) {
            bad = "reference current";
            v = r.refCur;
        } else if (!std::isfinite(r.refQe)) {
            bad = "reference QE";
            v = r.refQe;
        }
        if (bad) {
            snprintf(msg, sizeof msg, "point %d of its first block has a %s that is not a finite number (%g)", i + 1,
                     bad, (double)v);
            return refuse(MAPFILE_NOT_FINITE);
        }
        if (!(r.wl > -2147483648.0f && r.wl < 2147483648.0f)) {
            snprintf(msg, sizeof msg, "point %d of its first block has a wavelength out of range (%g)", i + 1,
                     (double)r.wl);
            return refuse(MAPFILE_NOT_FINITE);
        }
    }
    return MAPFILE_OK;
}

int mapfile_read_blocks(const unsigned char *data, size_t len, MapBlocks *out) {
    out->blocks.clear();
    out->wholeBytes = 0;
    out->fileBytes = len;
    out->stop = MAPREAD_END;
    out->stopOffset = 0;
    out->why.clear();
    size_t off = 0;
    char msg[200];
    auto stop = [&](int code, const char *text) {
        out->stop = code;
        out->stopOffset = off;
        out->why = text;
        return code;
    };
    while (off < len) {
        size_t left = len - off;
        size_t nb = out->blocks.size() + 1;
        MapBlock b{};
        b.offset = off;
        int hb = mapfile_get_header(data + off, left, &b.hdr);
        if (hb < 0) {
            snprintf(msg, sizeof msg, "block %zu at byte %zu is cut short inside its header (%zu bytes left)", nb, off, left);
            return stop(MAPREAD_CUT_HEADER, msg);
        }
        if (hb == 0) {
            snprintf(msg, sizeof msg, "block %zu at byte %zu has unknown version %d", nb, off, (int)b.hdr.version);
            return stop(MAPREAD_BAD_VERSION, msg);
        }
        long long n = mapfile_declared_points(&b.hdr);
        if (n < 0) {
            snprintf(msg, sizeof msg, "block %zu at byte %zu has an impossible length %u", nb, off, (unsigned)b.hdr.length);
            return stop(MAPREAD_BAD_LENGTH, msg);
        }
        if ((unsigned long long)n > (left - (size_t)hb) / MAPFILE_RECORD_BYTES) {
            snprintf(msg, sizeof msg, "block %zu at byte %zu is cut short: %zu of %lld records present", nb, off,
                     (left - (size_t)hb) / MAPFILE_RECORD_BYTES, n);
            return stop(MAPREAD_CUT_RECORDS, msg);
        }
        b.rec.resize((size_t)n);
        for (long long i = 0; i < n; i++)
            mapfile_get_record(data + off + hb + (size_t)i * MAPFILE_RECORD_BYTES, &b.rec[(size_t)i]);
        off += (size_t)hb + (size_t)n * MAPFILE_RECORD_BYTES;
        out->blocks.push_back(std::move(b));
        out->wholeBytes = off;
    }
    return MAPREAD_END;
}

int mapfile_load(const char *path, MapBlocks *out) {
    *out = MapBlocks{};
    // A device would be read for ever and a FIFO would wait for a writer: regular files only.
    int openErr = 0;
    FILE *f = safefile_fopen(path, "rb", &openErr);
    if (!f) {
        out->stop = MAPREAD_IO;
        out->why = std::string("cannot open ") + path + ": " + safefile_strerror(openErr);
        return MAPREAD_IO;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    bool readErr = ferror(f);
    int err = errno;
    fclose(f);
    if (readErr) {
        out->stop = MAPREAD_IO;
        out->why = std::string("reading ") + path + " failed: " + strerror(err);
        return MAPREAD_IO;
    }
    return mapfile_read_blocks(data.data(), data.size(), out);
}

void mapfile_encode_block(const MapHeader &h, const MapRecord *rec, int n, std::vector<unsigned char> *out) {
    if (n < 0) n = 0;
    out->assign(MAPFILE_HEADER3_BYTES + (size_t)n * MAPFILE_RECORD_BYTES, 0);
    MapHeader t = h;
    t.version = MAPFILE_VERSION;
    t.length = mapfile_block_length(n);
    mapfile_put_header(out->data(), &t);
    for (int i = 0; i < n; i++) mapfile_put_record(out->data() + MAPFILE_HEADER3_BYTES + (size_t)i * MAPFILE_RECORD_BYTES, &rec[i]);
}
