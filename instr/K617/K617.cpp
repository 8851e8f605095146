#include "instr/K617/K617.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "instr/PROLOGIX/PROLOGIX.h"
#include "platform/core/clock.h"
#include "platform/core/gpib.h"
#include "platform/core/linkstatus.h"

K617STATUS K617Stat;

static int K617_Interface;  // link: 1 = GPIB-USB controller, other = GPIB board
static int K617_Port;       // controller's serial port (link 1) or board index
static int K617_Gdev;       // board device descriptor from ibdev
static bool K617_LinkDown;  // board device offline (failed or closed) until the next open
static bool K617_Failed;    // a board call failed since the last open
static LinkStatus K617_Status = LINK_IDLE;  // outcome of the last exchange

static const double kAfterOpen = 0.1;      // s
static const double kAfterClear = 2.0;     // s: the instrument resets its settings
static const double kAfterCommand = 0.1;   // s: the instrument parses and executes
static const double kAfterRange = 1.0;     // s: range relays and input settle
static const double kZeroCheckSettle = 2.0;  // s with zero check on before the zero is stored

static bool controllerLink() { return K617_Interface == 1; }

// After every board call: a failure is reported (GpibError) and takes the link down. Returns
// true when the call succeeded.
static bool boardCheck() {
    if (!(ibsta & GPIB_ERR)) return true;
    GpibError("OpenDev Error");
    return false;
}

// A board call after the link went down: nothing goes to the board (its descriptor was freed
// when the device was taken offline), and the report was printed once already.
static bool boardDown() {
    if (!K617_LinkDown) return false;
    K617_Status = LINK_NOT_OPEN;
    return true;
}

// The controller link's status after the exchange that just ended.
static void controllerStatus() { K617_Status = PROLOGIX_LinkStatus(); }

// ---- Link ----

int K617_open(int interface, int port, int primary_addr, int secondary_addr, int timeout) {
    K617_Interface = interface;
    K617_Port = port;
    K617_LinkDown = false;
    K617_Failed = false;
    K617_Status = LINK_IDLE;
    int rc = 0;
    if (controllerLink()) {
        char cmd[K617_BufSize];
        PROLOGIX_Open(K617_Port);
        std::snprintf(cmd, sizeof cmd, "++addr %d", primary_addr);
        PROLOGIX_Send(cmd);
        PROLOGIX_Send("++auto 0");        // no read-back after every line; we ask with ++read
        PROLOGIX_Send("++eoi 1");         // EOI with the last byte sent
        PROLOGIX_Send("++eot_enable 0");  // nothing appended to replies at EOI
        rc = PROLOGIX_Send("++read_tmo_ms 1000");
        controllerStatus();
    } else {
        K617_Gdev = ibdev(K617_Port, primary_addr, secondary_addr, timeout, 1, 0);
        if (!boardCheck()) return -1;
    }
    Delay(kAfterOpen);
    return rc;
}

int K617_clear(void) {
    int rc = 0;
    if (controllerLink()) {
        rc = PROLOGIX_Send("++clr");
        controllerStatus();
    } else {
        if (boardDown()) return -1;
        ibclr(K617_Gdev);
        if (!boardCheck()) return -1;
        K617_Status = LINK_IDLE;
    }
    Delay(kAfterClear);
    return rc;
}

int K617_send(const char *cmd, int len) {
    int rc = 0;
    if (controllerLink()) {
        rc = PROLOGIX_Send(cmd);
        controllerStatus();
    } else {
        if (boardDown()) return -1;
        ibwrt(K617_Gdev, cmd, len);
        if (!boardCheck()) return -1;
        K617_Status = LINK_IDLE;
    }
    Delay(kAfterCommand);
    return rc;
}

int K617_receive(char *response, int maxbyt) {
    if (controllerLink()) {
        PROLOGIX_Send("++read eoi");
        int n = PROLOGIX_Receive(response, maxbyt);
        controllerStatus();
        return n;
    }
    if (maxbyt >= 0) response[0] = '\0';
    if (boardDown()) return -1;
    ibrd(K617_Gdev, response, maxbyt);
    if (!boardCheck()) {
        if (maxbyt >= 0) response[0] = '\0';
        return -1;
    }
    K617_Status = LINK_ANSWERED;
    long n = ibcntl;
    if (n < 0) n = 0;
    if (n > maxbyt) n = maxbyt;  // a library that reports more than it may store
    response[n] = '\0';
    return static_cast<int>(n);
}

int K617_close(void) {
    if (controllerLink()) {
        PROLOGIX_Close();
        return 0;
    }
    if (boardDown()) return -1;
    ibonl(K617_Gdev, 0);
    if (!boardCheck()) return -1;
    K617_LinkDown = true;  // offline now: nothing more goes to the board
    K617_Status = LINK_NOT_OPEN;
    return 0;
}

bool K617_link_failed(void) { return K617_Failed; }

LinkStatus K617_LinkStatus(void) { return K617_Status; }

void GpibError(const char *msg) {
    static const struct {
        int bit;
        const char *text;
    } bits[] = {{GPIB_ERR, " ERR"},   {GPIB_TIMO, " TIMO"}, {GPIB_END, " END"},   {GPIB_SRQI, " SRQI"},
                {GPIB_RQS, " RQS"},   {GPIB_CMPL, " CMPL"}, {GPIB_LOK, " LOK"},   {GPIB_REM, " REM"},
                {GPIB_CIC, " CIC"},   {GPIB_ATN, " ATN"},   {GPIB_TACS, " TACS"}, {GPIB_LACS, " LACS"},
                {GPIB_DTAS, " DTAS"}, {GPIB_DCAS, " DCAS"}};
    static const struct {
        int code;
        const char *text;
    } errors[] = {{0, " EDVR <DOS Error>\n"},
                  {1, " ECIC <Not Controller-In-Charge>\n"},
                  {2, " ENOL <No Listener>\n"},
                  {3, " EADR <Address error>\n"},
                  {4, " EARG <Invalid argument>\n"},
                  {5, " ESAC <Not System Controller>\n"},
                  {6, " EABO <Operation aborted>\n"},
                  {7, " ENEB <No GPIB board>\n"},
                  {10, " EOIP <Async I/O in progress>\n"},
                  {11, " ECAP <No capability>\n"},
                  {12, " EFSO <File system error>\n"},
                  {14, " EBUS <Command error>\n"},
                  {15, " ESTB <Status byte lost>\n"},
                  {16, " ESRQ <SRQ stuck on>\n"},
                  {20, " ETAB <Table Overflow>\n"}};
    // The status of the failed call, before ibonl below replaces it.
    int sta = ibsta, err = iberr;
    long cntl = ibcntl;
    std::printf("%s\n", msg ? msg : "");
    std::printf("ibsta = &H%x  <", static_cast<unsigned>(sta));
    for (const auto &b : bits)
        if (sta & b.bit) std::printf("%s", b.text);
    std::printf(" >\n");
    std::printf("iberr = %d", err);
    for (const auto &e : errors)
        if (err == e.code) std::printf("%s", e.text);
    std::printf("ibcntl = %ld\n", cntl);
    std::printf("\n");
    std::fflush(stdout);
    ibonl(K617_Gdev, 0);
    // The device is offline and its descriptor freed: the link stays down until the next open,
    // and the caller hands the failure up instead of ending the program, so that the application
    // can still take the motor power off.
    K617_LinkDown = true;
    K617_Failed = true;
    K617_Status = LINK_PORT_FAILED;
}

// ---- Formatting and parsing ----

int K617_parse_status(const char *reply, K617STATUS *st) {
    if (!reply || !st) return 0;
    // Scanned into a copy: a reply cut short inside the two terminator characters must not leave
    // one of them half-written (the C library counts a %2c that met the end after one character).
    K617STATUS s = *st;
    int termAt = -1;
    int n = std::sscanf(reply, " 617%1d%2d%1d%1d%1d%1d%1d%1d%1d%1d%1d%2d%1d%n%2c", &s.function, &s.range,
                        &s.zero_check, &s.zero_correct, &s.suppress, &s.trigger, &s.vsource_operate,
                        &s.read_mode, &s.data_prefix, &s.display, &s.data_store, &s.srq, &s.eoi, &termAt,
                        s.terminator);
    if (n < 0) n = 0;
    if (n == 14 && (termAt < 0 || std::strlen(reply + termAt) < 2)) n = 13;
    if (n < 14) std::memcpy(s.terminator, st->terminator, sizeof s.terminator);
    *st = s;
    return n;
}

double K617_parse_reading(const char *reply, char *prefix, int *loc) {
    double value = std::numeric_limits<double>::quiet_NaN();
    if (!reply) reply = "";
    if (loc) {
        char p[5] = {0, 0, 0, 0, 0};
        *loc = -1;
        std::sscanf(reply, "%4c%lg,%d", p, &value, loc);
        if (prefix) std::memcpy(prefix, p, sizeof p);
    } else {
        std::sscanf(reply, "%*4c%lg,%*d", &value);
    }
    return value;
}

float K617_vsource_round(float value) {
    double r = std::floor((static_cast<double>(value) + 0.025) / 0.05) * 0.05;
    if (!(std::fabs(r) <= std::numeric_limits<float>::max())) return value;  // not a float any more
    return static_cast<float>(r);
}

int K617_vsource_format(char *out, int size, float value) {
    if (!out || size <= 0) return -1;
    int n = std::snprintf(out, static_cast<size_t>(size), "V%+0.2fX", static_cast<double>(K617_vsource_round(value)));
    if (n < 0 || n >= size) {
        out[0] = '\0';
        return -1;
    }
    return n;
}

// ---- Commands ----

// Formats one command into a buffer of the module's size and sends it; a command that would not
// fit is not sent.
static void sendf(const char *fmt, int arg) {
    char cmd[K617_BufSize];
    int n = std::snprintf(cmd, sizeof cmd, fmt, arg);
    if (n < 0 || n >= static_cast<int>(sizeof cmd)) return;
    K617_send(cmd, n);
}

// Reads one reply into buf (K617_BufSize); a failed or empty read leaves an empty string.
static void receive(char *buf, int limit) {
    buf[0] = '\0';
    if (K617_receive(buf, limit) < 0) buf[0] = '\0';
}

int K617_status(void) {
    char reply[K617_BufSize];
    K617_send("U0X", 3);
    receive(reply, K617_StatusLimit);
    return K617_parse_status(reply, &K617Stat);
}

void K617_data_format(int mode) { sendf("G%dX", mode); }

double K617_get(char *prefix, int *loc) {
    char reply[K617_BufSize];
    K617_send("X", 1);
    receive(reply, K617_ReadingLimit);
    return K617_parse_reading(reply, loc ? prefix : nullptr, loc);
}

void K617_current_mode(int range) {
    sendf("F1R%dX", range);
    Delay(kAfterRange);
}

void K617_zero_correct(int zcorrect) {
    K617_send("C0X", 3);
    K617_send("Z0X", 3);
    if (zcorrect) {
        K617_send("C1X", 3);
        Delay(kZeroCheckSettle);
        K617_send("Z1X", 3);
        K617_send("C0X", 3);
    }
}

void K617_trigger_mode(int mode) { sendf("T%dX", mode); }

void K617_reading_mode(int mode) { sendf("B%dX", mode); }

void K617_vsource_set(float value) {
    char cmd[K617_BufSize];
    int n = K617_vsource_format(cmd, sizeof cmd, value);
    if (n < 0) return;
    K617_send(cmd, n);
}

double K617_vsource_get(void) {
    K617_reading_mode(4);
    double v = K617_get(nullptr, nullptr);
    K617_reading_mode(0);
    return v;
}

void K617_vsource_operate(int operate) { K617_send(operate ? "O1X" : "O0X", 3); }
