// vrim-check: station self-test. Opens the monochromator and the electrometer the way the
// program does at start, reads grating, wavelength, one current reading and the electrometer's
// status word, prints them in plain words and says whether every reply came and parsed.
//
// With VRIM_STATION=sim it serves both instruments itself from simulators (on pseudo-terminals,
// or on in-process lines where there are none), so the check (and the drivers under it) can be
// run on any machine.
#ifdef VRIM_WITH_QT
#include <QCoreApplication>
#endif
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "platform/core/env.h"
#include "platform/core/rs232.h"
#include "sim/K617/k617_sim.h"
#include "sim/SP2155/sp2155_sim.h"

namespace {
constexpr int kMonoPort = 4;
constexpr int kElecLink = 1;  // through the GPIB-USB controller
constexpr int kElecPort = 5;
constexpr int kElecAddr = 3;
constexpr int kElecSecondary = 0;
constexpr int kElecTimeoutCode = 13;
constexpr double kSimCurrent = -2.3e-9;  // A, what the simulated detector gives

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vrim-check [--range N]\n"
                 "Station self-test: opens the monochromator (serial port %d) and the electrometer\n"
                 "(GPIB-USB controller on serial port %d, GPIB address %d) as the program does at\n"
                 "start, then reads the grating, the wavelength, one current reading and the\n"
                 "electrometer status, and prints them.\n"
                 "  --range N  electrometer current range, 0 (auto) to 11; default 0\n"
                 "  --help     this text\n"
                 "Serial port N is the device in VRIM_COM<N> when set. VRIM_STATION=sim serves both\n"
                 "instruments from built-in simulators. Exit status 0 when every reply came and\n"
                 "parsed, 1 when one did not, 2 for a bad command line.\n",
                 kMonoPort, kElecPort, kElecAddr);
}

bool parseRange(const char *s, int *range) {
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < 0 || v > 11) return false;
    *range = static_cast<int>(v);
    return true;
}

// Simulated instruments for VRIM_STATION=sim; a port already named in the environment is left
// to whatever it names.
struct SimStation {
    std::unique_ptr<SP2155Sim> mono;
    std::unique_ptr<K617Sim> elec;
    ~SimStation() {
        if (elec) elec->stop();
        if (mono) mono->stop();
    }
    bool start() {
        if (!std::getenv("VRIM_COM4")) {
            mono = std::make_unique<SP2155Sim>();
            mono->setWavelengthNm(500.0);
            if (!mono->start()) {
                std::fprintf(stderr, "vrim-check: cannot start the simulated monochromator: %s\n", mono->error().c_str());
                return false;
            }
            setenv("VRIM_COM4", mono->path().c_str(), 0);
        }
        if (!std::getenv("VRIM_COM5")) {
            elec = std::make_unique<K617Sim>();
            elec->setCurrentSource([] { return kSimCurrent; });
            if (!elec->start()) {
                std::fprintf(stderr, "vrim-check: cannot start the simulated electrometer: %s\n", elec->error().c_str());
                return false;
            }
            setenv("VRIM_COM5", elec->path().c_str(), 0);
        }
        return true;
    }
};

const char *onOff(int v) { return v ? "on" : "off"; }
}  // namespace

int main(int argc, char **argv) {
    int range = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--range") && i + 1 < argc) {
            if (!parseRange(argv[++i], &range)) {
                std::fprintf(stderr, "vrim-check: --range takes a number from 0 to 11, not \"%s\"\n", argv[i]);
                return 2;
            }
            continue;
        }
        std::fprintf(stderr, "vrim-check: unknown argument \"%s\"\n", argv[i]);
        usage(stderr);
        return 2;
    }
#ifdef VRIM_WITH_QT
    QCoreApplication app(argc, argv);  // the serial layer's objects want one
#endif

    SimStation sim;
    const char *station = std::getenv("VRIM_STATION");
    if (station && !std::strcmp(station, "sim")) {
        if (!sim.start()) return 1;
        std::printf("simulated station: monochromator on %s, electrometer on %s\n", std::getenv("VRIM_COM4"),
                    std::getenv("VRIM_COM5"));
    }

    SP2155_Open(kMonoPort);
    K617_open(kElecLink, kElecPort, kElecAddr, kElecSecondary, kElecTimeoutCode);
    K617_clear();
    K617_current_mode(range);
    K617_zero_correct(1);
    K617_data_format(0);
    K617_trigger_mode(1);

    int failures = 0;
    int grating = SP2155_GetGrating();
    if (SP2155_LastResult() > 0 && grating > 0) {
        std::printf("grating: %d\n", grating);
    } else {
        std::printf("grating: no valid reply from the monochromator (port %d, %s)\n", kMonoPort, rs232_device_name(kMonoPort));
        ++failures;
    }
    int wavel = SP2155_GetWavelength();  // tenths of a nm
    float nm = 0;
    if (SP2155_LastResult() > 0 && sp2155_parse_nm(SP2155_Receive, &nm)) {
        std::printf("wavelength: %d tenths of a nanometre (%.1f nm)\n", wavel, wavel / 10.0);
    } else {
        std::printf("wavelength: no valid reply from the monochromator (port %d, %s)\n", kMonoPort, rs232_device_name(kMonoPort));
        ++failures;
    }

    double amps = K617_get(nullptr, nullptr);
    if (std::isfinite(amps)) {
        std::printf("current: %.4E A\n", amps);
    } else {
        std::printf("current: no valid reading from the electrometer (port %d, %s, GPIB address %d)\n", kElecPort,
                    rs232_device_name(kElecPort), kElecAddr);
        ++failures;
    }

    // Fields the reply does not set keep this mark, so a missing or cut status word shows.
    std::memset(&K617Stat, 0xff, sizeof K617Stat);
    K617_status();
    const K617STATUS &s = K617Stat;
    if (s.function != -1 && s.eoi != -1) {
        std::printf("status: function %d, range %d, zero check %s, zero correct %s, suppress %s, trigger mode %d,\n"
                    "        voltage source %s, reading mode %d, data format %d, display %d, data store %d,\n"
                    "        SRQ %d, EOI %d, terminator %c%c\n",
                    s.function, s.range, onOff(s.zero_check), onOff(s.zero_correct), onOff(s.suppress), s.trigger,
                    s.vsource_operate ? "operating" : "standby", s.read_mode, s.data_prefix, s.display, s.data_store,
                    s.srq, s.eoi, s.terminator[0], s.terminator[1]);
    } else {
        std::printf("status: no valid status word from the electrometer (port %d, %s, GPIB address %d)\n", kElecPort,
                    rs232_device_name(kElecPort), kElecAddr);
        ++failures;
    }

    K617_trigger_mode(0);
    K617_close();
    SP2155_Close();

    if (failures) {
        std::printf("vrim-check: FAILED, %d of 4 readings missing\n", failures);
        return 1;
    }
    std::printf("vrim-check: all instruments answered\n");
    return 0;
}
