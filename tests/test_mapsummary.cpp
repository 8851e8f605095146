// Summary and salvage of map files: a damaged file summarised as far as its whole blocks go, the
// values that are not a number counted per column, the record's state and faulty blocks, and the
// salvage of the whole blocks, byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/app_run.h"
#include "formats/mapsummary.h"

namespace {

std::string tmpdir() {
    char t[] = "/tmp/vrim-sum-XXXXXX";
    return mkdtemp(t) ? std::string(t) : std::string("/tmp");
}

// Block of n points at position j; sample QE 0.1 + j / 100 except the NaN points given.
std::string make_block(int j, int n, const std::vector<int> &nanAt = {}) {
    MapHeader h{};
    h.index = j;
    h.xReq = 1000 * j;
    h.yReq = 2000 * j;
    h.xRead = 1000 * j + 1;
    h.yRead = 2000 * j;
    std::vector<MapRecord> rec(n);
    for (int i = 0; i < n; i++) rec[i] = {4000.0f + 10 * i, 1e-9f, 2e-9f, 0.3f, 0.1f + j / 100.0f};
    for (int i : nanAt) {
        rec[i].sampleCur = NAN;
        rec[i].sampleQe = NAN;
    }
    std::vector<unsigned char> out;
    mapfile_encode_block(h, rec.data(), n, &out);
    return std::string(out.begin(), out.end());
}

}  // namespace

TEST(MapSummary, DamagedFileNaNCountsAndRecord) {
    std::string d = tmpdir();
    std::string whole = make_block(1, 5) + make_block(2, 5, {0, 3}) + make_block(3, 5, {4});
    std::string path = d + "/map.dat";
    app_write_text(path, whole + make_block(4, 5).substr(0, 77));

    MapRecordDoc rec;
    rec.state = "running";
    rec.positions = {{1000, 2000}, {2000, 4000}, {3000, 6000}, {4000, 8000}};
    for (int j = 1; j <= 4; j++) {
        MapRecordBlock b;
        b.index = j;
        if (j == 2) {
            b.faults = 2;
            b.faultText = {"electrometer: reading: no answer", "electrometer: reading: not a number"};
        }
        rec.blocks.push_back(b);
    }
    std::string err;
    ASSERT_EQ(maprecord_write(path, rec, &err), 0) << err;

    MapSummary s;
    EXPECT_EQ(mapsummary_read(path, &s), 1);
    ASSERT_EQ(s.file.blocks.size(), 3u);
    EXPECT_EQ(s.nan[MAPCOL_SAMPLE_CUR], 3);
    EXPECT_EQ(s.nan[MAPCOL_SAMPLE_QE], 3);
    EXPECT_EQ(s.nan[MAPCOL_WL] + s.nan[MAPCOL_REF_CUR] + s.nan[MAPCOL_REF_QE], 0);
    std::string t = mapsummary_text(s, true);
    EXPECT_NE(t.find("blocks: 3\n"), std::string::npos) << t;
    EXPECT_NE(t.find("  3 requested 3000 6000 read 3001 6000\n"), std::string::npos) << t;
    EXPECT_NE(t.find("QE range: 0.11 .. 0.13\n"), std::string::npos) << t;
    EXPECT_NE(t.find("sample current 3, reference QE 0, sample QE 3\n"), std::string::npos) << t;
    EXPECT_NE(t.find("state: running\n"), std::string::npos) << t;
    EXPECT_NE(t.find("record blocks: 4 of 4 positions, 1 with faults\n"), std::string::npos) << t;
    EXPECT_NE(t.find("  block 2: 2 faults\n    electrometer: reading: no answer\n"), std::string::npos) << t;
    EXPECT_NE(t.find("the record lists 4 blocks, the file holds 3 whole blocks"), std::string::npos) << t;
    // The damage is the last line: which block, at which byte, and what stays good.
    size_t at = t.find("stopped: block 4 at byte " + std::to_string(whole.size()));
    ASSERT_NE(at, std::string::npos) << t;
    EXPECT_EQ(t.find('\n', at), t.size() - 1);
    EXPECT_NE(t.find("3 whole blocks before it take " + std::to_string(whole.size())), std::string::npos) << t;

    // Salvage: exactly the whole blocks, and the copy reads as a whole file.
    std::string msg;
    ASSERT_EQ(mapsummary_salvage(s, d + "/good.dat", &msg), 0) << msg;
    EXPECT_EQ(app_read_text(d + "/good.dat"), whole);
    MapSummary g;
    EXPECT_EQ(mapsummary_read(d + "/good.dat", &g), 0);
    EXPECT_EQ(mapsummary_text(g, false).find("stopped:"), std::string::npos);
    // Never over the file being salvaged, which stays as it was.
    EXPECT_EQ(mapsummary_salvage(s, path, &msg), -1);
    EXPECT_EQ(app_read_text(path).size(), whole.size() + 77);
}

TEST(MapSummary, NothingWholeEmptyAndUnreadable) {
    std::string d = tmpdir();
    app_write_text(d + "/cut.dat", make_block(1, 5).substr(0, 30));
    MapSummary s;
    EXPECT_EQ(mapsummary_read(d + "/cut.dat", &s), 1);
    std::string t = mapsummary_text(s, false);
    EXPECT_NE(t.find("blocks: 0\n"), std::string::npos) << t;
    EXPECT_NE(t.find("stopped: block 1 at byte 0"), std::string::npos) << t;
    EXPECT_NE(t.find("record: none"), std::string::npos) << t;
    std::string msg;
    EXPECT_EQ(mapsummary_salvage(s, d + "/out.dat", &msg), -1);
    EXPECT_NE(access((d + "/out.dat").c_str(), F_OK), 0);

    app_write_text(d + "/empty.dat", "");
    EXPECT_EQ(mapsummary_read(d + "/empty.dat", &s), 1);
    EXPECT_NE(mapsummary_text(s, false).find("is empty"), std::string::npos);
    EXPECT_EQ(mapsummary_read(d + "/missing.dat", &s), 1);
    EXPECT_NE(mapsummary_text(s, false).find("cannot open"), std::string::npos);
    // A device that never ends is not read as a map.
    EXPECT_EQ(mapsummary_read("/dev/zero", &s), 1);
    EXPECT_NE(mapsummary_text(s, false).find("not a regular file"), std::string::npos);

    // A record that is not a record is reported, not taken for one.
    app_write_text(d + "/one.dat", make_block(1, 5));
    app_write_text(d + "/one.dat.json", "{\"blocks\": 7}");
    EXPECT_EQ(mapsummary_read(d + "/one.dat", &s), 0);
    EXPECT_NE(mapsummary_text(s, false).find("cannot be read"), std::string::npos);
}

// The tool: summary of the whole blocks on stdout, the reason on stderr, status 1; --salvage 0.
TEST(MapSummary, ToolOnDamagedFile) {
    std::string d = tmpdir();
    std::string whole = make_block(1, 4) + make_block(2, 4);
    app_write_text(d + "/m.dat", whole + std::string(3, '\0'));
    std::string tool = app_bin_dir() + "/vrim-mapinfo";
    std::string cmd = tool + " " + d + "/m.dat > " + d + "/o.txt 2> " + d + "/e.txt";
    int st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_NE(app_read_text(d + "/o.txt").find("blocks: 2\n"), std::string::npos);
    EXPECT_NE(app_read_text(d + "/e.txt").find("block 3 at byte " + std::to_string(whole.size())), std::string::npos);
    cmd = tool + " --salvage " + d + "/s.dat " + d + "/m.dat > " + d + "/o.txt 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(app_read_text(d + "/s.dat"), whole);
}
