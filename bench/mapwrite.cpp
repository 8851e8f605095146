// Cost of durable map blocks: the wall time to encode, write and sync one block of 61 and of 1000
// points into a file in the working directory (the disk a map goes to), against the least time
// the measurement of one position takes with the panel's defaults (its fixed pauses and waits
// only; stage moves and instrument replies come on top). The durability must cost under 0.1 % of
// the map.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/panel/userint.h"
#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "formats/mapwrite.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

namespace {
constexpr int kBlocks = 40;         // blocks written per size
constexpr double kTarget = 0.001;   // at most 0.1 % of the position's time
// Fixed pauses of one reading (s): 0.05 before "X", 0.1 after it, 0.05 before "++read eoi"; of a
// monochromator move: 0.05 before its line.
constexpr double kReading = 0.05 + 0.1 + 0.05;
constexpr double kMove = 0.05;
constexpr int kDarkReadings = 10, kPointReadings = 3;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int noTimer(int, int, int, void *, int, int) { return 0; }
}  // namespace

int main(int argc, char **argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!InitCVIRTEEx(nullptr, argv, nullptr)) return 1;
    RegisterCallback("cb_timer", noTimer);
    const char *file = argc > 1 ? argv[1] : "vrim_ui.uir";
    int p = LoadPanel(0, file, PANEL);
    if (p < 0) {
        fprintf(stderr, "bench_mapwrite: cannot load %s\n", file);
        return 1;
    }
    double darkMin = 0, pointS = 0;  // minutes, seconds
    GetCtrlVal(p, DARK_WAIT, &darkMin);
    GetCtrlVal(p, POINT_WAIT, &pointS);
    DiscardPanel(p);
    printf("panel defaults: DARK_WAIT %.2f min, POINT_WAIT %.2f s\n", darkMin, pointS);

    bool ok = true;
    char path[] = "bench-mapwrite-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("bench_mapwrite: temporary file");
        return 1;
    }
    close(fd);
    for (int n : {61, 1000}) {
        std::vector<MapRecord> rec(n, MapRecord{5000, -1.2e-9f, -3.4e-10f, 0.41f, 0.12f});
        std::vector<unsigned char> buf;
        MapWriter w;
        if (mapwrite_open(&w, path, -1) != 0) {
            perror("bench_mapwrite: open");
            ok = false;
            break;
        }
        double t0 = now();
        for (int k = 0; k < kBlocks; k++) {
            MapHeader h{};
            h.index = k + 1;
            mapfile_encode_block(h, rec.data(), n, &buf);
            if (mapwrite_block(&w, buf.data(), buf.size(), nullptr) != 0) {
                perror("bench_mapwrite: write");
                ok = false;
                break;
            }
        }
        double perBlock = (now() - t0) / kBlocks;  // s
        mapwrite_close(&w);
        // The record beside the map is rewritten (atomically, synced) after every block as well.
        MapRecordDoc d;
        d.state = "running";
        for (int k = 0; k < 121; k++) d.positions.push_back({130000 + 1000 * k, 115000});
        std::string err;
        t0 = now();
        for (int k = 0; k < kBlocks; k++) {
            MapRecordBlock b;
            b.index = k + 1;
            d.blocks.push_back(b);
            if (maprecord_write(path, d, &err) != 0) {
                fprintf(stderr, "bench_mapwrite: %s\n", err.c_str());
                ok = false;
                break;
            }
        }
        double perRecord = (now() - t0) / kBlocks;  // s
        unlink(maprecord_path(path).c_str());
        perBlock += perRecord;
        double position = darkMin * 60 + kDarkReadings * kReading + n * (pointS + kMove + kPointReadings * kReading);
        double ratio = perBlock / position;
        printf("%4d points (%6d bytes): block and record written and synced in %.3f ms (record %.3f ms); "
               "one position at least %.1f s; ratio %.2e (%.5f %%)\n",
               n, (int)buf.size(), perBlock * 1e3, perRecord * 1e3, position, ratio, ratio * 100);
        if (!(ratio < kTarget)) ok = false;
    }
    unlink(path);
    printf("target < %.1f %% of the map: %s\n", kTarget * 100, ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
