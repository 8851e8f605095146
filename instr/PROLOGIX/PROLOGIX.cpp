#include "instr/PROLOGIX/PROLOGIX.h"

#include <cstdio>
#include <cstring>

#include "platform/core/clock.h"
#include "platform/core/linkstatus.h"
#include "platform/core/rs232.h"

static int PROLOGIX_Port;                    // serial port number given to PROLOGIX_Open
static char PROLOGIX_Out[PROLOGIX_BufSize];  // outgoing line: text, CR, NUL
static int nout;                             // length of the last outgoing line, CR included
static int nin;                              // result of the last line read
static LinkStatus PROLOGIX_Status = LINK_IDLE;  // outcome of the last open, write or read

static const double kLineGap = 0.05;  // s before every line: the controller needs it between lines
static const double kIoTimeout = 3.1;  // s for every write and read

int PROLOGIX_FormatLine(char *out, int size, const char *command) {
    if (!out || size <= 0 || !command) return -1;
    size_t len = std::strlen(command);
    if (len + 2 > static_cast<size_t>(size)) return -1;  // text + CR + NUL must fit
    std::memcpy(out, command, len);
    out[len] = '\r';
    out[len + 1] = '\0';
    return static_cast<int>(len + 1);
}

int PROLOGIX_Open(int port) {
    PROLOGIX_Port = port;
    int rc = OpenComConfig(PROLOGIX_Port, "", 38400, 0, 8, 1, 512, 512);
    if (rc != 0) {
        PROLOGIX_Status = LINK_NOT_OPEN;
        return rc;
    }
    PROLOGIX_Status = LINK_IDLE;
    SetXMode(PROLOGIX_Port, 0);
    SetCTSMode(PROLOGIX_Port, 0);
    SetComTime(PROLOGIX_Port, kIoTimeout);
    PROLOGIX_Send("++savecfg 0");
    return 0;
}

int PROLOGIX_Send(const char *command) {
    Delay(kLineGap);
    FlushInQ(PROLOGIX_Port);
    // A command that does not fit the line buffer is refused rather than cut or overrun.
    nout = PROLOGIX_FormatLine(PROLOGIX_Out, sizeof PROLOGIX_Out, command);
    if (nout < 0) {
        nout = 0;
        PROLOGIX_Status = LINK_IDLE;
        return -1;
    }
    int written = ComWrt(PROLOGIX_Port, PROLOGIX_Out, nout);
    PROLOGIX_Status = written == nout ? LINK_IDLE : link_status_of_write(written);
    return written == nout ? 0 : -1;
}

int PROLOGIX_Receive(char *received, int length) {
    if (!received) return kRS232_NullPointer;
    nin = ComRdTerm(PROLOGIX_Port, received, length, '\n');
    PROLOGIX_Status = link_status_of_read(nin);
    if (nin >= 0)
        received[nin] = '\0';
    else if (length >= 0)
        received[0] = '\0';  // a failed or cut-short read leaves nothing a caller could parse
    return nin;
}

int PROLOGIX_SetAddr(int *primaryAddr, int *secondaryAddr) {
    if (!primaryAddr || !secondaryAddr) return -1;
    char buf[PROLOGIX_BufSize];
    if (*primaryAddr < 0) {
        buf[0] = '\0';
        PROLOGIX_Send("++addr");
        PROLOGIX_Receive(buf, sizeof buf - 1);
        return std::sscanf(buf, "%d %d", primaryAddr, secondaryAddr);
    }
    if (*primaryAddr > 30) return -1;
    std::snprintf(buf, sizeof buf, "++addr %d", *primaryAddr);
    if (*secondaryAddr >= 0 && *secondaryAddr <= 30) {
        size_t n = std::strlen(buf);
        std::snprintf(buf + n, sizeof buf - n, " %d", *secondaryAddr);
    }
    return PROLOGIX_Send(buf);
}

void PROLOGIX_Close(void) {
    CloseCom(PROLOGIX_Port);
    PROLOGIX_Status = LINK_NOT_OPEN;
}

LinkStatus PROLOGIX_LinkStatus(void) { return PROLOGIX_Status; }
