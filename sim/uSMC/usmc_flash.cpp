// The simulated controllers' flash file (see usmc_flash.h).
#include "sim/uSMC/usmc_flash.h"

#include <cstdio>
#include <cstdlib>

const char *usmc_flash_path() {
    const char *p = std::getenv("VRIM_USMC_FLASH");
    return (p && *p) ? p : nullptr;
}

// One line per controller: serial, physical position, saved flag and the parameter record.
void usmc_flash_write(const FlashMap &flash) {
    const char *path = usmc_flash_path();
    if (!path) return;
    std::string tmp = std::string(path) + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    for (auto &[serial, fl] : flash) {
        const USMC_Parameters &p = fl.par;
        std::fprintf(f,
                     "%s %d %d %d %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g "
                     "%.9g %.9g %u %u %u %u %.9g %u %.9g %.9g\n",
                     serial.c_str(), fl.hasPhys ? 1 : 0, fl.phys, fl.saved ? 1 : 0, p.AccelT,
                     p.DecelT, p.PTimeout, p.BTimeout1, p.BTimeout2, p.BTimeout3, p.BTimeout4,
                     p.BTimeoutR, p.BTimeoutD, p.MinP, p.BTO1P, p.BTO2P, p.BTO3P, p.BTO4P,
                     unsigned(p.MaxLoft), unsigned(p.StartPos), unsigned(p.RTDelta),
                     unsigned(p.RTMinError), p.MaxTemp, unsigned(p.SynOUTP), p.LoftPeriod,
                     p.EncMult);
    }
    bool ok = std::fclose(f) == 0;
#ifdef _WIN32
    // Windows renames onto no existing file; the old one goes first.
    if (ok) std::remove(path);
#endif
    if (ok) std::rename(tmp.c_str(), path);
}

void usmc_flash_read(FlashMap &flash) {
    const char *path = usmc_flash_path();
    if (!path) return;
    FILE *f = std::fopen(path, "r");
    if (!f) return;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        char serial[17];
        int hasPhys, phys, saved;
        unsigned maxLoft, startPos, rtDelta, rtMin, synOut;
        USMC_Parameters p{};
        int n = std::sscanf(line,
                            "%16s %d %d %d %g %g %g %g %g %g %g %g %g %g %g %g %g %g %u %u %u %u "
                            "%g %u %g %g",
                            serial, &hasPhys, &phys, &saved, &p.AccelT, &p.DecelT, &p.PTimeout,
                            &p.BTimeout1, &p.BTimeout2, &p.BTimeout3, &p.BTimeout4, &p.BTimeoutR,
                            &p.BTimeoutD, &p.MinP, &p.BTO1P, &p.BTO2P, &p.BTO3P, &p.BTO4P,
                            &maxLoft, &startPos, &rtDelta, &rtMin, &p.MaxTemp, &synOut,
                            &p.LoftPeriod, &p.EncMult);
        if (n != 26) continue;
        p.MaxLoft = WORD(maxLoft); p.StartPos = startPos; p.RTDelta = WORD(rtDelta);
        p.RTMinError = WORD(rtMin); p.SynOUTP = BYTE(synOut);
        Flash &fl = flash[serial];
        fl.saved = saved != 0;
        fl.par = p;
        fl.hasPhys = hasPhys != 0;
        fl.phys = phys;
    }
    std::fclose(f);
}
