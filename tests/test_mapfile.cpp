// Binary measurement file: encoding against known bytes, decoding of every readable version and of
// damaged data, with no program run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/mapfile.h"

namespace {

std::vector<unsigned char> from_hex(const std::string &hex) {
    std::vector<unsigned char> v;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back((unsigned char)std::stoi(hex.substr(i, 2), nullptr, 16));
    return v;
}

void le32(std::vector<unsigned char> &v, uint32_t x) {
    for (int i = 0; i < 4; i++) v.push_back((unsigned char)(x >> (8 * i)));
}
void lef(std::vector<unsigned char> &v, float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    le32(v, u);
}

// A header of versions 1 or 2 (5 ints) or 3 (10 fields), then `n` records whose wavelength is
// 4000 + 100 i + frac, reference current (i + 1) nA, reference QE 0.25 + i/100.
std::vector<unsigned char> block(int version, int32_t length, int n, float frac = 0.0f) {
    std::vector<unsigned char> v;
    le32(v, version);
    le32(v, (uint32_t)length);
    le32(v, 7);
    le32(v, 1001);
    le32(v, 1002);
    if (version == 3) {
        le32(v, 1003);
        le32(v, 1004);
        lef(v, -2e-13f);
        lef(v, -3e-13f);
        le32(v, 1765000000);
    }
    for (int i = 0; i < n; i++) {
        lef(v, 4000.0f + 100.0f * i + frac);
        lef(v, 1e-9f * (i + 1));
        lef(v, 9.0f);  // sample current: not taken by the loader
        lef(v, 0.25f + i / 100.0f);
        lef(v, 8.0f);  // sample QE: not taken by the loader
    }
    return v;
}

MapFirstBlock b;  // large; one instance for all cases

}  // namespace

TEST(MapFileEncode, Version3BlockMatchesKnownBytes) {
    // Little-endian bytes of a two-point block, produced independently of this encoder.
    const std::vector<unsigned char> want = from_hex(
        "030000005000000005000000dafb0100b43efeffd0fb0100c83efeffccbc8caaffebaf2b245b3a69"
        "00007a458f28ce308f284e300000803e0000003e002080455f7089b03feda42f0000003f000080bd");
    MapHeader h{3, mapfile_block_length(2), 5, 130010, -115020, 130000, -115000, -2.5e-13f, 1.25e-12f, 1765432100};
    MapRecord r[2] = {{4000.0f, 1.5e-9f, 7.5e-10f, 0.25f, 0.125f}, {4100.0f, -1e-9f, 3e-10f, 0.5f, -0.0625f}};
    std::vector<unsigned char> got(MAPFILE_HEADER3_BYTES + 2 * MAPFILE_RECORD_BYTES);
    mapfile_put_header(got.data(), &h);
    mapfile_put_record(got.data() + 40, &r[0]);
    mapfile_put_record(got.data() + 60, &r[1]);
    EXPECT_EQ(got, want);
    EXPECT_EQ(mapfile_block_length(80), 1640);

    // And it reads back as written, the point count derived from the length.
    ASSERT_EQ(mapfile_decode_first(got.data(), got.size(), &b), MAPFILE_OK);
    EXPECT_EQ(b.hdr.index, 5);
    EXPECT_EQ(b.hdr.yRead, -115020);
    EXPECT_EQ(b.hdr.time, 1765432100);
    EXPECT_FLOAT_EQ(b.hdr.offPos, 1.25e-12f);
    EXPECT_EQ(b.taken, 2);
    EXPECT_EQ(b.rec[1].sampleQe, -0.0625f);
}

TEST(MapFileDecode, CountsStayWithinTheStore) {
    // Cut inside the header: 19 bytes of any version, 39 bytes of version 3.
    auto v3 = block(3, 40 + 4 * 20, 4);
    EXPECT_EQ(mapfile_decode_first(v3.data(), 19, &b), MAPFILE_CUT_HEADER);
    EXPECT_EQ(mapfile_decode_first(v3.data(), 39, &b), MAPFILE_CUT_HEADER);
    EXPECT_EQ(b.taken, 0);
    EXPECT_EQ(mapfile_decode_first(v3.data(), 0, &b), MAPFILE_CUT_HEADER);
    // An unknown version needs no more than its own field to be told apart.
    auto v9 = block(9, 40, 0);
    EXPECT_EQ(mapfile_decode_first(v9.data(), 4, &b), MAPFILE_BAD_VERSION);
    EXPECT_EQ(mapfile_decode_first(v9.data(), 12, &b), MAPFILE_BAD_VERSION);

    // Cut inside the third record: two whole records taken of four.
    ASSERT_EQ(mapfile_decode_first(v3.data(), 40 + 2 * 20 + 13, &b), MAPFILE_CUT_RECORDS);
    EXPECT_EQ(b.declared, 4);
    EXPECT_EQ(b.taken, 2);

    // A length below one header is no points, not a negative count.
    auto tiny = block(3, 8, 0);
    ASSERT_EQ(mapfile_decode_first(tiny.data(), tiny.size(), &b), MAPFILE_OK);
    EXPECT_EQ(b.declared, 0);
    MapHeader h = b.hdr;
    EXPECT_EQ(mapfile_declared_points(&h), -2);

    // A length read as unsigned and far beyond the store is bounded to the store's points.
    auto huge = block(2, -20, 1005);
    ASSERT_EQ(mapfile_decode_first(huge.data(), huge.size(), &b), MAPFILE_OK);
    h = b.hdr;
    EXPECT_EQ(mapfile_declared_points(&h), 4294967276LL / 20 - 1);
    EXPECT_EQ(b.declared, MAPFILE_MAX_POINTS);
    EXPECT_EQ(b.taken, MAPFILE_MAX_POINTS);
}

TEST(MapFileDecode, WavelengthTruncatedTowardZero) {
    EXPECT_EQ(mapfile_wavelength(4000.7f), 4000);
    EXPECT_EQ(mapfile_wavelength(4000.0f), 4000);
    EXPECT_EQ(mapfile_wavelength(-3.9f), -3);
    EXPECT_EQ(mapfile_wavelength(NAN), 0);
    EXPECT_EQ(mapfile_wavelength(3e9f), 0);
    EXPECT_EQ(mapfile_wavelength(-3e9f), 0);
}

// Whole files: every whole block is taken and the first damaged one is named with its offset, so a
// tool can say what the good blocks hold and where a cut goes.
TEST(MapFileBlocks, WholeBlocksThenTheDamageNamed) {
    std::vector<unsigned char> two;
    for (int k = 0; k < 2; k++) {
        auto b = block(3, 4 * (10 + 5 * 3), 3);
        two.insert(two.end(), b.begin(), b.end());
    }
    MapBlocks r;
    EXPECT_EQ(mapfile_read_blocks(two.data(), two.size(), &r), MAPREAD_END);
    ASSERT_EQ(r.blocks.size(), 2u);
    EXPECT_EQ(r.wholeBytes, two.size());
    EXPECT_EQ(r.blocks[1].offset, 100u);
    EXPECT_EQ(r.blocks[1].rec.size(), 3u);

    // Cut inside the second block's records, then inside its header, then an unknown version.
    auto cut = two;
    cut.resize(100 + 40 + 25);
    EXPECT_EQ(mapfile_read_blocks(cut.data(), cut.size(), &r), MAPREAD_CUT_RECORDS);
    EXPECT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.wholeBytes, 100u);
    EXPECT_EQ(r.stopOffset, 100u);
    EXPECT_NE(r.why.find("block 2 at byte 100"), std::string::npos) << r.why;
    cut.resize(100 + 12);
    EXPECT_EQ(mapfile_read_blocks(cut.data(), cut.size(), &r), MAPREAD_CUT_HEADER);
    EXPECT_EQ(r.wholeBytes, 100u);
    auto bad = two;
    bad[100] = 9;
    EXPECT_EQ(mapfile_read_blocks(bad.data(), bad.size(), &r), MAPREAD_BAD_VERSION);
    EXPECT_EQ(r.blocks.size(), 1u);
    bad[100] = 3;
    bad[104] = 8;  // length shorter than a header
    bad[105] = bad[106] = bad[107] = 0;
    EXPECT_EQ(mapfile_read_blocks(bad.data(), bad.size(), &r), MAPREAD_BAD_LENGTH);

    // Encoding a block gives the bytes the readers take back.
    MapRecord rec[2] = {{5000, 1e-9f, 2e-9f, 0.2f, 0.4f}, {5100, 1e-9f, 3e-9f, 0.2f, 0.6f}};
    MapHeader h{};
    h.index = 4;
    h.xReq = 100;
    std::vector<unsigned char> enc;
    mapfile_encode_block(h, rec, 2, &enc);
    ASSERT_EQ(enc.size(), (size_t)mapfile_block_length(2));
    EXPECT_EQ(mapfile_read_blocks(enc.data(), enc.size(), &r), MAPREAD_END);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].hdr.version, 3);
    EXPECT_EQ(r.blocks[0].hdr.index, 4);
    EXPECT_EQ(r.blocks[0].rec[1].sampleQe, 0.6f);
}
