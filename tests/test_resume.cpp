// Whether a map file, its record and the map the program would run now belong together, and
// where a resumed map goes on.
#include <gtest/gtest.h>

#include "formats/mapresume.h"

namespace {

const std::vector<std::array<int, 2>> kPos = {{205000, 190000}, {215000, 190000}, {225000, 190000}, {235000, 190000}};
const std::string kSha(64, 'b');

// A file of the first `blocks` positions of kPos, n points each, and the record that lists them.
void make(int blocks, int n, MapBlocks *file, MapRecordDoc *rec) {
    std::vector<unsigned char> data, one;
    std::vector<MapRecord> r(n, MapRecord{5000, 1e-9f, 2e-9f, 0.4f, 0.3f});
    *rec = MapRecordDoc{};
    rec->state = "running";
    rec->refSha256 = kSha;
    rec->refTable = "refqe.txt";
    rec->positions = kPos;
    for (int k = 0; k < blocks; k++) {
        MapHeader h{};
        h.index = k + 1;
        h.xReq = h.xRead = kPos[k][0];
        h.yReq = h.yRead = kPos[k][1];
        mapfile_encode_block(h, r.data(), n, &one);
        data.insert(data.end(), one.begin(), one.end());
        MapRecordBlock b;
        b.index = k + 1;
        b.requested = kPos[k];
        rec->blocks.push_back(b);
    }
    mapfile_read_blocks(data.data(), data.size(), file);
}

}  // namespace

TEST(Resume, GoesOnAfterTheLastWholeBlock) {
    MapBlocks f;
    MapRecordDoc rec;
    ResumePlan plan;
    std::string why;
    make(2, 5, &f, &rec);
    ASSERT_TRUE(resume_check(f, &rec, kPos, kSha, 5, &plan, &why)) << why;
    EXPECT_EQ(plan.next, 3);
    EXPECT_EQ(plan.keepBytes, 2u * 140);
    EXPECT_FALSE(plan.adopted);
    EXPECT_EQ(plan.message, "2 of 4 positions are in the file; the map goes on at position 3.");
    // An empty file of a map interrupted in its first position goes on at position 1.
    make(0, 5, &f, &rec);
    ASSERT_TRUE(resume_check(f, &rec, kPos, kSha, 5, &plan, &why)) << why;
    EXPECT_EQ(plan.next, 1);
    // Killed between a block and its record: the block is taken in, flagged as of unknown faults.
    make(3, 5, &f, &rec);
    rec.blocks.pop_back();
    ASSERT_TRUE(resume_check(f, &rec, kPos, kSha, 5, &plan, &why)) << why;
    EXPECT_TRUE(plan.adopted);
    EXPECT_EQ(plan.next, 4);
    ASSERT_EQ(rec.blocks.size(), 3u);
    EXPECT_EQ(rec.blocks[2].index, 3);
    EXPECT_EQ(rec.blocks[2].faults, 1);
}

TEST(Resume, RefusedWhenTheyDoNotBelongTogether) {
    MapBlocks f;
    MapRecordDoc rec;
    ResumePlan plan;
    std::string why;
    auto refused = [&](const std::vector<std::array<int, 2>> &pos, const std::string &sha, int n, const char *says) {
        size_t listed = rec.blocks.size();
        EXPECT_FALSE(resume_check(f, &rec, pos, sha, n, &plan, &why)) << says;
        EXPECT_NE(why.find(says), std::string::npos) << why;
        EXPECT_EQ(rec.blocks.size(), listed);
    };
    make(2, 5, &f, &rec);
    auto moved = kPos;
    moved[2][0] += 1;
    refused(moved, kSha, 5, "Position 3 differs");
    refused({kPos[0], kPos[1], kPos[2]}, kSha, 5, "the POSITIONS table gives 3");
    refused(kPos, std::string(64, 'c'), 5, "SHA-256 differs");
    refused(kPos, kSha, 6, "holds 5 points");
    // Two blocks the record does not list, or one that is not the next position's.
    make(3, 5, &f, &rec);
    rec.blocks.resize(1);
    refused(kPos, kSha, 5, "its record lists only 1");
    make(2, 5, &f, &rec);
    rec.blocks[1].index = 7;
    refused(kPos, kSha, 5, "is not the block 2 of its record");
    make(1, 5, &f, &rec);
    rec.blocks.push_back(rec.blocks[0]);
    refused(kPos, kSha, 5, "the file holds only 1 whole blocks");
    make(4, 5, &f, &rec);
    refused(kPos, kSha, 5, "nothing to resume");
}
