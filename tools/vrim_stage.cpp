// vrim-stage: stage controller diagnostics for the technician. Opens the controllers' library,
// lists the controllers, and runs commands on them in the order given.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instr/uSMC/uSMC.h"
#include "platform/core/clock.h"
#include "platform/core/guard.h"
#include "sim/uSMC/usmc_sim.h"

namespace {

const char kUsage[] =
    "usage: vrim-stage [--help] COMMAND...\n"
    "\n"
    "Opens the stage controllers' library (simulated controllers when VRIM_STATION=sim, else the\n"
    "library named by VRIM_USMC_LIBRARY), prints the controllers found, then runs the commands in\n"
    "order. A controller is named by its node: device number + 1.\n"
    "\n"
    "  list               count the controllers found\n"
    "  N | node N         commands after it act on node N\n"
    "  serial S           commands after it act on the controller with serial number S\n"
    "  init TYPE          load the preset of stage type TYPE (1 or 2; -1 or -2 also save it to\n"
    "                     flash; other values keep the parameters) and power the motor\n"
    "  params             print the controller's parameters\n"
    "  mode               print its mode\n"
    "  state              print its state\n"
    "  startpar           print its start parameters with the position and the working speed\n"
    "  encoder            print its encoder state\n"
    "  error              print the library's last error text\n"
    "  move POS           move to POS microsteps and wait until the motor stops (also: moveto)\n"
    "  moveby DIST        move by DIST microsteps\n"
    "  home               home the axis on its negative limit switch; that point + 5000 becomes 0\n"
    "  pos                print the position in microsteps\n"
    "  speed V            set the working speed of later moves, tacts/s (default 15000)\n"
    "  on | off           motor power on / off\n"
    "  off-save           power off and save the position reached as start position in flash\n"
    "  revert             save start position 0 in flash\n"
    "  sleep S            wait S seconds\n"
    "\n"
    "Example: VRIM_STATION=sim vrim-stage 1 init 1 home move 15000 pos state\n"
    "Exit status: 0 when every command succeeded, 1 when an operation failed, 2 on a usage error.\n";

int node = 0;  // selected node, 0 = none

bool parseInt(const char *s, int *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (*end || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *out = int(v);
    return true;
}

bool parseDouble(const char *s, double *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    double v = std::strtod(s, &end);
    if (*end) return false;
    *out = v;
    return true;
}

int usage(const char *fmt, const char *arg) {
    std::fprintf(stderr, "vrim-stage: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\nTry 'vrim-stage --help'.\n");
    return 2;
}

// Reports a failed operation on stderr with the reason, and gives the exit status.
int failed(const char *what, int code) {
    std::fflush(stdout);
    char text[256] = {0};
    switch (code) {
    case uSMC_ERR_NODE: std::snprintf(text, sizeof text, "node names no listed controller"); break;
    case uSMC_ERR_TIMEOUT: std::snprintf(text, sizeof text, "the controller did not finish in time"); break;
    case uSMC_ERR_RANGE: std::snprintf(text, sizeof text, "destination out of range"); break;
    default: USMC_GetLastErr(text, sizeof text - 1); break;  // a text filling them all keeps its end
    }
    if (node > 0)
        std::fprintf(stderr, "vrim-stage: node %d: %s failed, code %d (0x%X): %s\n", node, what, code,
                     unsigned(code), text);
    else
        std::fprintf(stderr, "vrim-stage: %s failed, code %d (0x%X): %s\n", what, code,
                     unsigned(code), text);
    return 1;
}

// True when the selected node names a listed controller; reports otherwise.
bool nodeOk(const char *cmd) {
    if (node == 0) {
        std::fprintf(stderr, "vrim-stage: %s: no node selected\n", cmd);
        return false;
    }
    int n = uSMC_DeviceCount();
    if (node < 1 || node > n || node > 4) {
        std::fprintf(stderr, "vrim-stage: unknown node %d (%d controller%s listed)\n", node, n,
                     n == 1 ? "" : "s");
        return false;
    }
    return true;
}

// Runs the commands; returns the exit status.
int run(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const char *cmd = argv[i];
        const char *arg = i + 1 < argc ? argv[i + 1] : nullptr;
        int n = 0, code = 0;
        double d = 0;
        auto needInt = [&](int *v) {
            if (!parseInt(arg, v)) return false;
            ++i;
            return true;
        };
        if (parseInt(cmd, &n)) {
            node = n;
            if (!nodeOk("node")) return 1;
            continue;
        }
        if (!std::strcmp(cmd, "list")) {
            int count = uSMC_DeviceCount();
            if (count == 0) std::printf("No controllers found\n");
            else std::printf("%d controller%s found (nodes 1 to %d)\n", count, count == 1 ? "" : "s", count);
            continue;
        }
        if (!std::strcmp(cmd, "node")) {
            if (!needInt(&node)) return usage("node needs a number, not '%s'", arg ? arg : "");
            if (!nodeOk("node")) return 1;
            continue;
        }
        if (!std::strcmp(cmd, "serial")) {
            if (!arg) return usage("%s needs a serial number", cmd);
            ++i;
            int dev = uSMC_FindSerial(arg);
            if (dev < 0) {
                std::fprintf(stderr, "vrim-stage: no controller with serial number %s\n", arg);
                return 1;
            }
            node = dev + 1;
            if (!nodeOk("serial")) return 1;
            continue;
        }
        if (!std::strcmp(cmd, "sleep")) {
            if (!parseDouble(arg, &d) || d < 0) return usage("sleep needs seconds, not '%s'", arg ? arg : "");
            ++i;
            Delay(d);
            continue;
        }
        if (!std::strcmp(cmd, "speed")) {
            if (!parseDouble(arg, &d) || !(d > 0)) return usage("speed needs a positive value, not '%s'", arg ? arg : "");
            ++i;
            uSMC_SetSpeed(float(d));
            continue;
        }
        if (!std::strcmp(cmd, "error")) {
            PrintError();
            std::printf("\n");
            continue;
        }
        bool known = !std::strcmp(cmd, "init") || !std::strcmp(cmd, "params") ||
                     !std::strcmp(cmd, "mode") || !std::strcmp(cmd, "state") ||
                     !std::strcmp(cmd, "startpar") || !std::strcmp(cmd, "encoder") ||
                     !std::strcmp(cmd, "move") || !std::strcmp(cmd, "moveto") ||
                     !std::strcmp(cmd, "moveby") || !std::strcmp(cmd, "home") ||
                     !std::strcmp(cmd, "pos") || !std::strcmp(cmd, "on") ||
                     !std::strcmp(cmd, "off") || !std::strcmp(cmd, "off-save") ||
                     !std::strcmp(cmd, "revert");
        if (!known) return usage("unknown command '%s'", cmd);
        if (!nodeOk(cmd)) return 1;
        DWORD dev = DWORD(node - 1);
        if (!std::strcmp(cmd, "init")) {
            int type;
            if (!needInt(&type)) return usage("init needs a stage type, not '%s'", arg ? arg : "");
            if ((code = uSMC_Init(node, type))) return failed(cmd, code);
            if (type == -1 || type == -2) std::printf("\n");
        } else if (!std::strcmp(cmd, "params")) {
            USMC_Parameters p;
            if ((code = int(USMC_GetParameters(dev, &p)))) return failed(cmd, code);
            PrintDParameters(&p);
        } else if (!std::strcmp(cmd, "mode")) {
            USMC_Mode m;
            if ((code = int(USMC_GetMode(dev, &m)))) return failed(cmd, code);
            PrintDMode(&m);
        } else if (!std::strcmp(cmd, "state")) {
            USMC_State s;
            if ((code = int(USMC_GetState(dev, &s)))) return failed(cmd, code);
            PrintDState(&s);
        } else if (!std::strcmp(cmd, "startpar")) {
            USMC_StartParameters sp;
            int pos = 0;
            if ((code = uSMC_GetPosition(node, &pos))) return failed(cmd, code);
            if ((code = int(USMC_GetStartParameters(dev, &sp)))) return failed(cmd, code);
            PrintDStartParameters(pos, uSMC_GetSpeed(), &sp);
        } else if (!std::strcmp(cmd, "encoder")) {
            USMC_EncoderState e;
            USMC_Parameters p;
            if ((code = int(USMC_GetParameters(dev, &p)))) return failed(cmd, code);
            if ((code = int(USMC_GetEncoderState(dev, &e)))) return failed(cmd, code);
            PrintEncState(&e, &p);
        } else if (!std::strcmp(cmd, "move") || !std::strcmp(cmd, "moveto")) {
            int dest;
            if (!needInt(&dest)) return usage("move needs a position, not '%s'", arg ? arg : "");
            if ((code = uSMC_MoveTo(node, dest))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "moveby")) {
            int dist;
            if (!needInt(&dist)) return usage("moveby needs a distance, not '%s'", arg ? arg : "");
            if ((code = uSMC_MoveFor(node, dist))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "home")) {
            if ((code = uSMC_ReferenceMove(node))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "pos")) {
            int pos = 0;
            if ((code = uSMC_GetPosition(node, &pos))) return failed(cmd, code);
            std::printf("%d Position %d\n", node, pos);
        } else if (!std::strcmp(cmd, "on")) {
            if ((code = uSMC_PowerOn(node))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "off")) {
            if ((code = uSMC_PowerOff(node))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "off-save")) {
            if ((code = uSMC_PowerOffSave(node, 1))) return failed(cmd, code);
        } else if (!std::strcmp(cmd, "revert")) {
            if ((code = uSMC_RevertStartPosition(node))) return failed(cmd, code);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    usmc_sim_install();  // VRIM_STATION=sim then opens the simulated controllers
    int code = uSMC_Open();
    if (code) return failed("opening the stage controller library", code);
    int status = run(argc, argv);
    std::fflush(stdout);
    uSMC_Close();
    if (int n = guard_overruns()) {
        // Each operation was reported once as it happened; the count says how often it recurred.
        std::fprintf(stderr,
                     "vrim-stage: the library wrote past the end of its records %d time%s (see above); "
                     "its record layout differs from the one this program knows\n",
                     n, n == 1 ? "" : "s");
    }
    return status;
}
