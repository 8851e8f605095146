#include "sim/station/station.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "platform/core/clock.h"
#include "platform/core/env.h"
#include "platform/panel/userint.h"  // ReminderKind
#include "sim/K617/k617_sim.h"
#include "sim/SP2155/sp2155_sim.h"
#include "sim/uSMC/usmc_sim.h"
#include "sim/station/optics.h"

namespace {

const char *const kAxisSerial[3] = {"0000000000004925", "0000000000006030", "0000000000002894"};
const char kAxisName[3] = {'X', 'Y', 'Z'};

struct Station {
    std::unique_ptr<SP2155Sim> mono;
    std::unique_ptr<K617Sim> meter;
    std::atomic<int> cable{int(Cable::Sample)};
    std::mutex noiseMu;
    OpticsNoise noise;
    FILE *log = nullptr;
    std::mutex logMu;
    std::thread watcher;
    std::atomic<bool> stopping{false};
    bool monoPortSet = false;   // VRIM_COM4 names the simulator's terminal (set by the station)
    bool meterPortSet = false;  // VRIM_COM5 likewise
    std::string linkDir;        // folder of the station's own port names (POSIX); "" without one
};
struct Seen;

Station *g_station = nullptr;
struct Seen *g_seen = nullptr;  // the watcher's memory, while a log is written
std::mutex g_mu;  // guards g_station's lifetime against reminders from other threads

void log_line(Station *s, const std::string &line) {
    std::lock_guard<std::mutex> lk(s->logMu);
    if (!s->log) return;
    fprintf(s->log, "%s\n", line.c_str());
    fflush(s->log);
}

double model_current(Station *s) {
    int x = 0, y = 0;  // microsteps, where the carriages are
    usmc_sim_position(kAxisSerial[0], &x);
    usmc_sim_position(kAxisSerial[1], &y);
    double nm = s->mono ? s->mono->wavelengthNm() : 0.0;
    int grating = s->mono ? s->mono->grating() : 0;
    double i = optics_current(nm, grating, x, y, Cable(s->cable.load()));
    std::lock_guard<std::mutex> lk(s->noiseMu);
    return i + s->noise.next(kOpticsNoise);
}

// What the watcher has already written.
struct Seen {
    size_t commands = 0;
    int clears = 0;
    bool powered[3] = {false, false, false};
    double nm = 0;
    int grating = 0;
};

// Writes what changed since the last look, instrument by instrument.
void watch_once(Station *s, Seen &seen) {
    int clears = s->meter->deviceClears();
    for (; seen.clears < clears; seen.clears++) log_line(s, "k617 clear");
    // Only the commands not yet written: the list grows with every reading of a long scan.
    for (const std::string &c : s->meter->commandsSince(seen.commands)) {
        log_line(s, "k617 " + c);
        seen.commands++;
    }
    if (!s->mono->moving()) {
        double nm = s->mono->wavelengthNm();
        int g = s->mono->grating();
        if (g != seen.grating) {
            seen.grating = g;
            log_line(s, "mono grating " + std::to_string(g));
        }
        if (nm != seen.nm) {
            seen.nm = nm;
            char buf[64];
            snprintf(buf, sizeof buf, "mono wavelength %.1f", nm);
            log_line(s, buf);
        }
    }
    for (int a = 0; a < 3; a++) {
        bool p = usmc_sim_powered(kAxisSerial[a]);
        if (p != seen.powered[a]) {
            seen.powered[a] = p;
            log_line(s, std::string("stage ") + kAxisName[a] + (p ? " power on" : " power off"));
        }
    }
}

// Samples the instruments until the station stops. The pause is real time on purpose: it is the
// sampling rate of an observer, not a time of the simulated instruments.
void watch(Station *s, Seen *seen) {
    while (!s->stopping.load()) {
        watch_once(s, *seen);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

const char *const kInstruments[] = {"mono", "electrometer", "stage-x", "stage-y", "stage-z"};
const char *const kSerialKinds[] = {"noreply", "garbled", "cut", "error", "slow", "unplugged", "none"};
const char *const kStageKinds[] = {"missing", "fail", "stuck", "nopoweroff", "none"};

template <size_t N>
int indexOf(const char *const (&names)[N], const char *name) {
    for (size_t i = 0; i < N; i++)
        if (std::strcmp(names[i], name) == 0) return int(i);
    return -1;
}

template <size_t N>
std::string listOf(const char *const (&names)[N]) {
    std::string s;
    for (size_t i = 0; i < N; i++) s += (i ? ", " : "") + std::string(names[i]);
    return s;
}

// The program finds a simulated instrument under a name of the station's own: a link in a folder
// of its own to the terminal. Unplugging removes the link, so the port is gone as a vanished USB
// adapter's is; the terminal's own name is freed when it closes and may be given to another
// program's terminal meanwhile, which the program would then open as its instrument.
std::string port_link(const Station *s, const char *envName) {
    return s->linkDir.empty() ? std::string() : s->linkDir + "/" + (envName + std::strlen("VRIM_"));
}

// Names the terminal at path for the program under envName: the station's link to it where there
// is one, else the path itself.
void name_port(const Station *s, const char *envName, const std::string &path) {
    std::string link = port_link(s, envName);
#if !defined(_WIN32)
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) == 0) {
            setenv(envName, link.c_str(), 1);
            return;
        }
    }
#endif
    setenv(envName, path.c_str(), 1);
}

// Takes the port away (unplugged) or puts it back; a port put back may have a new terminal.
void plug(const Station *s, PtyLine &line, bool in, bool envSet, const char *envName) {
    if (!in) {
        line.stop();
#if !defined(_WIN32)
        if (envSet && !port_link(s, envName).empty()) unlink(port_link(s, envName).c_str());
#endif
        return;
    }
    if (line.running()) return;
    if (!line.start()) {
        fprintf(stderr, "station: cannot plug %s back in: %s\n", envName, line.error().c_str());
        return;
    }
    if (envSet) name_port(s, envName, line.path());
}

// Sets one instrument's fault; the station lock is held.
int apply_fault(Station *s, const char *instrument, const char *kind) {
    if (!s) {
        fprintf(stderr, "station: fault %s %s: the simulated station is not running\n", instrument, kind);
        return -1;
    }
    int inst = indexOf(kInstruments, instrument);
    if (inst < 0) {
        fprintf(stderr, "station: unknown instrument \"%s\" (one of %s)\n", instrument, listOf(kInstruments).c_str());
        return -1;
    }
    if (inst <= 1) {
        int k = indexOf(kSerialKinds, kind);
        if (k < 0) {
            fprintf(stderr, "station: unknown fault \"%s\" of %s (one of %s)\n", kind, instrument,
                    listOf(kSerialKinds).c_str());
            return -1;
        }
        bool unplugged = k == 5;
        if (inst == 0) {
            static const SP2155Fault f[] = {SP2155Fault::NoReply,     SP2155Fault::Garbled, SP2155Fault::CutShort,
                                            SP2155Fault::ErrorAnswer, SP2155Fault::Slow,    SP2155Fault::None,
                                            SP2155Fault::None};
            s->mono->setFault(f[k]);
            plug(s, *s->mono, !unplugged, s->monoPortSet, "VRIM_COM4");
        } else {
            static const K617Fault f[] = {K617Fault::NoReply,     K617Fault::Garbled, K617Fault::CutShort,
                                          K617Fault::ErrorAnswer, K617Fault::Slow,    K617Fault::None,
                                          K617Fault::None};
            s->meter->setFault(f[k]);
            plug(s, *s->meter, !unplugged, s->meterPortSet, "VRIM_COM5");
        }
    } else {
        int k = indexOf(kStageKinds, kind);
        if (k < 0) {
            fprintf(stderr, "station: unknown fault \"%s\" of %s (one of %s)\n", kind, instrument,
                    listOf(kStageKinds).c_str());
            return -1;
        }
        const char *serial = kAxisSerial[inst - 2];
        usmc_sim_set_missing(serial, k == 0);
        usmc_sim_set_start_fails(serial, k == 1);
        usmc_sim_set_stuck_motor(serial, k == 2);
        usmc_sim_set_stuck_power(serial, k == 3);
    }
    log_line(s, std::string("fault ") + instrument + " " + kind);
    return 0;
}

// Applies the VRIM_STATION_FAULTS list; bad items are reported and skipped.
void apply_fault_list(Station *s, const char *list) {
    std::string all = list ? list : "";
    size_t at = 0;
    while (at <= all.size()) {
        size_t comma = all.find(',', at);
        if (comma == std::string::npos) comma = all.size();
        std::string item = all.substr(at, comma - at);
        at = comma + 1;
        size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
        if (b == std::string::npos) continue;  // empty item (",," or a trailing comma)
        item = item.substr(b, e - b + 1);
        size_t colon = item.find(':');
        if (colon == std::string::npos) {
            fprintf(stderr, "station: VRIM_STATION_FAULTS item \"%s\" is not INSTRUMENT:KIND; skipped\n",
                    item.c_str());
            continue;
        }
        if (apply_fault(s, item.substr(0, colon).c_str(), item.substr(colon + 1).c_str()) != 0)
            fprintf(stderr, "station: VRIM_STATION_FAULTS item \"%s\" skipped\n", item.c_str());
    }
}

}  // namespace

bool station_start(std::string *error) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_station) return true;
    auto s = std::make_unique<Station>();
    s->mono = std::make_unique<SP2155Sim>();
    s->meter = std::make_unique<K617Sim>();
    if (!s->mono->start()) {
        if (error) *error = "monochromator terminal: " + s->mono->error();
        return false;
    }
    if (!s->meter->start()) {
        if (error) *error = "electrometer terminal: " + s->meter->error();
        s->mono->stop();
        return false;
    }
    s->monoPortSet = !getenv("VRIM_COM4");
    s->meterPortSet = !getenv("VRIM_COM5");
#if !defined(_WIN32)
    if (s->mono->path().rfind("/", 0) == 0) {
        const char *tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vrim-station-XXXXXX";
        if (mkdtemp(&dir[0])) s->linkDir = dir;
    }
#endif
    if (s->monoPortSet) name_port(s.get(), "VRIM_COM4", s->mono->path());
    if (s->meterPortSet) name_port(s.get(), "VRIM_COM5", s->meter->path());
    usmc_sim_select(true);
    Station *raw = s.get();
    s->meter->setCurrentSource([raw] { return model_current(raw); });
    if (const char *path = getenv("VRIM_STATION_LOG")) {
        if (*path) s->log = fopen(path, "a");
    }
    if (s->log) {
        // The state before the program touches anything is the baseline, not news.
        g_seen = new Seen;
        g_seen->nm = s->mono->wavelengthNm();
        g_seen->grating = s->mono->grating();
        for (int a = 0; a < 3; a++) g_seen->powered[a] = usmc_sim_powered(kAxisSerial[a]);
        s->watcher = std::thread(watch, raw, g_seen);
    }
    // Faults to rehearse, set before any driver opens a port or the stage library.
    if (const char *faults = getenv("VRIM_STATION_FAULTS")) apply_fault_list(raw, faults);
    g_station = s.release();
    return true;
}

void station_stop() {
    std::lock_guard<std::mutex> lk(g_mu);
    Station *s = g_station;
    if (!s) return;
    s->stopping = true;
    if (s->watcher.joinable()) s->watcher.join();
    if (g_seen) {
        watch_once(s, *g_seen);  // what happened after the last sample (the program's last steps)
        delete g_seen;
        g_seen = nullptr;
    }
    log_line(s, "station stop");
    s->meter->stop();
    s->mono->stop();
#if !defined(_WIN32)
    if (!s->linkDir.empty()) {
        unlink(port_link(s, "VRIM_COM4").c_str());
        unlink(port_link(s, "VRIM_COM5").c_str());
        rmdir(s->linkDir.c_str());
    }
#endif
    {
        std::lock_guard<std::mutex> lk2(s->logMu);
        if (s->log) fclose(s->log);
        s->log = nullptr;
    }
    g_station = nullptr;
    delete s;
}

void station_on_reminder(int kind, const char *title, const char *text) {
    std::lock_guard<std::mutex> lk(g_mu);
    Station *s = g_station;
    if (!s) return;
    log_line(s, std::string("popup ") + (title ? title : ""));
    if (kind == REMINDER_REFERENCE_CABLE) {
        s->cable = int(Cable::Reference);
        log_line(s, "cable reference");
    } else if (kind == REMINDER_SAMPLE_CABLE) {
        s->cable = int(Cable::Sample);
        log_line(s, "cable sample");
    }
}

int station_fault(const char *instrument, const char *kind) {
    std::lock_guard<std::mutex> lk(g_mu);
    return apply_fault(g_station, instrument ? instrument : "", kind ? kind : "");
}

double station_current() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_station ? model_current(g_station) : 0.0;
}
