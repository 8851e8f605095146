// HDF5 export of a map file.
#include "formats/hdf5/maph5.h"

#include "formats/mapdata.h"

#include <hdf5.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Closes an HDF5 identifier when it goes out of scope.
struct H5Id {
    hid_t id = -1;
    herr_t (*close)(hid_t) = nullptr;
    H5Id(hid_t i, herr_t (*c)(hid_t)) : id(i), close(c) {}
    ~H5Id() {
        if (id >= 0 && close) close(id);
    }
    H5Id(const H5Id &) = delete;
    H5Id &operator=(const H5Id &) = delete;
    bool ok() const { return id >= 0; }
};

bool put_string_attr(hid_t obj, const char *name, const std::string &value) {
    H5Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!type.ok()) return false;
    H5Tset_size(type.id, value.empty() ? 1 : value.size());
    H5Tset_strpad(type.id, H5T_STR_NULLTERM);
    H5Id space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Id attr(H5Acreate2(obj, name, type.id, space.id, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    if (!attr.ok()) return false;
    const char *text = value.empty() ? "" : value.c_str();
    return H5Awrite(attr.id, type.id, text) >= 0;
}

bool put_num_attr(hid_t obj, const char *name, hid_t fileType, hid_t memType, const void *v, hsize_t n) {
    H5Id space(n == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr), H5Sclose);
    H5Id attr(H5Acreate2(obj, name, fileType, space.id, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    if (!attr.ok()) return false;
    return H5Awrite(attr.id, memType, v) >= 0;
}

// A dataset of rank 1 or 2 with its units.
bool put_dataset(hid_t file, const char *name, int rank, const hsize_t *dims, hid_t fileType,
                 hid_t memType, const void *data, const char *units) {
    H5Id space(H5Screate_simple(rank, dims, nullptr), H5Sclose);
    if (!space.ok()) return false;
    H5Id ds(H5Dcreate2(file, name, fileType, space.id, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Dclose);
    if (!ds.ok()) return false;
    if (H5Dwrite(ds.id, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, data) < 0) return false;
    return put_string_attr(ds.id, "units", units);
}

}  // namespace

int maph5_write(const char *path, const std::vector<MapBlock> &blocks, const MapRecordDoc *rec,
                const std::string *recordJson, std::string *err) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are reported here, once
    auto fail = [&](const char *what) {
        if (err) *err = std::string("cannot write ") + path + ": " + what;
        return -1;
    };
    hsize_t np = blocks.size();
    hsize_t n = blocks.empty() ? 0 : blocks.front().rec.size();

    std::vector<double> wlnm(n);
    std::vector<float> refQe(n), refCur(n);
    for (hsize_t i = 0; i < n; i++) {
        const MapRecord &r = blocks.front().rec[i];
        wlnm[i] = r.wl / 10.0;
        refQe[i] = r.refQe;
        refCur[i] = r.refCur;
    }
    std::vector<float> qe(np * n, NAN), cur(np * n, NAN), off(np);
    std::vector<int32_t> index(np), req(np * 2), read(np * 2);
    std::vector<int64_t> t(np);
    for (hsize_t b = 0; b < np; b++) {
        const MapBlock &mb = blocks[b];
        for (hsize_t i = 0; i < n && i < mb.rec.size(); i++) {
            qe[b * n + i] = mb.rec[i].sampleQe;
            cur[b * n + i] = mb.rec[i].sampleCur;
        }
        index[b] = mb.hdr.index;
        req[2 * b] = mb.hdr.xReq;
        req[2 * b + 1] = mb.hdr.yReq;
        read[2 * b] = mb.hdr.xRead;
        read[2 * b + 1] = mb.hdr.yRead;
        off[b] = mb.hdr.offPos;
        t[b] = mb.hdr.time;
    }

    bool ok;
    {
        H5Id file(H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
        if (!file.ok()) return fail("the file cannot be created");
        hsize_t d1[1] = {n}, dp[1] = {np}, d2[2] = {np, n}, dxy[2] = {np, 2};
        ok = put_dataset(file.id, "wavelength_nm", 1, d1, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, wlnm.data(), "nm") &&
             put_dataset(file.id, "sample_qe", 2, d2, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, qe.data(), "1") &&
             put_dataset(file.id, "sample_current_A", 2, d2, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, cur.data(), "A") &&
             put_dataset(file.id, "reference_qe", 1, d1, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, refQe.data(), "1") &&
             put_dataset(file.id, "reference_current_A", 1, d1, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, refCur.data(), "A") &&
             put_dataset(file.id, "position_index", 1, dp, H5T_STD_I32LE, H5T_NATIVE_INT32, index.data(), "1") &&
             put_dataset(file.id, "position_requested", 2, dxy, H5T_STD_I32LE, H5T_NATIVE_INT32, req.data(), "microsteps") &&
             put_dataset(file.id, "position_read_back", 2, dxy, H5T_STD_I32LE, H5T_NATIVE_INT32, read.data(), "microsteps") &&
             put_dataset(file.id, "dark_offset_A", 1, dp, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, off.data(), "A") &&
             put_dataset(file.id, "time", 1, dp, H5T_STD_I64LE, H5T_NATIVE_INT64, t.data(), "s since 1970-01-01T00:00:00Z");
        if (ok && np > 0) {
            float offRef = blocks.front().hdr.offRef;
            ok = put_num_attr(file.id, "reference_dark_offset_A", H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, &offRef, 0);
        }
        if (ok && rec) {
            ok = put_string_attr(file.id, "program", rec->program) && put_string_attr(file.id, "version", rec->version) &&
                 put_string_attr(file.id, "started", rec->started) && put_string_attr(file.id, "updated", rec->updated) &&
                 put_string_attr(file.id, "state", rec->state);
            for (const auto &kv : rec->settings) {
                if (!ok) break;
                std::string name = "settings." + kv.first;
                ok = put_num_attr(file.id, name.c_str(), H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &kv.second, 0);
            }
            int32_t pts = rec->refPoints;
            ok = ok && put_string_attr(file.id, "reference.table", rec->refTable) &&
                 put_string_attr(file.id, "reference.sha256", rec->refSha256) &&
                 put_num_attr(file.id, "reference.points", H5T_STD_I32LE, H5T_NATIVE_INT32, &pts, 0) &&
                 put_string_attr(file.id, "reference.scanned", rec->refScanned);
            // Faults per block, matched as the view matches them.
            std::vector<int32_t> faults(np, 0);
            std::string text;
            std::vector<int> m = maprecord_match(blocks, *rec);
            for (hsize_t b = 0; b < np; b++) {
                if (m[b] < 0) continue;
                const MapRecordBlock &rb = rec->blocks[(size_t)m[b]];
                faults[b] = rb.faults;
                for (const std::string &t : rb.faultText) text += "index " + std::to_string(rb.index) + ": " + t + "\n";
            }
            if (ok && np > 0) ok = put_num_attr(file.id, "faults", H5T_STD_I32LE, H5T_NATIVE_INT32, faults.data(), np);
            ok = ok && put_string_attr(file.id, "fault_text", text);
            if (ok && recordJson) ok = put_string_attr(file.id, "record", *recordJson);
        }
        if (ok && H5Fflush(file.id, H5F_SCOPE_LOCAL) < 0) ok = false;
    }
    if (!ok) {
        remove(path);
        return fail("an HDF5 write failed");
    }
    return 0;
}
