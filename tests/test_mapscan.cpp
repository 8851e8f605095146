// Map scan and binary file loader on the simulated station, through the scripted operator: the
// end of the position list, the blocks on disk, an aborted scan, a dialog that gives no file, and
// every kind of file the loader meets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"
#include "sim/station/optics.h"
#include "formats/mapfile.h"

namespace {

const int kRefWl[8] = {4000, 4500, 5000, 5500, 6000, 6500, 7000, 7500};

// Relative closeness for values printed with six significant digits.
void expect_close(double got, double want, const std::string &what) {
    EXPECT_LE(std::fabs(got - want), 1e-5 * std::fabs(want) + 1e-30) << what << ": " << got << " vs " << want;
}

}  // namespace

// Five positions with the list ended by (0, 0): rows with only one coordinate ≤ 0 are scanned,
// the row after the end is not; the file holds one block per position, byte for byte as the
// store and panel stood, and loads back as the reference.
TEST(MapScan, BlocksEndOfListAndReload) {
    const char *table =
        "idle\n"
        "cell 1 1 30000\ncell 2 1 124000\n"
        "cell 1 2 205000\ncell 2 2 190000\n"
        "cell 1 3 0\ncell 2 3 5\n"
        "cell 1 4 -3\ncell 2 4 7\n"
        "cell 1 5 5\ncell 2 5 0\n"
        "cell 1 6 210000\ncell 2 6 195000\n"
        "cell 1 8 200000\ncell 2 8 200000\n";
    long t0 = (long)time(nullptr);
    AppRun r = session_run_with(std::string(table) +
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\n"
                   "press REFERENCE_SCAN\nidle\n"
                   "file map.dat\npress MAP_SCAN\nidle\n"
                   "dump-row 0 r0.txt\ndump-row 1 r1.txt\ndump-row 2 r2.txt\ndump-row 3 r3.txt\n"
                   "dump-row 4 r4.txt\ndump-row 5 r5.txt\ndump-row 6 r6.txt\ndump-controls c.txt\n"
                   "file map.dat\npress LOAD_DATA\nidle\ndump-row 0 loaded.txt\ndump-controls loaded.c\n"
                   "quit\n");
    long t1 = (long)time(nullptr);
    std::string file = app_read_text(r.dir + "/map.dat");
    ASSERT_EQ(file.size(), 5u * (40 + 8 * 20));
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(session_num(c, "POSITION_INDEX"), 6);  // the row that ended the list
    auto r0 = app_row(r.dir + "/r0.txt");
    ASSERT_EQ(r0.size(), 8u);
    const int req[5][2] = {{205000, 190000}, {0, 5}, {-3, 7}, {5, 0}, {210000, 195000}};
    const unsigned char *p = (const unsigned char *)file.data();
    for (int j = 1; j <= 5; j++, p += 200) {
        MapHeader h;
        ASSERT_EQ(mapfile_get_header(p, 200, &h), 40);
        EXPECT_EQ(h.version, 3);
        EXPECT_EQ(h.length, 200);
        EXPECT_EQ(h.index, j);
        EXPECT_EQ(h.xReq, req[j - 1][0]);
        EXPECT_EQ(h.yReq, req[j - 1][1]);
        EXPECT_GE(h.time, t0);
        EXPECT_LE(h.time, t1);
        EXPECT_FLOAT_EQ(h.offRef, (float)session_num(c, "OFFSET_REFERENCE"));
        if (j == 5) {
            EXPECT_EQ(h.xRead, (int)session_num(c, "POS_X"));
            EXPECT_EQ(h.yRead, (int)session_num(c, "POS_Y"));
            EXPECT_FLOAT_EQ(h.offPos, (float)session_num(c, "OFFSET_SAMPLE"));
        }
        auto rj = app_row(r.dir + "/r" + std::to_string(j) + ".txt");
        ASSERT_EQ(rj.size(), 8u);
        for (int i = 0; i < 8; i++) {
            MapRecord rec;
            mapfile_get_record(p + 40 + 20 * i, &rec);
            std::string at = "block " + std::to_string(j) + " point " + std::to_string(i);
            EXPECT_EQ(rec.wl, (float)kRefWl[i]) << at;
            expect_close(rec.refCur, r0[i].tok, at + " reference current");
            expect_close(rec.sampleCur, rj[i].tok, at + " sample current");
            expect_close(rec.refQe, r0[i].qe, at + " reference QE");
            expect_close(rec.sampleQe, rj[i].qe, at + " sample QE");
        }
    }
    // Table row 8 lies after the end of the list: store row 7 never measured.
    for (const auto &pt : app_row(r.dir + "/r6.txt")) EXPECT_EQ(pt.wl, 0);

    // Loading the file restores the reference of its first block.
    EXPECT_EQ(app_read_text(r.dir + "/loaded.txt"), app_read_text(r.dir + "/r0.txt"));
    auto lc = app_controls(r.dir + "/loaded.c");
    EXPECT_EQ(session_num(lc, "NREF"), 8);
    EXPECT_EQ(session_num(lc, "GRAPH_REFERENCE"), 1);
    EXPECT_EQ(session_num(lc, "GRAPH_QE"), 1 + 5);  // black reference; the five blue QE curves

    // The summary tool reads the same file, and refuses a copy cut inside a record.
    std::string tool = app_bin_dir() + "/vrim-mapinfo";
    std::string cmd = tool + " -v " + r.dir + "/map.dat > " + r.dir + "/info.txt 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0);
    std::string info = app_read_text(r.dir + "/info.txt");
    EXPECT_NE(info.find("version: 3\npoints: 8\nblocks: 5\n"), std::string::npos) << info;
    app_write_text(r.dir + "/cut.dat", file.substr(0, 3 * 200 + 57));
    cmd = tool + " " + r.dir + "/cut.dat > " + r.dir + "/cut.txt 2>&1";
    EXPECT_NE(system(cmd.c_str()), 0);
    EXPECT_NE(app_read_text(r.dir + "/cut.txt").find("block 4"), std::string::npos);
}

// STOP during the third position: the file holds the first two blocks, and the third position
// stays selected.
TEST(MapScan, AbortDuringThirdPositionKeepsTwoBlocks) {
    AppRun r = session_run_with("idle\n"
                   "cell 1 1 30000\ncell 2 1 124000\n"
                   "cell 1 2 205000\ncell 2 2 190000\ncell 1 3 215000\ncell 2 3 190000\n"
                   "cell 1 4 225000\ncell 2 4 190000\ncell 1 5 235000\ncell 2 5 190000\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 60\n"
                   "file map.dat\npress MAP_SCAN\nuntil POSITION_INDEX 3 5000\npress STOP\nidle\n"
                   "dump-controls c.txt\nquit\n");
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(session_num(c, "POSITION_INDEX"), 3);
    std::string file = app_read_text(r.dir + "/map.dat");
    ASSERT_EQ(file.size(), 2u * 200);
    MapHeader h;
    ASSERT_EQ(mapfile_get_header((const unsigned char *)file.data(), 200, &h), 40);
    EXPECT_EQ(h.index, 1);
    ASSERT_EQ(mapfile_get_header((const unsigned char *)file.data() + 200, 200, &h), 40);
    EXPECT_EQ(h.index, 2);
}

// A cancelled dialog, or a file that cannot be opened, starts nothing and greys nothing: the
// quick scan afterwards still replaces position 1's current curve instead of adding one.
TEST(MapScan, NoFileNoScan) {
    AppRun r = session_run_with("idle\n"
                   "cell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\n"
                   "cell 1 3 215000\ncell 2 3 190000\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\nset POSITION_INDEX 1\n"
                   "set WL_FIRST 4000\nset WL_STEP 50\nset WL_COUNT 2\n"
                   "press SAMPLE_SCAN\nidle\n"
                   "cancel\npress MAP_SCAN\nidle\n"
                   "file no-such-dir/map.dat\npress MAP_SCAN\nidle\n"
                   "press CURRENT_SCAN\nidle\ndump-controls c.txt\nquit\n");
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(session_num(c, "GRAPH_SAMPLE"), 1);
    EXPECT_EQ(session_num(c, "GRAPH_QE"), 2);
    EXPECT_EQ(session_num(c, "POSITION_INDEX"), 1);
    EXPECT_EQ(session_num(c, "POS_X"), 205000);
    // Told once, for the file that could not be opened; nothing for the cancelled dialog.
    std::string log = app_read_text(r.dir + "/station.log");
    size_t at = log.find("popup Map scan");
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("popup Map scan", at + 1), std::string::npos);
}

// A block that cannot be written stops the scan at that position instead of measuring on. The
// file size limit lets the program's small files through but not one block of 300 points.
TEST(MapScan, WriteFailureStopsTheScan) {
    AppRunOptions o;
    o.copyRefqe = false;
    for (int i = 0; i < 300; i++) o.files["refqe.txt"] += std::to_string(3000 + i) + " 0.3\n";
    o.fileSizeLimit = (40 + 300 * 20) / 2;
    o.limitSeconds = 90;
    AppRun r = app_run("idle\n"
                       "cell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\n"
                       "cell 1 3 215000\ncell 2 3 190000\ncell 1 4 225000\ncell 2 4 190000\n"
                       "set DARK_WAIT 0\nset POINT_WAIT 0.01\n"
                       "file map.dat\npress MAP_SCAN\nidle\ndump-controls c.txt\nquit\n",
                       o);
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(app_read_text(r.dir + "/map.dat").size(), 0u);  // no part of the block stays
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(session_num(c, "POSITION_INDEX"), 1);
    EXPECT_EQ(session_num(c, "POS_X"), 205000);
    EXPECT_NE(r.out.find("popup: Map scan: Writing map.dat failed"), std::string::npos) << r.out;
}

// A table longer than the store: the scan stops at store row 999 (table row 1000).
TEST(MapScan, TableLongerThanTheStore) {
    std::string ui = app_read_text(std::string(getenv("VRIM_SOURCE_DIR") ? getenv("VRIM_SOURCE_DIR") : "..") +
                                   "/vrim/vrim_ui.uir");
    auto widen = [&ui](const char *name, const char *prop, const char *value) {
        size_t at = ui.find(std::string("name=\"") + name + "\"");
        ASSERT_NE(at, std::string::npos) << name;
        size_t n = ui.find("<number>", ui.find(std::string("\"") + prop + "\"", at));
        ui.replace(n, ui.find("</number>", n) - n, std::string("<number>") + value);
    };
    widen("POSITIONS", "rowCount", "1003");
    widen("POSITION_INDEX", "maximum", "5000");
    std::string pos = "30000 124000\n";
    for (int i = 0; i < 1002; i++) pos += "200000 200000\n";
    AppRunOptions o;
    o.copyRefqe = false;
    o.copyPanel = false;
    o.files["vrim_ui.uir"] = ui;
    o.files["refqe.txt"] = "5000 0.5\n";
    o.files["pos.txt"] = pos;
    o.limitSeconds = 300;
    // No points per position (NREF 0) keeps a thousand positions quick.
    AppRun r = app_run("idle\nfile pos.txt\npress LOAD_POSITIONS\nidle\n"
                       "set DARK_WAIT 0\nset POINT_WAIT 0\nset NREF 0\n"
                       "file map.dat\npress MAP_SCAN\nidle\ndump-controls c.txt\nquit\n",
                       o);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.status, 0) << r.err;
    auto c = app_controls(r.dir + "/c.txt");
    EXPECT_EQ(session_num(c, "POSITIONS"), 1003);
    EXPECT_EQ(session_num(c, "POSITION_INDEX"), 999);
    std::string file = app_read_text(r.dir + "/map.dat");
    ASSERT_EQ(file.size(), 999u * (40 + 20));
    MapHeader h;
    ASSERT_EQ(mapfile_get_header((const unsigned char *)file.data() + 998 * 60, 60, &h), 40);
    EXPECT_EQ(h.index, 999);
}

// The whole measurement chain on the simulated station: with the shipped reference table, the QE
// a map scan writes at each position is the simulated sample's QE at the position the stages
// read back, within the reading noise, on the face, at its edge and off it.
TEST(MapScan, MeasuredQeFollowsTheSampleFace) {
    AppRunOptions o;
    o.limitSeconds = 120;
    const int pos[3][2] = {{195000, 180000}, {250000, 230000}, {300000, 300000}};
    std::string script =
        "idle\ncell 1 1 30000\ncell 2 1 124000\n"
        "cell 1 2 195000\ncell 2 2 180000\n"
        "cell 1 3 250000\ncell 2 3 230000\n"
        "cell 1 4 300000\ncell 2 4 300000\n"
        "set DARK_WAIT 0\nset POINT_WAIT 0.1\n"
        "press REFERENCE_SCAN\nidle\nfile map.dat\npress MAP_SCAN\nidle\nquit\n";
    AppRun r = app_run(script, o);
    ASSERT_FALSE(r.timedOut) << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    std::string file = app_read_text(r.dir + "/map.dat");
    const unsigned char *p = (const unsigned char *)file.data();
    size_t left = file.size();
    for (int j = 0; j < 3; j++) {
        MapHeader h;
        int hl = mapfile_get_header(p, left, &h);
        ASSERT_EQ(hl, 40) << "block " << j + 1;
        ASSERT_GE(h.length, 40 + 20 * 30);
        ASSERT_LE((size_t)h.length, left);
        EXPECT_EQ(h.xReq, pos[j][0]);
        EXPECT_EQ(h.yReq, pos[j][1]);
        int n = (h.length - 40) / 20;
        double worst = 0;
        for (int i = 0; i < n; i++) {
            MapRecord rec;
            mapfile_get_record(p + 40 + 20 * i, &rec);
            double model = optics_sample_qe(rec.wl / 10.0, h.xRead, h.yRead);
            double err = std::fabs(rec.sampleQe - model);
            worst = std::max(worst, err);
            EXPECT_LE(err, 0.01 + 0.03 * model) << "block " << j + 1 << " at " << rec.wl;
        }
        RecordProperty("worst_qe_error_block_" + std::to_string(j + 1), std::to_string(worst));
        p += h.length;
        left -= h.length;
    }
    EXPECT_EQ(left, 0u);
}

// NREF 3 below the table's 8 points: every block still holds 8 records, the 5 past the measured
// points carry NaN for the sample current and QE (the reference fields as measured); the log,
// the status line and the map view say so.
TEST(MapScan, FewerPointsThanTheTableAreMarkedNotMeasured) {
    AppRun r = session_run_with("idle\ncell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\n"
                   "cell 1 3 210000\ncell 2 3 195000\ncell 1 4 0\ncell 2 4 0\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\npress REFERENCE_SCAN\nidle\nset NREF 3\n"
                   "file map.dat\npress MAP_SCAN\nwait 3\ndump-controls mid.c\nidle\n"
                   "map-wavelength 450\ndump-map measured.txt\nmap-wavelength 650\ndump-map past.txt\nquit\n");
    MapBlocks b;
    ASSERT_EQ(mapfile_load((r.dir + "/map.dat").c_str(), &b), MAPREAD_END) << b.why;
    ASSERT_EQ(b.blocks.size(), 2u);
    for (const MapBlock &blk : b.blocks) {
        ASSERT_EQ(blk.rec.size(), 8u);
        EXPECT_EQ(blk.hdr.length, 40 + 8 * 20);
        for (int i = 0; i < 8; i++) {
            const MapRecord &m = blk.rec[(size_t)i];
            EXPECT_EQ(m.wl, (float)kRefWl[i]);
            EXPECT_TRUE(std::isfinite(m.refCur) && std::isfinite(m.refQe)) << i;
            EXPECT_EQ(std::isnan(m.sampleCur), i >= 3) << blk.hdr.index << " " << i;
            EXPECT_EQ(std::isnan(m.sampleQe), i >= 3) << blk.hdr.index << " " << i;
        }
    }
    std::string log = app_read_text(r.dir + "/vrim.log");
    size_t at = log.find("map block 1 written");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.substr(at, log.find('\n', at) - at).find("measured 3 of 8 points"), std::string::npos) << log;
    auto c = app_controls(r.dir + "/mid.c");
    EXPECT_NE(c["STATUS"].find("3 of 8 points per position"), std::string::npos) << c["STATUS"];
    // The map view: values at a measured wavelength, none past them.
    auto values = [](const std::string &text) {
        std::vector<double> v;
        for (const auto &l : app_lines(text)) {
            int idx, x, y;
            char val[64];
            if (sscanf(l.c_str(), "%d %d %d %63s", &idx, &x, &y, val) == 4) v.push_back(strtod(val, nullptr));
        }
        return v;
    };
    auto m = values(app_read_text(r.dir + "/measured.txt")), p = values(app_read_text(r.dir + "/past.txt"));
    ASSERT_EQ(m.size(), 2u);
    ASSERT_EQ(p.size(), 2u);
    for (double v : m) EXPECT_TRUE(std::isfinite(v) && v > 0) << v;
    for (double v : p) EXPECT_TRUE(std::isnan(v)) << v;
}

// With no dark wait and point waits of a single slice, STOP still ends a map between points.
TEST(MapScan, StopWithShortWaits) {
    AppRun r = session_run_with("idle\ncell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\n"
                   "cell 1 3 210000\ncell 2 3 195000\ncell 1 4 215000\ncell 2 4 190000\ncell 1 5 0\ncell 2 5 0\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 0.2\nfile map.dat\npress MAP_SCAN\nwait 5\npress STOP\nidle\nquit\n");
    MapBlocks b;
    EXPECT_EQ(mapfile_load((r.dir + "/map.dat").c_str(), &b), MAPREAD_END) << b.why;
    EXPECT_LT(b.blocks.size(), 3u);
    EXPECT_NE(app_read_text(r.dir + "/vrim.log").find("Map scan stopped by the operator (STOP)"), std::string::npos);
}
