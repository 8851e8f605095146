// "Load data": which first blocks are taken as the reference (a whole block of finite values, of
// a version this program reads), what is taken from them (the reference dark offset included), and
// that a refused file leaves the store, NREF and the graphs as they were and says why.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "support/app_run.h"
#include "support/session.h"
#include "formats/mapfile.h"

namespace {

// A block of the given version and length field with n records: wavelength wl0 + 100 i,
// reference current (i + 1) × cur, reference QE 0.1 + i / 100, sample fields 7 and 8; a
// version-3 header carries offRef as its reference dark offset.
std::string block(int version, int32_t length, int n, float wl0, float cur, float offRef = 0) {
    std::string v;
    session_le32(v, version);
    session_le32(v, (uint32_t)length);
    for (int k = 2; k < (version == 3 ? 10 : 5); k++) {
        if (k == 7)
            session_lef(v, offRef);
        else
            session_le32(v, 100 + k);
    }
    for (int i = 0; i < n; i++) {
        session_lef(v, wl0 + 100.0f * i);
        session_lef(v, cur * (i + 1));
        session_lef(v, 7.0f);
        session_lef(v, 0.1f + i / 100.0f);
        session_lef(v, 8.0f);
    }
    return v;
}
std::string block3(int n, float wl0, float cur, float offRef = 0) {
    return block(3, 40 + 20 * n, n, wl0, cur, offRef);
}

// Sets float field `field` (0 to 4) of record i of a version-3 block.
void set_record(std::string &b, int i, int field, float v) {
    uint32_t u;
    memcpy(&u, &v, 4);
    for (int k = 0; k < 4; k++) b[40 + 20 * i + 4 * field + k] = (char)(u >> (8 * k));
}

int take(const std::string &data, unsigned long long fileBytes, MapFirstBlock *b, std::string *why = nullptr) {
    return mapfile_take_first((const unsigned char *)data.data(), data.size(), fileBytes, b, why);
}

}  // namespace

// The codec's verdict on a first block, with the file's size beyond what was read.
TEST(LoadData, FirstBlockTakenOnlyWholeAndFinite) {
    static MapFirstBlock b;
    std::string why;
    std::string good = block3(3, 4000.0f, 1e-9f, 2.5e-12f);
    ASSERT_EQ(take(good, good.size(), &b), MAPFILE_OK);
    EXPECT_EQ(b.taken, 3);
    EXPECT_FLOAT_EQ(b.hdr.offRef, 2.5e-12f);

    // Lengths that leave no record: 0, 41 (one byte past a header), below a header.
    for (int32_t len : {0, 41, 59, 20}) {
        std::string z = block(3, len, 0, 0, 0);
        EXPECT_EQ(take(z, z.size(), &b, &why), MAPFILE_NO_POINTS) << len;
        EXPECT_EQ(b.taken, 0);
    }
    std::string v1 = block(1, 20, 0, 0, 0);
    EXPECT_EQ(take(v1, v1.size(), &b), MAPFILE_NO_POINTS);

    // A huge or negative length over a file of several blocks: the block is not whole in the file.
    std::string twoBlocks = block(3, -1, 3, 4000.0f, 1e-9f) + block3(300, 4000.0f, 1e-9f);
    EXPECT_EQ(take(twoBlocks, twoBlocks.size(), &b, &why), MAPFILE_CUT_BLOCK);
    EXPECT_NE(why.find("declares"), std::string::npos) << why;
    std::string big = block(3, 40 + 20 * 250, 3, 4000.0f, 1e-9f) + block3(100, 4000.0f, 1e-9f);
    EXPECT_EQ(take(big, big.size(), &b), MAPFILE_CUT_BLOCK);
    std::string cut = block3(5, 7000.0f, 5e-9f).substr(0, 40 + 2 * 20 + 7);
    EXPECT_EQ(take(cut, cut.size(), &b), MAPFILE_CUT_BLOCK);
    EXPECT_EQ(b.taken, 0);

    // More records than the store: whole in the file (only its start read), the store's share taken.
    std::string huge = block3(1200, 1000.0f, 1e-12f);
    std::string head = huge.substr(0, 40 + 20 * MAPFILE_MAX_POINTS);
    EXPECT_EQ(take(head, huge.size(), &b), MAPFILE_OK);
    EXPECT_EQ(b.taken, MAPFILE_MAX_POINTS);
    EXPECT_EQ(take(head, 40 + 20 * 1100, &b), MAPFILE_CUT_BLOCK);

    // Values a reference takes must be finite; the sample fields are not taken and may be NaN.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct {
        int field;
        float v;
        int want;
    } cases[] = {{1, nan, MAPFILE_NOT_FINITE}, {3, inf, MAPFILE_NOT_FINITE}, {0, nan, MAPFILE_NOT_FINITE},
                 {0, 3e9f, MAPFILE_NOT_FINITE}, {2, nan, MAPFILE_OK}, {4, nan, MAPFILE_OK}};
    for (const auto &c : cases) {
        std::string d = good;
        set_record(d, 1, c.field, c.v);
        EXPECT_EQ(take(d, d.size(), &b, &why), c.want) << c.field << " " << c.v;
        if (c.want != MAPFILE_OK) {
            EXPECT_NE(why.find("point 2"), std::string::npos) << why;
        }
    }
    std::string badOff = block3(3, 4000.0f, 1e-9f, nan);
    EXPECT_EQ(take(badOff, badOff.size(), &b), MAPFILE_NOT_FINITE);

    std::string v9 = good;
    v9[0] = 9;
    EXPECT_EQ(take(v9, v9.size(), &b, &why), MAPFILE_BAD_VERSION);
    EXPECT_NE(why.find("version 9"), std::string::npos) << why;
    EXPECT_EQ(take(good.substr(0, 30), 30, &b), MAPFILE_CUT_HEADER);
}

// Through the program: versions 1 to 3 load (version 3 with its reference dark offset); every
// damaged or foreign file is refused with a pop-up and a log line and changes nothing.
TEST(LoadData, VersionsAndDamagedFiles) {
    std::map<std::string, std::string> files;
    files["v2.dat"] = block(2, 420, 20, 3000.0f, 1e-9f);
    std::string v4 = block3(3, 5000.0f, 2e-9f);
    v4[0] = 4;
    files["v4.dat"] = v4;
    files["v4short.dat"] = v4.substr(0, 12);
    files["cuthdr.dat"] = block3(3, 5000.0f, 2e-9f).substr(0, 30);
    files["cutrec.dat"] = block3(5, 7000.0f, 5e-9f).substr(0, 40 + 2 * 20 + 7);
    files["len0.dat"] = block(3, 0, 0, 0, 0) + block3(3, 5000.0f, 2e-9f);
    files["len41.dat"] = block(3, 41, 0, 0, 0) + block3(3, 5000.0f, 2e-9f);
    files["neg.dat"] = block(3, -1, 3, 5000.0f, 2e-9f) + block3(300, 5000.0f, 2e-9f);
    std::string nanFile = block3(3, 5000.0f, 2e-9f);
    set_record(nanFile, 2, 1, std::numeric_limits<float>::quiet_NaN());
    files["nan.dat"] = nanFile;
    files["v3.dat"] = block3(3, 4000.7f, 3e-9f, -1.25e-11f) + block3(5, 1.0f, 1.0f, 9.0f);
    files["v1.dat"] = block(1, 20 + 2 * 20, 2, 6000.0f, 4e-9f);
    std::string refused[] = {"v4.dat", "v4short.dat", "cuthdr.dat", "cutrec.dat", "len0.dat",
                             "len41.dat", "neg.dat",  "nan.dat"};
    std::string script = "idle\nfile v2.dat\npress LOAD_DATA\nidle\ndump-row 0 a.txt\ndump-controls a.c\n";
    for (const auto &f : refused) script += "file " + f + "\npress LOAD_DATA\nidle\n";
    script += "dump-row 0 b.txt\ndump-controls b.c\n"
              "file v3.dat\npress LOAD_DATA\nidle\ndump-row 0 d.txt\ndump-controls d.c\n"
              "file v1.dat\npress LOAD_DATA\nidle\ndump-row 0 e.txt\ndump-controls e.c\nquit\n";
    AppRun r = session_run_with(script, files);

    // Version 2, field 1 = 420: 20 points.
    auto a = app_row(r.dir + "/a.txt");
    ASSERT_EQ(a.size(), 20u);
    EXPECT_EQ(a[19].wl, 3000 + 100 * 19);
    auto ac = app_controls(r.dir + "/a.c");
    EXPECT_EQ(session_num(ac, "NREF"), 20);
    EXPECT_EQ(session_num(ac, "GRAPH_REFERENCE"), 1);
    EXPECT_EQ(session_num(ac, "GRAPH_QE"), 1);

    // Every refused file left row 0, NREF and the graphs as the version-2 file made them.
    EXPECT_EQ(app_read_text(r.dir + "/b.txt"), app_read_text(r.dir + "/a.txt"));
    auto bc = app_controls(r.dir + "/b.c");
    for (const char *k : {"NREF", "GRAPH_REFERENCE", "GRAPH_QE", "OFFSET_REFERENCE"}) EXPECT_EQ(bc[k], ac[k]) << k;
    std::string log = app_read_text(r.dir + "/vrim.log");
    for (const auto &f : refused) {
        EXPECT_NE(r.out.find("popup: Load data: " + f), std::string::npos) << f << "\n" << r.out;
        EXPECT_NE(log.find(f), std::string::npos) << f;
    }
    EXPECT_EQ(session_count(r.out, "Nothing was loaded."), 8) << r.out;
    EXPECT_NE(r.out.find("v4.dat is not a map file: its first block has unknown version 4"), std::string::npos);
    EXPECT_NE(r.out.find("nan.dat cannot be loaded: point 3 of its first block has a reference current"),
              std::string::npos);

    // Version 3: the first block only, wavelengths truncated (4000.7 → 4000), and its reference
    // dark offset.
    auto d = app_row(r.dir + "/d.txt");
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].wl, 4000);
    EXPECT_EQ(d[2].wl, 4200);
    auto dc = app_controls(r.dir + "/d.c");
    EXPECT_EQ(session_num(dc, "NREF"), 3);
    EXPECT_FLOAT_EQ((float)session_num(dc, "OFFSET_REFERENCE"), -1.25e-11f);

    // Version 1 has no dark offset: the one shown stays.
    auto e = app_row(r.dir + "/e.txt");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].wl, 6100);
    auto ec = app_controls(r.dir + "/e.c");
    EXPECT_FLOAT_EQ((float)session_num(ec, "OFFSET_REFERENCE"), -1.25e-11f);
}

// A map measured after "Load data" writes the loaded reference dark offset into each block, not
// the one an earlier reference scan of the session measured.
TEST(LoadData, LoadedDarkOffsetGoesIntoTheNextMap) {
    std::map<std::string, std::string> files;
    files["ref.dat"] = block3(8, 4000.0f, 2e-9f, 3.75e-12f);
    AppRun r = session_run_with("idle\ncell 1 1 30000\ncell 2 1 124000\ncell 1 2 200000\ncell 2 2 200000\n"
                   "set DARK_WAIT 0\nset POINT_WAIT 0.1\n"
                   "press REFERENCE_SCAN\nidle\n"
                   "file ref.dat\npress LOAD_DATA\nidle\n"
                   "file map.dat\npress MAP_SCAN\nidle\nquit\n",
                   files);
    std::string map = app_read_text(r.dir + "/map.dat");
    ASSERT_EQ(map.size(), 40u + 8 * 20);
    MapHeader h;
    ASSERT_EQ(mapfile_get_header((const unsigned char *)map.data(), map.size(), &h), 40);
    EXPECT_FLOAT_EQ(h.offRef, 3.75e-12f);
    MapRecord rec;
    mapfile_get_record((const unsigned char *)map.data() + 40 + 20, &rec);
    EXPECT_FLOAT_EQ(rec.refCur, 4e-9f);  // the loaded reference current, not the scanned one
}
