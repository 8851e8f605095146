// What the whole-program tests share beyond running the program (support/app_run.h): a session on
// a small positions table, the session log's fault lines, the status line's alert, the map file
// and record a run left, and map blocks built by hand.
//
//   AppRun r = session_run(kSessionTable + "file map.dat\npress MAP_SCAN\nidle\nquit\n");
//   auto faults = session_faults(r.dir);            // without late-answer faults
//   MapRecordDoc rec = session_record(r.dir);
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "support/app_run.h"

// Reference detector in table row 1, three sample positions, then the empty row that ends the list;
// no dark wait and short point waits.
inline const std::string kSessionTable =
    "idle\n"
    "cell 1 1 30000\ncell 2 1 124000\n"
    "cell 1 2 190000\ncell 2 2 160000\n"
    "cell 1 3 200000\ncell 2 3 170000\n"
    "cell 1 4 210000\ncell 2 4 180000\n"
    "set DARK_WAIT 0\nset POINT_WAIT 0.2\n";

// Eight wavelengths, 400 to 750 nm.
inline const char kSessionRefqe8[] =
    "4000 0.30\n4500 0.35\n5000 0.40\n5500 0.42\n6000 0.41\n6500 0.38\n7000 0.33\n7500 0.27\n";

// Options of a session with its own reference table, the station's log kept as station.log.
inline AppRunOptions session_options(const char *refqe = kSessionRefqe8, int limitSeconds = 90) {
    AppRunOptions o;
    o.copyRefqe = false;
    o.files["refqe.txt"] = refqe;
    o.limitSeconds = limitSeconds;
    o.env["VRIM_STATION_LOG"] = "station.log";
    return o;
}

// Runs a session that must end by itself with status 0.
inline AppRun session_run(const std::string &script, AppRunOptions o = session_options()) {
    AppRun r = app_run(script, o);
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

// The same with extra files written into the working directory first.
inline AppRun session_run_with(const std::string &script, const std::map<std::string, std::string> &files = {},
                               AppRunOptions o = session_options()) {
    for (const auto &f : files) o.files[f.first] = f.second;
    return session_run(script, o);
}

// A control's value from a dump-controls file, as a number.
inline double session_num(std::map<std::string, std::string> &controls, const char *name) {
    EXPECT_TRUE(controls.count(name)) << name;
    return atof(controls[name].c_str());
}

// A time-scaled run stretches every pause of the test machine by the time scale: a busy machine
// makes readings "come late" that took their usual time on the simulated station. Tests that are
// not about late answers leave those faults out.
inline bool session_late_answer(const std::string &line) {
    return line.find("answers came late") != std::string::npos;
}

// The session log's fault lines ("FAULT …"), late answers left out unless asked for.
inline std::vector<std::string> session_faults(const std::string &dir, bool withLate = false) {
    std::vector<std::string> v;
    for (const auto &l : app_lines(app_read_text(dir + "/vrim.log")))
        if (l.find(" FAULT ") != std::string::npos && (withLate || !session_late_answer(l))) v.push_back(l);
    return v;
}

// The session log's lines without their time stamps.
inline std::vector<std::string> session_log_texts(const std::string &dir) {
    std::vector<std::string> v;
    for (const auto &l : app_lines(app_read_text(dir + "/vrim.log"))) v.push_back(l.size() > 20 ? l.substr(20) : l);
    return v;
}

// How often what stands in text.
inline int session_count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// True when a line holds both a and b.
inline bool session_any_with(const std::vector<std::string> &v, const std::string &a, const std::string &b = "") {
    for (const auto &l : v)
        if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
}

// The red second line of the status line, as dump-controls shows it after " | ".
inline std::string session_alert(std::map<std::string, std::string> &controls) {
    std::string s = controls["STATUS"];
    size_t bar = s.find(" | ");
    return bar == std::string::npos ? std::string() : s.substr(bar + 3);
}

// The record beside dir/map.dat.
inline MapRecordDoc session_record(const std::string &dir, const std::string &map = "map.dat") {
    MapRecordDoc rec;
    std::string err;
    EXPECT_EQ(maprecord_read(dir + "/" + map + ".json", &rec, &err), 0) << err;
    return rec;
}

// The whole blocks of a map file (stop tells where and why reading stopped).
inline MapBlocks session_blocks(const std::string &path) {
    MapBlocks b;
    mapfile_load(path.c_str(), &b);
    return b;
}

// Little-endian fields of a map block built by hand.
inline void session_le32(std::string &v, uint32_t x) {
    for (int i = 0; i < 4; i++) v.push_back((char)(x >> (8 * i)));
}
inline void session_lef(std::string &v, float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    session_le32(v, u);
}
