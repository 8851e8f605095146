// The record beside a map file: JSON round trip, refusal of what is not a record, the atomic
// rewrite, and the table checksum a resumed map is matched by.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>

#include "formats/maprecord.h"

namespace fs = std::filesystem;

TEST(MapRecord, RoundTripAndRefusals) {
    MapRecordDoc d;
    d.version = "1.2.0";
    d.started = "2026-12-10T10:00:00+01:00";
    d.updated = "2026-12-10T10:05:00+01:00";
    d.state = "running";
    d.settings = {{"DARK_WAIT", 1.5}, {"NREF", 61}};
    d.refTable = "refqe.txt";
    d.refSha256 = std::string(64, 'a');
    d.refPoints = 61;
    d.positions = {{30000, 124000}, {-5, 7}};
    MapRecordBlock b;
    b.index = 1;
    b.requested = {30000, 124000};
    b.readBack = {30001, 124000};
    b.faults = 2;
    b.faultText = {"monochromator: set wavelength: no answer", "caf\xc3\xa9"};
    d.blocks.push_back(b);

    std::string text = maprecord_encode(d);
    EXPECT_LT(text.find("\"program\""), text.find("\"blocks\""));
    EXPECT_NE(text.find("\"read_back\""), std::string::npos);
    EXPECT_NE(text.find("\"fault_text\""), std::string::npos);
    MapRecordDoc e;
    std::string err;
    ASSERT_TRUE(maprecord_decode(text, &e, &err)) << err;
    EXPECT_EQ(e.state, "running");
    ASSERT_EQ(e.settings.size(), 2u);
    EXPECT_EQ(e.settings[0].first, "DARK_WAIT");
    EXPECT_EQ(e.settings[0].second, 1.5);
    EXPECT_EQ(e.positions, d.positions);
    ASSERT_EQ(e.blocks.size(), 1u);
    EXPECT_EQ(e.blocks[0].readBack[0], 30001);
    EXPECT_EQ(e.blocks[0].faultText, b.faultText);

    // Invalid UTF-8 from an instrument's reply still gives a record that reads back.
    d.blocks[0].faultText = {"reply \xff\xfe"};
    ASSERT_TRUE(maprecord_decode(maprecord_encode(d), &e, &err)) << err;

    EXPECT_FALSE(maprecord_decode("{\"blocks\": [{\"index\": \"x\"}]}", &e, &err));
    EXPECT_FALSE(maprecord_decode("[1, 2]", &e, &err));
    EXPECT_FALSE(maprecord_decode("{\"positions\": [[1]]}", &e, &err));
    EXPECT_FALSE(maprecord_decode("{\"state\": ", &e, &err));
    EXPECT_FALSE(err.empty());
}

TEST(MapRecord, AtomicRewriteLeavesNoTemporaryAndKeepsTheOldOnFailure) {
    fs::path dir = fs::temp_directory_path() / ("vrim_maprecord_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string map = (dir / "map.dat").string();
    MapRecordDoc d;
    d.state = "running";
    std::string err;
    ASSERT_EQ(maprecord_write(map, d, &err), 0) << err;
    d.state = "finished";
    ASSERT_EQ(maprecord_write(map, d, &err), 0) << err;
    EXPECT_FALSE(fs::exists(map + ".json.tmp"));
    MapRecordDoc back;
    ASSERT_EQ(maprecord_read(map + ".json", &back, &err), 0) << err;
    EXPECT_EQ(back.state, "finished");

    // A folder in place of the temporary file makes the write fail; the record stays as it was.
    fs::create_directory(map + ".json.tmp");
    d.state = "stopped";
    EXPECT_EQ(maprecord_write(map, d, &err), -1);
    EXPECT_NE(err.find("map.dat.json.tmp"), std::string::npos) << err;
    ASSERT_EQ(maprecord_read(map + ".json", &back, &err), 0) << err;
    EXPECT_EQ(back.state, "finished");
    EXPECT_EQ(maprecord_read((dir / "none.json").string(), &back, &err), -1);
    fs::remove_all(dir);
}

TEST(MapRecord, Sha256KnownAnswers) {
    EXPECT_EQ(sha256_hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex((const unsigned char *)abc.data(), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks, the padding in the second.
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256_hex((const unsigned char *)two.data(), two.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    std::string path = (fs::temp_directory_path() / "vrim_sha_abc.txt").string();
    { std::ofstream(path) << "abc"; }
    std::string hex;
    ASSERT_EQ(sha256_file(path.c_str(), &hex), 0);
    EXPECT_EQ(hex, sha256_hex((const unsigned char *)abc.data(), 3));
    EXPECT_EQ(sha256_file("/nonexistent/x", &hex), -1);
    fs::remove(path);
    EXPECT_EQ(iso8601_local(0).size(), 25u);
}
