// Maps that survive interruptions, in whole-program sessions on the simulated station: SIGKILL at
// several moments of a map of 1000-point blocks, each time resumed until the map is finished; a
// write refused part way through a block; a resume refused for a record that does not match the
// table; and the question before a map scan replaces measured blocks.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "support/app_run.h"
#include "support/session.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"

namespace {

std::string ref_table(int n) {
    std::string t;
    for (int i = 0; i < n; i++) t += std::to_string(4000 + 5 * i) + " " + std::to_string(0.3 + 0.0001 * i) + "\n";
    return t;
}

// Three sample positions, the list ended by (0, 0).
const char kTable[] =
    "cell 1 1 30000\ncell 2 1 124000\ncell 1 2 205000\ncell 2 2 190000\ncell 1 3 215000\ncell 2 3 190000\n"
    "cell 1 4 225000\ncell 2 4 190000\ncell 1 5 0\ncell 2 5 0\n";
const int kPos[3][2] = {{205000, 190000}, {215000, 190000}, {225000, 190000}};

long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// Waits (real time, bounded) until pred holds; returns whether it did.
template <class F>
bool wait_for(F pred, int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace

// SIGKILL during the first position, right as the first block reaches the disk, and in the middle
// of the third position; after each the file holds whole blocks only, and Resume map goes on from
// there until the map is finished with blocks 1, 2, 3 as one uninterrupted map writes them.
TEST(MapResume, KilledThreeTimesThenFinished) {
    const int n = 1000, blockBytes = 40 + 20 * n;
    AppRunOptions o;
    o.timeScale = 0.003;
    o.limitSeconds = 120;
    o.copyRefqe = false;
    o.files["refqe.txt"] = ref_table(n);
    const std::string setup = std::string("idle\n") + kTable + "set DARK_WAIT 0\nset POINT_WAIT 0\n";

    AppChild c = app_start(setup + "file map.dat\npress MAP_SCAN\nwait 100000\n", o);
    ASSERT_GT(c.pid, 0);
    const std::string dir = c.run.dir, map = dir + "/map.dat";
    o.dir = dir;
    o.files.clear();

    // Killed at a moment chosen by what the file and its record show; returns the blocks left.
    auto kill_when = [&](AppChild &child, auto pred, const char *what) {
        EXPECT_TRUE(wait_for(pred, 90)) << what;
        kill(-child.pid, SIGKILL);
        AppRun r = app_wait(child);
        EXPECT_EQ(r.status, -1000 - SIGKILL) << what << "\n" << r.err;
        MapBlocks b = session_blocks(map);
        EXPECT_EQ(b.stop, MAPREAD_END) << what << ": " << b.why;
        EXPECT_EQ(file_size(map) % blockBytes, 0) << what;
        for (size_t k = 0; k < b.blocks.size(); k++) EXPECT_EQ(b.blocks[k].hdr.index, (int)k + 1) << what;
        return b.blocks.size();
    };
    auto resume = [&]() { return app_start(setup + "file map.dat\npress RESUME_MAP\nwait 100000\n", o); };

    // 1: the record is there, position 1 under way.
    EXPECT_EQ(kill_when(c, [&]() { return file_size(map + ".json") > 0; }, "during position 1"), 0u);
    // 2: resumed at position 1, killed as soon as its block is seen.
    AppChild c2 = resume();
    EXPECT_EQ(kill_when(c2, [&]() { return file_size(map) >= blockBytes; }, "at the first block"), 1u);
    // 3: resumed at position 2, killed in the middle of position 3.
    AppChild c3 = resume();
    bool two = wait_for([&]() { return file_size(map) >= 2 * blockBytes; }, 90);
    EXPECT_TRUE(two);
    EXPECT_EQ(kill_when(c3, [&, t0 = std::chrono::steady_clock::now()]() {
                  return std::chrono::steady_clock::now() - t0 > std::chrono::seconds(2);
              }, "in position 3"), 2u);

    // 4: resumed to the end.
    AppRun r = app_run(setup + "file map.dat\npress RESUME_MAP\nidle\ndump-controls c.txt\nquit\n", o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("popup: Resume map: 2 of 3 positions are in the file; the map goes on at position 3."),
              std::string::npos) << r.out;
    MapBlocks b = session_blocks(map);
    EXPECT_EQ(b.stop, MAPREAD_END) << b.why;
    ASSERT_EQ(b.blocks.size(), 3u);
    for (int k = 0; k < 3; k++) {
        const MapBlock &blk = b.blocks[k];
        EXPECT_EQ(blk.hdr.index, k + 1);
        EXPECT_EQ(blk.hdr.length, blockBytes);
        EXPECT_EQ(blk.hdr.xReq, kPos[k][0]);
        EXPECT_EQ(blk.hdr.yReq, kPos[k][1]);
        // The reference part is the first block's in every block, as in one map.
        EXPECT_EQ(blk.hdr.offRef, b.blocks[0].hdr.offRef);
        for (int i = 0; i < n; i += 97) {
            EXPECT_EQ(blk.rec[i].wl, b.blocks[0].rec[i].wl);
            EXPECT_EQ(blk.rec[i].refCur, b.blocks[0].rec[i].refCur);
            EXPECT_EQ(blk.rec[i].refQe, b.blocks[0].rec[i].refQe);
        }
    }
    MapRecordDoc rec = session_record(dir);
    EXPECT_EQ(rec.state, "finished");
    EXPECT_NE(app_read_text(dir + "/vrim.log").find("Map scan resumed: map.dat holds 2 of 3 positions; going on at position 3"),
              std::string::npos);
    ASSERT_EQ(rec.blocks.size(), 3u);
    for (int k = 0; k < 3; k++) EXPECT_EQ(rec.blocks[k].index, k + 1);
    EXPECT_EQ(app_controls(dir + "/c.txt")["POSITION_INDEX"], "4");
}

// The system refuses the third block part way (a file size limit): the file is cut back to its two
// whole blocks, the operator is told so, and the record says the map stopped.
TEST(MapResume, WriteRefusedMidBlockLeavesWholeBlocks) {
    const int n = 300, blockBytes = 40 + 20 * n;
    AppRunOptions o;
    o.copyRefqe = false;
    o.files["refqe.txt"] = ref_table(n);
    o.fileSizeLimit = 2 * blockBytes + blockBytes / 2;
    o.timeScale = 0.003;
    o.limitSeconds = 90;
    AppRun r = app_run(std::string("idle\n") + kTable +
                           "set DARK_WAIT 0\nset POINT_WAIT 0\nfile map.dat\npress MAP_SCAN\nidle\n"
                           "dump-controls c.txt\nquit\n",
                       o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(r.dir + "/map.dat"), 2 * blockBytes);
    EXPECT_EQ(session_blocks(r.dir + "/map.dat").stop, MAPREAD_END);
    EXPECT_NE(r.out.find("The map scan stopped; the file holds 2 whole blocks."), std::string::npos) << r.out;
    MapRecordDoc rec = session_record(r.dir);
    EXPECT_EQ(rec.state, "stopped");
    EXPECT_EQ(rec.blocks.size(), 2u);
    EXPECT_EQ(app_controls(r.dir + "/c.txt")["POSITION_INDEX"], "3");
}

// A record whose positions are not the table's is refused with nothing changed; once the table is
// as the map began, the map goes on from its first missing position with the reference of its
// first block. Then MAP_SCAN on the finished file asks before replacing it: cancel keeps it, ok
// replaces it; an empty file or one that is not a map is replaced without a question.
TEST(MapResume, RefusedResumeThenResumedAndReplaceQuestion) {
    AppRunOptions o;
    o.limitSeconds = 90;
    // Run once to have the table's reference in use and its checksum.
    std::string sha;
    {
        AppRun r0 = app_run("quit\n", o);
        ASSERT_EQ(sha256_file((r0.dir + "/refqe.txt").c_str(), &sha), 0);
        o.dir = r0.dir;
    }
    const int n = 61;
    std::vector<unsigned char> data, one;
    std::vector<MapRecord> recs(n);
    for (int i = 0; i < n; i++) recs[i] = {4000.0f + 100 * i, 1e-9f * (i + 1), 5e-10f, 0.2f + i / 1000.0f, 0.1f};
    MapRecordDoc rec;
    rec.state = "stopped";
    rec.refTable = "refqe.txt";
    rec.refSha256 = sha;
    rec.refPoints = n;
    for (auto &p : kPos) rec.positions.push_back({p[0], p[1]});
    for (int k = 0; k < 2; k++) {
        MapHeader h{};
        h.index = k + 1;
        h.xReq = h.xRead = kPos[k][0];
        h.yReq = h.yRead = kPos[k][1];
        h.offRef = -2.5e-13f;
        mapfile_encode_block(h, recs.data(), n, &one);
        data.insert(data.end(), one.begin(), one.end());
        MapRecordBlock b;
        b.index = k + 1;
        b.requested = {kPos[k][0], kPos[k][1]};
        rec.blocks.push_back(b);
    }
    const std::string dir = o.dir;
    app_write_text(dir + "/map.dat", std::string(data.begin(), data.end()) + "cut");
    std::string err;
    ASSERT_EQ(maprecord_write(dir + "/map.dat", rec, &err), 0) << err;
    const std::string fileBefore = app_read_text(dir + "/map.dat"), recBefore = app_read_text(dir + "/map.dat.json");
    app_write_text(dir + "/empty.dat", "");
    app_write_text(dir + "/notes.dat", "not a map\n");

    // Refused: the table's position 2 is not the record's. Nothing changes, nothing moves.
    AppRun r = app_run(std::string("idle\n") + kTable + "cell 1 3 216000\n"
                           "dump-controls before.txt\nfile map.dat\npress RESUME_MAP\nidle\ndump-controls refused.txt\nquit\n",
                       o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("map.dat cannot be resumed.\nPosition 2 differs: the record has X 215000, Y 190000; the "
                         "POSITIONS table has X 216000, Y 190000."),
              std::string::npos) << r.out;
    EXPECT_EQ(app_read_text(dir + "/map.dat"), fileBefore);
    EXPECT_EQ(app_read_text(dir + "/map.dat.json"), recBefore);
    auto before = app_controls(dir + "/before.txt"), refused = app_controls(dir + "/refused.txt");
    for (const char *c : {"POS_X", "POS_Y", "NREF", "POSITION_INDEX", "GRAPH_QE"}) EXPECT_EQ(refused[c], before[c]) << c;
    EXPECT_EQ(r.out.find("popup: Reminder"), std::string::npos);

    // Resumed: the partial block is cut, position 3 measured with the first block's reference.
    r = app_run(std::string("idle\n") + kTable + "set DARK_WAIT 0\nset POINT_WAIT 0.2\n"
                    "file map.dat\npress RESUME_MAP\nidle\nquit\n",
                o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t resumedAt = r.out.find("popup: Resume map: 2 of 3 positions are in the file; the map goes on at position 3.\n"
                                  "The partial block at its end (3 bytes) is cut off.");
    EXPECT_NE(resumedAt, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("popup: Reminder", resumedAt), std::string::npos);
    MapBlocks b = session_blocks(dir + "/map.dat");
    EXPECT_EQ(b.stop, MAPREAD_END) << b.why;
    ASSERT_EQ(b.blocks.size(), 3u);
    EXPECT_EQ(app_read_text(dir + "/map.dat").substr(0, data.size()), std::string(data.begin(), data.end()));
    EXPECT_EQ(b.blocks[2].hdr.index, 3);
    EXPECT_EQ(b.blocks[2].hdr.xReq, kPos[2][0]);
    EXPECT_EQ(b.blocks[2].hdr.offRef, -2.5e-13f);
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(b.blocks[2].rec[i].refCur, recs[i].refCur);
        EXPECT_EQ(b.blocks[2].rec[i].refQe, recs[i].refQe);
    }
    MapRecordDoc after = session_record(dir);
    EXPECT_EQ(after.state, "finished");
    ASSERT_EQ(after.blocks.size(), 3u);
    EXPECT_EQ(after.blocks[2].index, 3);

    // The question before replacing, asked twice: kept once, replaced once; never for an empty file.
    const std::string finished = app_read_text(dir + "/map.dat");
    r = app_run(std::string("idle\n") + kTable + "set DARK_WAIT 0\nset POINT_WAIT 0.2\n"
                    "dump-controls before.txt\nfile map.dat\nanswer cancel\npress MAP_SCAN\nidle\n"
                    "dump-controls kept.txt\ncell 1 3 0\ncell 2 3 0\n"
                    "file map.dat\nanswer ok\npress MAP_SCAN\nidle\n"
                    "file empty.dat\npress MAP_SCAN\nidle\nfile notes.dat\npress MAP_SCAN\nidle\nquit\n",
                o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string q = "popup: Map scan: map.dat holds 3 measured positions. Replace it?\n"
                          "Resume it instead with Resume map\xe2\x80\xa6\nanswer: ";
    size_t q1 = r.out.find(q + "cancel\n");
    EXPECT_NE(q1, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(q + "ok\n", q1), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("empty.dat holds"), std::string::npos);
    EXPECT_EQ(r.out.find("notes.dat holds"), std::string::npos);
    // Cancelled: no scan ran.
    before = app_controls(dir + "/before.txt");
    auto kept = app_controls(dir + "/kept.txt");
    for (const char *c : {"POS_X", "POS_Y", "POSITION_INDEX", "GRAPH_QE"}) EXPECT_EQ(kept[c], before[c]) << c;
    // After the replacement the file holds the one position the table then lists.
    b = session_blocks(dir + "/map.dat");
    EXPECT_EQ(b.stop, MAPREAD_END);
    ASSERT_EQ(b.blocks.size(), 1u);
    EXPECT_EQ(b.blocks[0].hdr.index, 1);
    EXPECT_EQ(session_blocks(dir + "/empty.dat").blocks.size(), 1u);
    EXPECT_EQ(session_blocks(dir + "/notes.dat").blocks.size(), 1u);
}
