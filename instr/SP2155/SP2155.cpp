#include "instr/SP2155/SP2155.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/core/clock.h"
#include "platform/core/linkstatus.h"
#include "platform/core/rs232.h"

int SP2155_Port;
char SP2155_Send[SP2155_BUFSIZE];
char SP2155_Receive[SP2155_BUFSIZE];

namespace {
int nout;  // bytes of the last outgoing line, CR included
int nin;   // bytes of the last reply, or the read's negative code; payload length after a good one

int lastResult = -1;  // result of the last SP2155_Cmd
LinkStatus status = LINK_IDLE;  // how the last open or exchange went

constexpr double kStandingTimeout = 1.0;  // s, writes and query replies
constexpr double kLinePause = 0.05;       // s before every line: the instrument gets time to
                                          // finish with the previous line first
constexpr double kMoveTimeout = 10.0;     // s, a wavelength move answers when it is done
constexpr double kGratingTimeout = 30.0;  // s, a grating change turns the turret
constexpr int kLineFeed = 10;
}  // namespace

int SP2155_nout(void) { return nout; }
int SP2155_nin(void) { return nin; }

bool sp2155_reply_ok(const char *reply, int len) {
    if (!reply || len < 3) return false;
    const char *t = reply + len - 3;
    return (t[0] == 'o' || t[0] == 'O') && (t[1] == 'k' || t[1] == 'K') && t[2] == '\r';
}

int sp2155_payload_len(int len) { return len > 5 ? len - 5 : 0; }

int sp2155_nm_to_tenths(float nm) {
    return static_cast<int>(std::floor(static_cast<double>(nm) * 10.0 + 0.5));
}

bool sp2155_parse_nm(const char *payload, float *nm) {
    if (!payload || !nm) return false;
    char *end = nullptr;
    errno = 0;
    float v = std::strtof(payload, &end);
    if (end == payload || errno == ERANGE) return false;
    // Only plain magnitudes a wavelength can have; keeps the conversion to tenths in range
    // whatever a garbled line holds ("inf", "nan", "1e30").
    if (!std::isfinite(v) || std::fabs(v) > 1e7f) return false;
    *nm = v;
    return true;
}

bool sp2155_parse_int(const char *payload, int *value) {
    if (!payload || !value) return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(payload, &end, 10);
    if (end == payload || errno == ERANGE || v < -2147483647L || v > 2147483647L) return false;
    *value = static_cast<int>(v);
    return true;
}

int sp2155_format_goto(int wavel, char *buf, int size) {
    if (!buf || size <= 0) return -1;
    float wl = static_cast<float>(wavel) / 10.0f;  // nm
    int n = std::snprintf(buf, static_cast<size_t>(size), "%0.1f GOTO", static_cast<double>(wl));
    return (n < 0 || n >= size) ? -1 : n;
}

void SP2155_Open(int port) {
    SP2155_Port = port;
    status = OpenComConfig(port, "", 38400, 0, 8, 1, 512, 512) == 0 ? LINK_IDLE : LINK_NOT_OPEN;
    SetXMode(port, 0);
    SetCTSMode(port, 0);
    SetComTime(port, kStandingTimeout);
}

int SP2155_LastResult(void) { return lastResult; }
LinkStatus SP2155_LinkStatus(void) { return status; }

static int exchange(const char *cmd, double wait);

int SP2155_Cmd(const char *cmd, double wait) {
    lastResult = exchange(cmd, wait);
    return lastResult;
}

static int exchange(const char *cmd, double wait) {
    if (!cmd || std::strlen(cmd) > SP2155_MAXCMD) {
        SP2155_Receive[0] = '\0';
        nin = 0;
        status = LINK_IDLE;  // nothing went out
        return -1;
    }
    Delay(kLinePause);
    FlushInQ(SP2155_Port);
    nout = std::snprintf(SP2155_Send, sizeof SP2155_Send, "%s\r", cmd);
    ComWrt(SP2155_Port, SP2155_Send, nout);
    if (wait != 0) SetComTime(SP2155_Port, wait);
    nin = ComRdTerm(SP2155_Port, SP2155_Receive, SP2155_MAXREPLY, kLineFeed);
    if (wait != 0) SetComTime(SP2155_Port, kStandingTimeout);
    status = link_status_of_read(nin);
    if (nin < 0) {
        // Nothing whole arrived: leave no earlier reply behind to be parsed as this one's.
        SP2155_Receive[0] = '\0';
        return -1;
    }
    SP2155_Receive[nin] = '\0';  // nin <= 90: always inside the buffer
    if (!sp2155_reply_ok(SP2155_Receive, nin)) return -1;
    nin = sp2155_payload_len(nin);
    SP2155_Receive[nin] = '\0';
    return nin;
}

void SP2155_Echo(int mode) { SP2155_Cmd(mode ? "ECHO" : "NO-ECHO", 0); }

int SP2155_GetWavelength(void) {
    SP2155_Cmd("?NM", 0);
    float wl = 0;  // nm
    if (!sp2155_parse_nm(SP2155_Receive, &wl)) return 0;
    return sp2155_nm_to_tenths(wl);
}

void SP2155_SetWavelength(int wavel) {
    char cmd[SP2155_BUFSIZE];
    if (sp2155_format_goto(wavel, cmd, sizeof cmd) < 0) return;
    SP2155_Cmd(cmd, kMoveTimeout);
}

int SP2155_GetGrating(void) {
    SP2155_Cmd("?GRATING", 0);
    int g = 0;
    if (!sp2155_parse_int(SP2155_Receive, &g)) return 0;
    return g;
}

void SP2155_SetGrating(int grating) {
    if (grating != 1 && grating != 2) return;
    char cmd[SP2155_BUFSIZE];
    std::snprintf(cmd, sizeof cmd, "%0d GRATING", grating);
    SP2155_Cmd(cmd, kGratingTimeout);
}

int SP2155_GetTurret(void) { return 1; }
void SP2155_SetTurret(int) {}
void SP2155_SetSpeed(int) {}
void SP2155_Scan(int) {}

void SP2155_Close(void) {
    CloseCom(SP2155_Port);
    status = LINK_NOT_OPEN;
}
