// vrim-map COMMAND FILE ...: one tool for a binary map file.
//   info [-v] FILE                         summary of the file and its record (as vrim-mapinfo)
//   csv FILE [-o OUT]                      one row per position and wavelength (stdout without -o)
//   hdf5 FILE -o OUT.h5                    HDF5 datasets with units, the map's record as attributes
//   png FILE [--wavelength NM] -o OUT.png  the map view's picture (offscreen)
//   stats FILE [--wavelength NM]           uniformity figures of the positions with signal
// Exit 0 on success, 1 for a file that cannot be read or is damaged (the message names the block
// and byte offset), 2 for a wrong command line.
#include <QApplication>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/panel/mapview.h"
#include "formats/mapdata.h"
#ifdef VRIM_HAVE_HDF5
#include "formats/hdf5/maph5.h"
#endif
#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "formats/mapsummary.h"

namespace {

const char kUsage[] =
    "usage: vrim-map COMMAND FILE [options]\n"
    "  info [-v] FILE                 summary: version, points, blocks, positions, QE range, record\n"
    "  csv FILE [-o OUT]              CSV, one row per position and wavelength, with a header row\n"
    "  hdf5 FILE -o OUT.h5            HDF5 datasets with units; the map's record as attributes\n"
    "  png FILE [--wavelength NM] [--quantity Q] [--size WxH] -o OUT.png\n"
    "                                 picture of the map view at that wavelength\n"
    "  stats FILE [--wavelength NM] [--quantity Q]\n"
    "                                 uniformity over the positions with signal\n"
    "Q is qe (default), current or responsivity; NM defaults to 650 (the nearest of the map's).\n"
    "vrim-map COMMAND --help says more about one command.\n";

const char *commandHelp(const std::string &c) {
    if (c == "info")
        return "usage: vrim-map info [-v] FILE\n"
               "Prints the version, points per block, number of blocks, every position (requested and\n"
               "read back), the range of the sample QE, the values that are not a number, and the\n"
               "record's state and blocks with faults; -v adds the mean sample QE of each block.\n"
               "The same as vrim-mapinfo.\n";
    if (c == "csv")
        return "usage: vrim-map csv FILE [-o OUT]\n"
               "Writes one row per position and wavelength, after the header row\n"
               "index,x_requested,y_requested,x_read_back,y_read_back,time,wavelength_nm,\n"
               "reference_current_A,sample_current_A,reference_qe,sample_qe\n"
               "Positions in microsteps, time in calendar seconds, currents in A as stored (dark offset\n"
               "minus reading). Floats carry 9 significant digits: they read back exactly.\n";
    if (c == "hdf5")
        return "usage: vrim-map hdf5 FILE -o OUT.h5\n"
               "Datasets: wavelength_nm [n], sample_qe and sample_current_A [positions x n],\n"
               "reference_qe and reference_current_A [n], position_index [positions],\n"
               "position_requested and position_read_back [positions x 2], dark_offset_A and time\n"
               "[positions], each with a units attribute. The record FILE.json beside the map, when\n"
               "there is one, goes into attributes of the root group (settings.*, reference.*,\n"
               "faults, fault_text, record).\n";
    if (c == "png")
        return "usage: vrim-map png FILE [--wavelength NM] [--quantity qe|current|responsivity]\n"
               "                    [--size WxH] -o OUT.png\n"
               "Draws the map view at the wavelength of the map nearest to NM (default 650) into a PNG,\n"
               "the same picture the panel's view shows (default size 900x560; the map and its colour scale, the uniformity figures below).\n";
    if (c == "stats")
        return "usage: vrim-map stats FILE [--wavelength NM] [--quantity qe|current|responsivity]\n"
               "Prints mean, standard deviation, min, max and (max - min) / mean over the positions\n"
               "whose value is above 1 % of the map's largest, at the wavelength nearest to NM.\n";
    return nullptr;
}

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

struct Args {
    std::string cmd, file, out;
    double nm = 650.0;
    int quantity = MAPQ_QE;
    int w = 900, h = 560;
    bool verbose = false;  // info: mean sample QE of each block
};

// Reads the file; prints why and returns false when it cannot be read or is damaged.
bool load(const Args &a, MapBlocks *file, MapRecordDoc *rec, bool *haveRec, std::string *recJson) {
    int st = mapfile_load(a.file.c_str(), file);
    if (st == MAPREAD_IO) {
        fprintf(stderr, "vrim-map: %s\n", file->why.c_str());
        return false;
    }
    if (st != MAPREAD_END) {
        fprintf(stderr, "vrim-map: %s is damaged: %s (%zu whole blocks before it)\n", a.file.c_str(),
                file->why.c_str(), file->blocks.size());
        return false;
    }
    if (file->blocks.empty()) {
        fprintf(stderr, "vrim-map: %s holds no block\n", a.file.c_str());
        return false;
    }
    *haveRec = false;
    std::string json = maprecord_path(a.file), err;
    FILE *f = fopen(json.c_str(), "rb");
    if (f) {
        std::string text;
        char buf[65536];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
        fclose(f);
        if (maprecord_decode(text, rec, &err)) {
            *haveRec = true;
            if (recJson) *recJson = text;
        } else {
            fprintf(stderr, "vrim-map: note: %s is not a map record (%s); it is left out\n", json.c_str(), err.c_str());
        }
    }
    return true;
}

// The same summary as vrim-mapinfo, from the same code; a damaged file is summarised as far as
// its whole blocks go and gives status 1.
int cmd_info(const Args &a) {
    MapSummary s;
    int status = mapsummary_read(a.file, &s);
    std::string text = mapsummary_text(s, a.verbose);
    if (s.file.stop == MAPREAD_IO || s.file.fileBytes == 0) {
        fprintf(stderr, "vrim-map: %s", text.c_str() + (text.rfind("error: ", 0) == 0 ? strlen("error: ") : 0));
        return 1;
    }
    fputs(text.c_str(), stdout);
    if (status != 0) fprintf(stderr, "vrim-map: %s is damaged: %s\n", a.file.c_str(), s.file.why.c_str());
    return status;
}

int cmd_csv(const Args &a, const MapBlocks &file) {
    FILE *f = a.out.empty() ? stdout : fopen(a.out.c_str(), "w");
    if (!f) {
        fprintf(stderr, "vrim-map: cannot write %s: %s\n", a.out.c_str(), strerror(errno));
        return 1;
    }
    int rc = mapcsv_write(f, file.blocks);
    if (f != stdout && fclose(f) != 0) rc = -1;
    if (rc != 0) {
        fprintf(stderr, "vrim-map: writing %s failed\n", a.out.empty() ? "standard output" : a.out.c_str());
        return 1;
    }
    if (!a.out.empty()) {
        size_t rows = 0;
        for (const MapBlock &b : file.blocks) rows += b.rec.size();
        fprintf(stderr, "%s: %zu rows (%zu positions) and a header row\n", a.out.c_str(), rows, file.blocks.size());
    }
    return 0;
}

#ifdef VRIM_HAVE_HDF5
int cmd_hdf5(const Args &a, const MapBlocks &file, const MapRecordDoc *rec, const std::string *json) {
    std::string err;
    if (maph5_write(a.out.c_str(), file.blocks, rec, json, &err) != 0) {
        fprintf(stderr, "vrim-map: %s\n", err.c_str());
        return 1;
    }
    fprintf(stderr, "%s: %zu positions x %zu points%s\n", a.out.c_str(), file.blocks.size(),
            file.blocks.front().rec.size(), rec ? ", with the map's record" : " (no record beside the map)");
    return 0;
}
#else
int cmd_hdf5(const Args &, const MapBlocks &, const MapRecordDoc *, const std::string *) {
    fprintf(stderr, "vrim-map: this build has no HDF5 library: hdf5 is not available (csv is)\n");
    return 1;
}
#endif

int cmd_stats(const Args &a, const MapBlocks &file, const MapRecordDoc *rec) {
    MapData d;
    d.setBlocks(file.blocks);
    if (rec) d.setRecord(*rec);
    float wl = d.nearestWavelength(a.nm * 10.0);
    std::vector<MapPoint> pts = d.points(wl, a.quantity);
    MapStats s = mapstats_of(pts);
    int faulty = 0;
    for (const MapPoint &p : pts) faulty += p.faults > 0;
    printf("wavelength: %.1f nm\n", wl / 10.0);
    printf("quantity: %s\n", mapq_label(a.quantity));
    printf("positions: %zu\n", pts.size());
    printf("with a value: %d\n", s.total);
    printf("with signal: %d (above 1 %% of the largest)\n", s.n);
    if (rec) printf("with faults: %d\n", faulty);
    if (s.n > 0) {
        printf("mean: %.6g\n", s.mean);
        printf("sd: %.6g\n", s.sd);
        printf("min: %.6g\n", s.min);
        printf("max: %.6g\n", s.max);
        printf("(max-min)/mean: %.6g\n", s.spread);
    }
    return 0;
}

int cmd_png(const Args &a, const MapBlocks &file, const MapRecordDoc *rec, int argc, char **argv) {
    // Without a display (a server, a build machine) the picture is drawn offscreen.
#ifndef _WIN32
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY") &&
        !qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    QApplication app(argc, argv);
    MapView view;
    view.setSpectraShown(false);
    view.resize(a.w, a.h);
    view.setMap(file.blocks, rec);
    view.setQuantity(a.quantity);
    float wl = view.setWavelengthNm(a.nm);
    if (view.savePng(a.out.c_str()) != 0) {
        fprintf(stderr, "vrim-map: cannot write %s\n", a.out.c_str());
        return 1;
    }
    fprintf(stderr, "%s: %s at %.1f nm, %zu positions\n", a.out.c_str(), mapq_label(a.quantity), wl / 10.0,
            file.blocks.size());
    return 0;
}

bool parse_quantity(const char *s, int *q) {
    if (!strcmp(s, "qe")) *q = MAPQ_QE;
    else if (!strcmp(s, "current")) *q = MAPQ_CURRENT;
    else if (!strcmp(s, "responsivity")) *q = MAPQ_RESPONSIVITY;
    else return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    Args a;
    a.cmd = argv[1];
    if (a.cmd == "--help" || a.cmd == "-h" || a.cmd == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    const char *help = commandHelp(a.cmd);
    if (!help) {
        fprintf(stderr, "vrim-map: unknown command \"%s\"\n", a.cmd.c_str());
        return usage();
    }
    for (int i = 2; i < argc; i++) {
        std::string s = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "vrim-map: %s needs %s\n", s.c_str(), what);
                return nullptr;
            }
            return argv[++i];
        };
        if (s == "--help" || s == "-h") {
            fputs(help, stdout);
            return 0;
        } else if (s == "-o" || s == "--output") {
            const char *v = value("a file name");
            if (!v) return 2;
            a.out = v;
        } else if (s == "-v" && a.cmd == "info") {
            a.verbose = true;
        } else if (s == "--wavelength" && a.cmd != "csv" && a.cmd != "hdf5" && a.cmd != "info") {
            const char *v = value("a wavelength in nm");
            char *end = nullptr;
            if (!v) return 2;
            a.nm = strtod(v, &end);
            if (end == v || *end || !std::isfinite(a.nm) || a.nm <= 0) {
                fprintf(stderr, "vrim-map: --wavelength %s is not a wavelength in nm\n", v);
                return 2;
            }
        } else if (s == "--quantity" && (a.cmd == "png" || a.cmd == "stats")) {
            const char *v = value("qe, current or responsivity");
            if (!v) return 2;
            if (!parse_quantity(v, &a.quantity)) {
                fprintf(stderr, "vrim-map: --quantity %s: expected qe, current or responsivity\n", v);
                return 2;
            }
        } else if (s == "--size" && a.cmd == "png") {
            const char *v = value("WIDTHxHEIGHT");
            if (!v) return 2;
            if (sscanf(v, "%dx%d", &a.w, &a.h) != 2 || a.w < 200 || a.h < 150 || a.w > 8000 || a.h > 8000) {
                fprintf(stderr, "vrim-map: --size %s: expected WIDTHxHEIGHT, from 200x150 to 8000x8000\n", v);
                return 2;
            }
        } else if (!s.empty() && s[0] == '-') {
            fprintf(stderr, "vrim-map %s: unknown option %s\n", a.cmd.c_str(), s.c_str());
            fputs(help, stderr);
            return 2;
        } else if (a.file.empty()) {
            a.file = s;
        } else {
            fprintf(stderr, "vrim-map %s: one file only (%s)\n", a.cmd.c_str(), s.c_str());
            return 2;
        }
    }
    if (a.file.empty() || (a.out.empty() && (a.cmd == "hdf5" || a.cmd == "png"))) {
        fputs(help, stderr);
        return 2;
    }
    if (a.cmd == "info") return cmd_info(a);
    MapBlocks file;
    MapRecordDoc rec;
    bool haveRec = false;
    std::string json;
    if (!load(a, &file, &rec, &haveRec, &json)) return 1;
    const MapRecordDoc *r = haveRec ? &rec : nullptr;
    if (a.cmd == "csv") return cmd_csv(a, file);
    if (a.cmd == "hdf5") return cmd_hdf5(a, file, r, haveRec ? &json : nullptr);
    if (a.cmd == "stats") return cmd_stats(a, file, r);
    return cmd_png(a, file, r, argc, argv);
}
