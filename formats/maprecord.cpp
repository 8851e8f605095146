// Map record: JSON through nlohmann::json (ordered, so the file reads in a fixed order), the atomic
// rewrite, and a self-contained SHA-256 for naming the reference table a map was measured with.
#include "formats/maprecord.h"
#include "formats/safefile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

using ojson = nlohmann::ordered_json;

std::string maprecord_path(const std::string &mapPath) { return mapPath + ".json"; }

std::string maprecord_encode(const MapRecordDoc &d) {
    ojson j;
    j["program"] = d.program;
    j["version"] = d.version;
    j["started"] = d.started;
    j["updated"] = d.updated;
    j["state"] = d.state;
    ojson s = ojson::object();
    for (const auto &kv : d.settings) s[kv.first] = kv.second;
    j["settings"] = s;
    j["reference"] = {{"table", d.refTable}, {"sha256", d.refSha256}, {"points", d.refPoints}, {"scanned", d.refScanned}};
    ojson pos = ojson::array();
    for (const auto &p : d.positions) pos.push_back({p[0], p[1]});
    j["positions"] = pos;
    ojson blocks = ojson::array();
    for (const MapRecordBlock &b : d.blocks) {
        ojson o;
        o["index"] = b.index;
        o["requested"] = {b.requested[0], b.requested[1]};
        o["read_back"] = {b.readBack[0], b.readBack[1]};
        o["time"] = b.time;
        o["faults"] = b.faults;
        o["fault_text"] = b.faultText;
        blocks.push_back(o);
    }
    j["blocks"] = blocks;
    // Invalid UTF-8 in a path or a reply quoted in a fault must not make the record unwritable.
    return j.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
}

namespace {

std::array<int, 2> pair_of(const ojson &v) {
    if (!v.is_array() || v.size() != 2) throw std::runtime_error("a position is not a pair [X, Y]");
    return {v.at(0).get<int>(), v.at(1).get<int>()};
}

}  // namespace

bool maprecord_decode(const std::string &text, MapRecordDoc *d, std::string *err) {
    try {
        ojson j = ojson::parse(text);
        if (!j.is_object()) throw std::runtime_error("the record is not a JSON object");
        *d = MapRecordDoc{};
        if (j.contains("program")) d->program = j["program"].get<std::string>();
        if (j.contains("version")) d->version = j["version"].get<std::string>();
        if (j.contains("started")) d->started = j["started"].get<std::string>();
        if (j.contains("updated")) d->updated = j["updated"].get<std::string>();
        if (j.contains("state")) d->state = j["state"].get<std::string>();
        if (j.contains("settings")) {
            for (auto it = j["settings"].begin(); it != j["settings"].end(); ++it)
                d->settings.emplace_back(it.key(), it.value().get<double>());
        }
        if (j.contains("reference")) {
            const ojson &r = j["reference"];
            if (r.contains("table")) d->refTable = r["table"].get<std::string>();
            if (r.contains("sha256")) d->refSha256 = r["sha256"].get<std::string>();
            if (r.contains("points")) d->refPoints = r["points"].get<int>();
            if (r.contains("scanned")) d->refScanned = r["scanned"].get<std::string>();
        }
        if (j.contains("positions"))
            for (const ojson &p : j["positions"]) d->positions.push_back(pair_of(p));
        if (j.contains("blocks")) {
            for (const ojson &o : j["blocks"]) {
                MapRecordBlock b;
                b.index = o.at("index").get<int>();
                if (o.contains("requested")) b.requested = pair_of(o["requested"]);
                if (o.contains("read_back")) b.readBack = pair_of(o["read_back"]);
                if (o.contains("time")) b.time = o["time"].get<std::string>();
                if (o.contains("faults")) b.faults = o["faults"].get<int>();
                if (o.contains("fault_text")) b.faultText = o["fault_text"].get<std::vector<std::string>>();
                d->blocks.push_back(std::move(b));
            }
        }
        return true;
    } catch (const std::exception &e) {
        if (err) *err = e.what();
        return false;
    }
}

int maprecord_write(const std::string &mapPath, const MapRecordDoc &d, std::string *err) {
    std::string path = maprecord_path(mapPath);
    std::string tmp = path + ".tmp";
    std::string text = maprecord_encode(d);
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) {
        if (err) *err = "cannot write " + tmp + ": " + strerror(errno);
        return -1;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0;
    int e = errno;
#ifdef _WIN32
    if (ok) ok = _commit(_fileno(f)) == 0;
#else
    if (ok) ok = fsync(fileno(f)) == 0;
#endif
    if (!ok) e = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        remove(tmp.c_str());
        if (err) *err = "writing " + tmp + " failed: " + strerror(e);
        return -1;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);  // replaces the old record in one step, on Windows too
    if (ec) {
        remove(tmp.c_str());
        if (err) *err = "cannot rename " + tmp + " to " + path + ": " + ec.message();
        return -1;
    }
    return 0;
}

int maprecord_read(const std::string &jsonPath, MapRecordDoc *d, std::string *err) {
    int openErr = 0;
    FILE *f = safefile_fopen(jsonPath.c_str(), "rb", &openErr);
    if (!f) {
        if (err) *err = "cannot open " + jsonPath + ": " + safefile_strerror(openErr);
        return -1;
    }
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
    bool bad = ferror(f);
    fclose(f);
    if (bad) {
        if (err) *err = "reading " + jsonPath + " failed";
        return -1;
    }
    std::string why;
    if (!maprecord_decode(text, d, &why)) {
        if (err) *err = jsonPath + " is not a map record: " + why;
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// SHA-256 (FIPS 180-4).

namespace {

struct Sha256 {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char buf[64];
    size_t used = 0;
    uint64_t bytes = 0;

    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void block(const unsigned char *p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; i++) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; i++) {
            uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }

    void add(const unsigned char *p, size_t n) {
        bytes += n;
        while (n > 0) {
            size_t take = 64 - used < n ? 64 - used : n;
            memcpy(buf + used, p, take);
            used += take;
            p += take;
            n -= take;
            if (used == 64) {
                block(buf);
                used = 0;
            }
        }
    }

    std::string hex() {
        uint64_t bits = bytes * 8;
        unsigned char pad = 0x80;
        add(&pad, 1);
        unsigned char zero = 0;
        while (used != 56) add(&zero, 1);
        unsigned char len[8];
        for (int i = 0; i < 8; i++) len[i] = (unsigned char)(bits >> (56 - 8 * i));
        add(len, 8);
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (uint32_t v : h)
            for (int s = 28; s >= 0; s -= 4) out += digits[(v >> s) & 0xF];
        return out;
    }
};

}  // namespace

std::string sha256_hex(const unsigned char *data, size_t len) {
    Sha256 s;
    s.add(data, len);
    return s.hex();
}

int sha256_file(const char *path, std::string *hex) {
    FILE *f = safefile_fopen(path, "rb", nullptr);
    if (!f) return -1;
    Sha256 s;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) s.add(chunk, got);
    bool bad = ferror(f);
    fclose(f);
    if (bad) return -1;
    *hex = s.hex();
    return 0;
}

std::string iso8601_local(long long t) {
    time_t tt = (time_t)t;
    struct tm lt;
#ifdef _WIN32
    localtime_s(&lt, &tt);
#else
    localtime_r(&tt, &lt);
#endif
    char buf[40];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &lt);
    // %z gives +hhmm; ISO 8601 as most readers take it wants +hh:mm.
    char z[8];
#ifdef _WIN32
    // The Windows C library's %z names the zone instead; the offset is computed here.
    struct tm gt;
    gmtime_s(&gt, &tt);
    gt.tm_isdst = 0;
    long off = (long)difftime(tt, mktime(&gt)) + (lt.tm_isdst > 0 ? 3600 : 0);
    long aoff = off < 0 ? -off : off;
    snprintf(z, sizeof z, "%c%02ld%02ld", off < 0 ? '-' : '+', (aoff / 3600) % 100, (aoff / 60) % 60);
#else
    strftime(z, sizeof z, "%z", &lt);
#endif
    std::string s = buf;
    if (strlen(z) == 5) {
        s += std::string(z, 3) + ":" + std::string(z + 3, 2);
    }
    return s;
}
