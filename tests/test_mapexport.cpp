// The map tool's exports read back equal to the binary file, float for float: the CSV by parsing
// its text, the HDF5 through the library itself; and the tool refuses a damaged file with the
// block and byte offset named.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/app_run.h"
#include "formats/mapdata.h"
#include "formats/hdf5/maph5.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"

namespace {

// A map of np positions × n points with values that need every bit of a float.
std::vector<MapBlock> synthetic_map(int np, int n) {
    std::vector<MapBlock> v;
    for (int b = 0; b < np; b++) {
        MapBlock mb{};
        mb.hdr.version = 3;
        mb.hdr.index = b + 1;
        mb.hdr.xReq = 10000 * (b % 4);
        mb.hdr.yReq = -5000 * (b / 4);
        mb.hdr.xRead = mb.hdr.xReq + (b % 3) - 1;
        mb.hdr.yRead = mb.hdr.yReq;
        mb.hdr.offRef = 1.25e-13f;
        mb.hdr.offPos = -3.7e-12f * (b + 1);
        mb.hdr.time = 1765000000 + 61 * b;
        for (int i = 0; i < n; i++) {
            MapRecord r;
            r.wl = 4000.0f + 50.0f * i;
            r.refCur = 1.0f / 3.0f * 1e-9f * (i + 1);
            r.sampleCur = std::nextafter(2.0e-10f * (b + 1) / (i + 7), 1.0f);
            r.refQe = 0.1f + i / 97.0f;
            r.sampleQe = (b == 2 && i == 1) ? NAN : 0.3f * (b + 1) / (float)(i + 3);
            mb.rec.push_back(r);
        }
        mb.hdr.length = mapfile_block_length(n);
        v.push_back(mb);
    }
    return v;
}

bool same_float(float a, float b) { return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, 4) == 0; }

std::string temp_path(const char *suffix) {
    char tmpl[] = "/tmp/vrim-mapexport-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    unlink(tmpl);
    return std::string(tmpl) + suffix;
}

std::vector<float> read_f32(hid_t file, const char *name, std::vector<hsize_t> *dims) {
    hid_t ds = H5Dopen2(file, name, H5P_DEFAULT);
    EXPECT_GE(ds, 0) << name;
    hid_t sp = H5Dget_space(ds);
    int rank = H5Sget_simple_extent_ndims(sp);
    dims->assign((size_t)rank, 0);
    H5Sget_simple_extent_dims(sp, dims->data(), nullptr);
    hsize_t count = 1;
    for (hsize_t d : *dims) count *= d;
    std::vector<float> v(count);
    EXPECT_GE(H5Dread(ds, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()), 0) << name;
    H5Sclose(sp);
    H5Dclose(ds);
    return v;
}

std::string units_of(hid_t file, const char *name) {
    hid_t ds = H5Dopen2(file, name, H5P_DEFAULT);
    hid_t a = H5Aopen(ds, "units", H5P_DEFAULT);
    hid_t t = H5Aget_type(a);
    std::string s(H5Tget_size(t), '\0');
    H5Aread(a, t, s.data());
    H5Tclose(t);
    H5Aclose(a);
    H5Dclose(ds);
    return std::string(s.c_str());
}

}  // namespace

TEST(MapExport, CsvReadsBackFloatForFloat) {
    std::vector<MapBlock> map = synthetic_map(5, 7);
    std::string path = temp_path(".csv");
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    ASSERT_EQ(mapcsv_write(f, map), 0);
    fclose(f);
    std::vector<std::string> lines = app_lines(app_read_text(path));
    ASSERT_EQ(lines.size(), 1u + 5 * 7);
    EXPECT_EQ(lines[0], "index,x_requested,y_requested,x_read_back,y_read_back,time,wavelength_nm,"
                        "reference_current_A,sample_current_A,reference_qe,sample_qe");
    size_t row = 1;
    for (const MapBlock &b : map)
        for (const MapRecord &r : b.rec) {
            int idx, xq, yq, xr, yr;
            long long t;
            double wlnm;
            char rc[40], sc[40], rq[40], sq[40];
            ASSERT_EQ(sscanf(lines[row].c_str(), "%d,%d,%d,%d,%d,%lld,%lf,%39[^,],%39[^,],%39[^,],%39s", &idx, &xq, &yq,
                             &xr, &yr, &t, &wlnm, rc, sc, rq, sq), 11)
                << lines[row];
            EXPECT_EQ(idx, b.hdr.index);
            EXPECT_EQ(xq, b.hdr.xReq);
            EXPECT_EQ(yq, b.hdr.yReq);
            EXPECT_EQ(xr, b.hdr.xRead);
            EXPECT_EQ(yr, b.hdr.yRead);
            EXPECT_EQ(t, b.hdr.time);
            EXPECT_EQ((float)(wlnm * 10.0), r.wl);
            EXPECT_TRUE(same_float(strtof(rc, nullptr), r.refCur)) << rc;
            EXPECT_TRUE(same_float(strtof(sc, nullptr), r.sampleCur)) << sc;
            EXPECT_TRUE(same_float(strtof(rq, nullptr), r.refQe)) << rq;
            EXPECT_TRUE(same_float(strtof(sq, nullptr), r.sampleQe)) << sq;
            row++;
        }
    unlink(path.c_str());
}

TEST(MapExport, Hdf5ReadsBackWithUnitsAndRecord) {
    std::vector<MapBlock> map = synthetic_map(6, 9);
    map[4].rec.pop_back();  // a shorter block leaves NaN at the end of its row
    MapRecordDoc rec;
    rec.version = "test";
    rec.state = "finished";
    rec.settings = {{"DARK_WAIT", 0.5}, {"POINT_WAIT", 2}};
    rec.refTable = "refqe.txt";
    rec.refPoints = 9;
    MapRecordBlock rb;
    rb.index = 3;
    rb.faults = 2;
    rb.faultText = {"monochromator did not answer", "electrometer reading is not a number"};
    rec.blocks.push_back(rb);
    std::string json = maprecord_encode(rec);
    std::string path = temp_path(".h5");
    std::string err;
    ASSERT_EQ(maph5_write(path.c_str(), map, &rec, &json, &err), 0) << err;

    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    std::vector<hsize_t> dims;
    std::vector<float> qe = read_f32(file, "sample_qe", &dims);
    ASSERT_EQ(dims, (std::vector<hsize_t>{6, 9}));
    std::vector<float> cur = read_f32(file, "sample_current_A", &dims);
    std::vector<float> rqe = read_f32(file, "reference_qe", &dims);
    ASSERT_EQ(dims, (std::vector<hsize_t>{9}));
    std::vector<float> rcur = read_f32(file, "reference_current_A", &dims);
    std::vector<float> off = read_f32(file, "dark_offset_A", &dims);
    for (size_t b = 0; b < map.size(); b++) {
        for (size_t i = 0; i < 9; i++) {
            if (i >= map[b].rec.size()) {
                EXPECT_TRUE(std::isnan(qe[b * 9 + i]));
                continue;
            }
            EXPECT_TRUE(same_float(qe[b * 9 + i], map[b].rec[i].sampleQe)) << b << " " << i;
            EXPECT_TRUE(same_float(cur[b * 9 + i], map[b].rec[i].sampleCur)) << b << " " << i;
        }
        EXPECT_TRUE(same_float(off[b], map[b].hdr.offPos));
    }
    for (size_t i = 0; i < 9; i++) {
        EXPECT_TRUE(same_float(rqe[i], map[0].rec[i].refQe));
        EXPECT_TRUE(same_float(rcur[i], map[0].rec[i].refCur));
    }
    // Positions and times as integers, wavelengths in nm.
    hid_t ds = H5Dopen2(file, "position_read_back", H5P_DEFAULT);
    std::vector<int32_t> rb2(12);
    H5Dread(ds, H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, rb2.data());
    H5Dclose(ds);
    EXPECT_EQ(rb2[2 * 5], map[5].hdr.xRead);
    EXPECT_EQ(rb2[2 * 5 + 1], map[5].hdr.yRead);
    ds = H5Dopen2(file, "wavelength_nm", H5P_DEFAULT);
    std::vector<double> wl(9);
    H5Dread(ds, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, wl.data());
    H5Dclose(ds);
    EXPECT_DOUBLE_EQ(wl[3], 415.0);
    EXPECT_EQ(units_of(file, "sample_current_A"), "A");
    EXPECT_EQ(units_of(file, "position_requested"), "microsteps");
    EXPECT_EQ(units_of(file, "wavelength_nm"), "nm");
    // The record's faults land on the block of position index 3 (the third block).
    hid_t a = H5Aopen(file, "faults", H5P_DEFAULT);
    std::vector<int32_t> faults(6);
    H5Aread(a, H5T_NATIVE_INT32, faults.data());
    H5Aclose(a);
    EXPECT_EQ(faults, (std::vector<int32_t>{0, 0, 2, 0, 0, 0}));
    a = H5Aopen(file, "settings.DARK_WAIT", H5P_DEFAULT);
    double dw = 0;
    H5Aread(a, H5T_NATIVE_DOUBLE, &dw);
    H5Aclose(a);
    EXPECT_EQ(dw, 0.5);
    H5Fclose(file);
    unlink(path.c_str());
}

// The tool on a cut file: exit 1, the block and byte offset named, nothing written.
// The map tool is built with the panel layer; a build without it has no tool to run.
#define REQUIRE_TOOL()                                                         \
    if (access((app_bin_dir() + "/vrim-map").c_str(), X_OK) != 0) GTEST_SKIP() << "no vrim-map in this build"

TEST(MapExport, ToolRefusesDamagedFile) {
    REQUIRE_TOOL();
    std::vector<MapBlock> map = synthetic_map(3, 4);
    std::vector<unsigned char> bytes, one;
    for (const MapBlock &b : map) {
        mapfile_encode_block(b.hdr, b.rec.data(), (int)b.rec.size(), &one);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.resize(bytes.size() - 10);
    std::string dat = temp_path(".dat"), out = temp_path(".csv");
    app_write_text(dat, std::string(bytes.begin(), bytes.end()));
    std::string cmd = app_bin_dir() + "/vrim-map csv " + dat + " -o " + out + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    char buf[512] = {0};
    std::string text;
    while (fgets(buf, sizeof buf, p)) text += buf;
    int st = pclose(p);
    EXPECT_EQ(WEXITSTATUS(st), 1) << text;
    EXPECT_NE(text.find("block 3 at byte 240"), std::string::npos) << text;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    unlink(dat.c_str());
}

// The tool's commands end to end on a whole file: stats at the nearest wavelength, the picture,
// the CSV on standard output, help, and a wrong option.
TEST(MapExport, ToolCommands) {
    REQUIRE_TOOL();
    std::vector<MapBlock> map = synthetic_map(4, 3);  // wavelengths 400.0, 405.0, 410.0 nm
    std::vector<unsigned char> bytes, one;
    for (const MapBlock &b : map) {
        mapfile_encode_block(b.hdr, b.rec.data(), (int)b.rec.size(), &one);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    std::string dat = temp_path(".dat"), png = temp_path(".png");
    app_write_text(dat, std::string(bytes.begin(), bytes.end()));
    auto tool = [&](const std::string &args, int *status) {
        FILE *p = popen((app_bin_dir() + "/vrim-map " + args + " 2>&1").c_str(), "r");
        std::string text;
        char buf[512];
        while (p && fgets(buf, sizeof buf, p)) text += buf;
        *status = p ? WEXITSTATUS(pclose(p)) : -1;
        return text;
    };
    int st;
    std::string out = tool("stats " + dat + " --wavelength 404", &st);
    EXPECT_EQ(st, 0) << out;
    EXPECT_NE(out.find("wavelength: 405.0 nm"), std::string::npos) << out;
    // Sample QE at point 1: 0.3 (b + 1) / 4 for b = 0, 1, 3 (block 2 is NaN there): 0.075, 0.15, 0.3.
    EXPECT_NE(out.find("with a value: 3"), std::string::npos) << out;
    EXPECT_NE(out.find("mean: 0.175"), std::string::npos) << out;
    EXPECT_NE(out.find("(max-min)/mean: 1.28571"), std::string::npos) << out;
    out = tool("png " + dat + " --wavelength 400 -o " + png, &st);
    EXPECT_EQ(st, 0) << out;
    EXPECT_GT(app_read_text(png).size(), 1000u);
    out = tool("csv " + dat, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(app_lines(out).size(), 1u + 4 * 3);
    out = tool("hdf5 --help", &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(out.find("position_read_back"), std::string::npos);
    tool("png " + dat + " --colour red -o " + png, &st);
    EXPECT_EQ(st, 2);
    unlink(dat.c_str());
    unlink(png.c_str());
}
