// The panel's map view in whole-program sessions on the simulated station: it fills in block by
// block during a map scan over an irregular list of positions and then shows, at the chosen
// wavelength, exactly the file's sample QE; "Open map…" shows any file with its record's faults
// and leaves the store and the reference alone, and a damaged file shows its whole blocks with
// the place of the damage named.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"

namespace {

struct Shown {
    int index, x, y;
    float value;
};

std::vector<Shown> read_dump(const std::string &path) {
    std::vector<Shown> v;
    for (const std::string &l : app_lines(app_read_text(path))) {
        Shown s{};
        if (sscanf(l.c_str(), "%d %d %d %f", &s.index, &s.x, &s.y, &s.value) == 4) v.push_back(s);
    }
    return v;
}

MapBlocks load(const std::string &path) {
    MapBlocks b;
    EXPECT_EQ(mapfile_load(path.c_str(), &b), MAPREAD_END) << b.why;
    return b;
}

}  // namespace

TEST(MapShow, LiveBlocksThenTheFilesValuesOnAnIrregularList) {
    const int pos[6][2] = {{150000, 150000}, {153000, 190000}, {171000, 150500},
                           {200000, 120000}, {150000, 160000}, {185000, 185000}};
    std::string s = "idle\ncell 1 1 30000\ncell 2 1 124000\n";
    for (int k = 0; k < 6; k++)
        s += "cell 1 " + std::to_string(k + 2) + " " + std::to_string(pos[k][0]) + "\ncell 2 " + std::to_string(k + 2) +
             " " + std::to_string(pos[k][1]) + "\n";
    s += "cell 1 8 0\ncell 2 8 0\nset DARK_WAIT 0.02\nset POINT_WAIT 0.2\n"
         "press REFERENCE_SCAN\nidle\nfile map.dat\npress MAP_SCAN\n"
         // Part-way (the third position begun, two blocks written): the view and the controls at
         // the same moment.
         "until POSITION_INDEX 3 3000\ndump-map live.txt\ndump-controls live.c\n"
         "idle\nmap-wavelength 648\ndump-map end.txt\nscreenshot-map map.png\ndump-controls end.c\nquit\n";
    AppRun r = session_run_with(s);
    MapBlocks file = load(r.dir + "/map.dat");
    ASSERT_EQ(file.blocks.size(), 6u);

    auto live = read_dump(r.dir + "/live.txt");
    auto lc = app_controls(r.dir + "/live.c");
    int measuring = atoi(lc["POSITION_INDEX"].c_str());
    ASSERT_EQ(measuring, 3);
    EXPECT_EQ((int)live.size(), 2);  // every block written so far, no more
    EXPECT_EQ(atoi(lc["MAP_VIEW"].c_str()), 2);

    auto end = read_dump(r.dir + "/end.txt");
    ASSERT_EQ(end.size(), 6u);
    for (size_t k = 0; k < 6; k++) {
        const MapBlock &b = file.blocks[k];
        float qe650 = NAN;
        for (const MapRecord &rec : b.rec)
            if (rec.wl == 6500.0f) qe650 = rec.sampleQe;
        EXPECT_EQ(end[k].index, b.hdr.index);
        EXPECT_EQ(end[k].x, pos[k][0]);
        EXPECT_EQ(end[k].y, pos[k][1]);
        EXPECT_EQ(end[k].value, qe650) << "position " << k + 1;
        if (k < live.size()) {
            EXPECT_EQ(live[k].value, qe650);
        }
    }
    EXPECT_EQ(app_controls(r.dir + "/end.c")["MAP_VIEW"], "6");
    EXPECT_GT(app_read_text(r.dir + "/map.png").size(), 1000u);
}

TEST(MapShow, OpenMapShowsAnyFileAndLeavesTheStoreAlone) {
    // Three blocks of 5 points at a reference the store does not hold, and a record with a
    // fault at position index 2.
    std::string whole;
    std::vector<unsigned char> one;
    for (int k = 0; k < 3; k++) {
        MapHeader h{};
        h.index = k + 1;
        h.xReq = h.xRead = 1000 * k;
        h.yReq = h.yRead = 500;
        MapRecord rec[5];
        for (int i = 0; i < 5; i++) rec[i] = MapRecord{5000.0f + 500 * i, 1e-9f, 2e-10f, 0.9f, 0.1f * (k + 1) + 0.01f * i};
        mapfile_encode_block(h, rec, 5, &one);
        whole.append(one.begin(), one.end());
    }
    MapRecordDoc d;
    d.state = "finished";
    MapRecordBlock rb;
    rb.index = 2;
    rb.faults = 1;
    rb.faultText = {"electrometer: read: no answer"};
    d.blocks.push_back(rb);
    std::map<std::string, std::string> files = {{"other.dat", whole},
                                                {"other.dat.json", maprecord_encode(d)},
                                                {"cut.dat", whole.substr(0, whole.size() - 7)}};
    AppRun r = session_run_with("idle\ndump-row 0 before.txt\ndump-controls before.c\n"
                   "file other.dat\npress OPEN_MAP\nidle\nmap-wavelength 600\ndump-map open.txt\n"
                   "dump-row 0 after.txt\ndump-controls after.c\n"
                   "file cut.dat\npress OPEN_MAP\nidle\ndump-map cut.txt\nquit\n",
                   files);
    auto open = read_dump(r.dir + "/open.txt");
    ASSERT_EQ(open.size(), 3u);
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(open[(size_t)k].x, 1000 * k);
        EXPECT_FLOAT_EQ(open[(size_t)k].value, 0.1f * (k + 1) + 0.02f);  // 600 nm is point 2
    }
    // The store's reference and NREF are as they were.
    EXPECT_EQ(app_read_text(r.dir + "/before.txt"), app_read_text(r.dir + "/after.txt"));
    EXPECT_EQ(app_controls(r.dir + "/before.c")["NREF"], app_controls(r.dir + "/after.c")["NREF"]);
    // The damaged file: its two whole blocks, and the operator told where the damage is.
    EXPECT_EQ(read_dump(r.dir + "/cut.txt").size(), 2u);
    EXPECT_NE(r.out.find("popup: Open map: cut.dat is damaged: block 3 at byte 280"), std::string::npos) << r.out;
}
