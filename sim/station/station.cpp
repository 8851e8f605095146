#include "sim/station/station.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/core/clock.h"
#include "platform/core/env.h"
#include "platform/usmc/usmc_sim.h"
#include "sim/electrometer/k617_sim.h"
#include "sim/monochromator/sp2155_sim.h"
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
    setenv("VRIM_COM4", s->mono->path().c_str(), 0);
    setenv("VRIM_COM5", s->meter->path().c_str(), 0);
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
    {
        std::lock_guard<std::mutex> lk2(s->logMu);
        if (s->log) fclose(s->log);
        s->log = nullptr;
    }
    g_station = nullptr;
    delete s;
}

void station_on_reminder(const char *title, const char *text) {
    std::lock_guard<std::mutex> lk(g_mu);
    Station *s = g_station;
    if (!s || !text) return;
    log_line(s, std::string("popup ") + (title ? title : ""));
    if (strstr(text, "reference PMT")) {
        s->cable = int(Cable::Reference);
        log_line(s, "cable reference");
    } else if (strstr(text, "sample detector")) {
        s->cable = int(Cable::Sample);
        log_line(s, "cable sample");
    }
}

double station_current() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_station ? model_current(g_station) : 0.0;
}
