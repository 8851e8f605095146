// Map record: JSON through nlohmann::json (ordered, so the file reads in a fixed order) and the
// atomic rewrite.
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
