// Cost of the map view and the HDF5 export: one block added to the live view of a map of 1,000
// positions (drawn), a file of 1,000 positions × 1,000 points opened in the view (read, decoded,
// drawn), and that map written as HDF5. Printed per operation, median of a few runs.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/panel/mapview.h"
#ifdef VRIM_HAVE_HDF5
#include "formats/hdf5/maph5.h"
#endif
#include "formats/mapfile.h"

namespace {

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

MapBlock block_at(int k, int points) {
    MapBlock b{};
    b.hdr.version = 3;
    b.hdr.index = k + 1;
    b.hdr.xReq = b.hdr.xRead = 10000 * (k % 40);
    b.hdr.yReq = b.hdr.yRead = 10000 * (k / 40);
    b.hdr.time = 1765000000 + k;
    b.rec.resize((size_t)points);
    for (int i = 0; i < points; i++) {
        MapRecord &r = b.rec[(size_t)i];
        r.wl = 2000.0f + 10.0f * i;
        r.refCur = 1e-9f;
        r.sampleCur = 1e-10f * (1.0f + 0.1f * std::sin(k * 0.1f + i * 0.01f));
        r.refQe = 0.2f;
        r.sampleQe = 0.5f + 0.2f * std::sin(k * 0.07f) * std::cos(i * 0.003f);
    }
    return b;
}

template <class F>
double median_ms(int runs, F f) {
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        t.push_back(ms_since(t0));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int kPositions = 1000, kPoints = 1000;

    // Live view: the map grows to 999 positions, then each added block is timed with its redraw.
    {
        MapView view;
        view.resize(900, 560);
        view.show();
        for (int k = 0; k < kPositions - 1; k++) view.addBlock(block_at(k, 61), 0);
        QCoreApplication::processEvents();
        MapBlock last = block_at(kPositions - 1, 61);
        double ms = median_ms(7, [&] {
            view.addBlock(last, 0);
            QCoreApplication::processEvents();  // the queued redraw
        });
        printf("add one block to the view of a %d-position map and draw it: %.2f ms per block (target < 5 ms)\n",
               kPositions, ms);
    }

    // A file of 1,000 × 1,000 opened in the view.
    std::string path = "/tmp/bench-mapview.dat";
    {
        FILE *f = fopen(path.c_str(), "wb");
        if (!f) return 1;
        std::vector<unsigned char> bytes;
        for (int k = 0; k < kPositions; k++) {
            MapBlock b = block_at(k, kPoints);
            mapfile_encode_block(b.hdr, b.rec.data(), kPoints, &bytes);
            fwrite(bytes.data(), 1, bytes.size(), f);
        }
        fclose(f);
    }
    MapBlocks file;
    {
        MapView view;
        view.resize(900, 560);
        view.show();
        double ms = median_ms(3, [&] {
            mapfile_load(path.c_str(), &file);
            view.setMap(file.blocks, nullptr);
            QCoreApplication::processEvents();
        });
        printf("open a file of %d positions x %d points in the view (read, decode, draw): %.1f ms (target < 300 ms)\n",
               kPositions, kPoints, ms);
    }
#ifdef VRIM_HAVE_HDF5
    {
        std::string err;
        std::string h5 = "/tmp/bench-mapview.h5";
        double ms = median_ms(3, [&] { maph5_write(h5.c_str(), file.blocks, nullptr, nullptr, &err); });
        printf("write it as HDF5: %.1f ms (target < 2000 ms)\n", ms);
        remove(h5.c_str());
    }
#endif
    remove(path.c_str());
    return 0;
}
