// Fault rehearsal on the simulated station: each fault kind must show on the wire (or at the
// stage library) as that kind of fault, "none" must undo it, and the start-up list must be in
// place before any port is opened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/core/clock.h"
#include "platform/usmc/usmcdll.h"
#include "sim/station/station.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const char kX[] = "0000000000004925";
const char kY[] = "0000000000006030";

// A raw end of a simulated instrument's port, as a driver holds it.
struct Port {
    int fd = -1;
    explicit Port(const char *env) {
        const char *p = getenv(env);
        if (!p) return;
        fd = ::open(p, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return;
        termios t{};
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Port() {
        if (fd >= 0) ::close(fd);
    }
    bool send(const std::string &s) { return ::write(fd, s.data(), s.size()) == ssize_t(s.size()); }
    // What arrives within `seconds` of program time, or until `until` has arrived. Sets *gone when
    // the port reports it is no longer there (hang-up). The wait is a time-out: in a run scaled far
    // below real time it lasts what time-outs last there (platform/core/clock.h).
    std::string read(double seconds, const std::string &until = "\n", bool *gone = nullptr) {
        std::string got;
        double end = Timer() + clock_timeout_span(seconds);
        while (Timer() < end) {
            char buf[256];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, size_t(n));
                if (!until.empty() && got.find(until) != std::string::npos) break;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // End of file or an error: the far end hung up.
                if (gone) *gone = true;
                break;
            } else {
                Delay(0.01);
            }
        }
        return got;
    }
};

struct StationFaults : testing::Test {
    void SetUp() override {
        clock_set_scale(0.01);
        unsetenv("VRIM_COM4");
        unsetenv("VRIM_COM5");
    }
    void TearDown() override {
        USMC_Close();
        station_stop();
        unsetenv("VRIM_STATION_FAULTS");
        unsetenv("VRIM_COM4");
        unsetenv("VRIM_COM5");
        clock_set_scale(1);
    }
    void start() {
        std::string err;
        ASSERT_TRUE(station_start(&err)) << err;
    }
    // One query of the electrometer through its adapter: the answer to a talk.
    static std::string talk(Port &p, const std::string &cmd, double seconds = 1.0) {
        p.send(cmd + "\r++read eoi\r");
        return p.read(seconds);
    }
    // Index of the controller with this serial in a fresh library list, or -1.
    static int listed(const char *serial) {
        USMC_Close();
        USMC_Devices d{};
        if (USMC_Init(&d) != 0) return -2;
        for (DWORD i = 0; i < d.NOD; i++)
            if (std::strncmp(d.Serial[i], serial, 16) == 0) return int(i);
        return -1;
    }
};

TEST_F(StationFaults, MonochromatorAnswersAsEachKindSays) {
    start();
    Port p("VRIM_COM4");
    ASSERT_GE(p.fd, 0);
    p.send("?NM\r");
    EXPECT_NE(p.read(2).find("ok\r\n"), std::string::npos);

    ASSERT_EQ(station_fault("mono", "noreply"), 0);
    p.send("?NM\r");
    EXPECT_EQ(p.read(1.5), "");
    ASSERT_EQ(station_fault("mono", "garbled"), 0);
    p.send("?NM\r");
    std::string g = p.read(1.5);
    EXPECT_FALSE(g.empty());
    EXPECT_EQ(g.find("ok"), std::string::npos) << g;
    ASSERT_EQ(station_fault("mono", "cut"), 0);
    p.send("?NM\r");
    std::string c = p.read(1.5);
    EXPECT_FALSE(c.empty());
    EXPECT_EQ(c.find('\n'), std::string::npos) << c;
    ASSERT_EQ(station_fault("mono", "error"), 0);
    p.send("?NM\r");
    EXPECT_EQ(p.read(1.5), " ?\r\n");
    ASSERT_EQ(station_fault("mono", "slow"), 0);
    p.send("?NM\r");
    EXPECT_EQ(p.read(1.0), "");  // past a query's time-out ...
    EXPECT_NE(p.read(3.0).find("ok\r\n"), std::string::npos);  // ... but it comes
    ASSERT_EQ(station_fault("mono", "none"), 0);
    p.send("?NM\r");
    EXPECT_NE(p.read(2).find("ok\r\n"), std::string::npos);
}

TEST_F(StationFaults, ElectrometerAnswersAsEachKindSays) {
    start();
    Port p("VRIM_COM5");
    ASSERT_GE(p.fd, 0);
    std::string r = talk(p, "F1C0X");
    EXPECT_EQ(r.substr(0, 4), "NDCA") << r;

    ASSERT_EQ(station_fault("electrometer", "noreply"), 0);
    EXPECT_EQ(talk(p, "X"), "");
    ASSERT_EQ(station_fault("electrometer", "garbled"), 0);
    r = talk(p, "X");
    EXPECT_FALSE(r.empty());
    EXPECT_EQ(r.find_first_of("0123456789"), std::string::npos) << r;
    ASSERT_EQ(station_fault("electrometer", "cut"), 0);
    r = talk(p, "X");
    EXPECT_FALSE(r.empty());
    EXPECT_EQ(r.find_first_of("\r\n"), std::string::npos) << r;
    // The error answer: the commands are refused, not carried out.
    ASSERT_EQ(station_fault("electrometer", "error"), 0);
    EXPECT_EQ(talk(p, "F0X"), "IDDC\r\n");
    ASSERT_EQ(station_fault("electrometer", "slow"), 0);
    EXPECT_EQ(talk(p, "X", 1.0), "");
    EXPECT_EQ(p.read(3.0).substr(0, 4), "NDCA");  // still the current function: F0 was refused
    ASSERT_EQ(station_fault("electrometer", "none"), 0);
    r = talk(p, "X");
    EXPECT_EQ(r.substr(0, 4), "NDCA") << r;
}

TEST_F(StationFaults, UnpluggedPortGoesAwayAndComesBack) {
    start();
    std::string before = getenv("VRIM_COM4");
    Port p("VRIM_COM4");
    ASSERT_GE(p.fd, 0);
    ASSERT_EQ(station_fault("mono", "unplugged"), 0);
    bool gone = false;
    p.send("?NM\r");
    EXPECT_EQ(p.read(1.0, "\n", &gone), "");
    EXPECT_TRUE(gone);
    EXPECT_NE(access(before.c_str(), F_OK), 0);  // a driver opening it finds no port
    ASSERT_EQ(station_fault("mono", "none"), 0);
    Port q("VRIM_COM4");  // plugged back, perhaps under a new name
    ASSERT_GE(q.fd, 0);
    q.send("?NM\r");
    EXPECT_NE(q.read(2).find("ok\r\n"), std::string::npos);

    ASSERT_EQ(station_fault("electrometer", "unplugged"), 0);
    EXPECT_NE(access(getenv("VRIM_COM5"), F_OK), 0);
    ASSERT_EQ(station_fault("electrometer", "none"), 0);
    Port e("VRIM_COM5");
    ASSERT_GE(e.fd, 0);
    EXPECT_EQ(talk(e, "F1C0X").substr(0, 4), "NDCA");
}

TEST_F(StationFaults, StageKindsAtTheLibrary) {
    start();
    ASSERT_EQ(listed(kX), 0);
    USMC_State st{};
    USMC_StartParameters sp{};
    sp.SDivisor = 8;
    float speed = 2000;

    ASSERT_EQ(station_fault("stage-x", "fail"), 0);
    EXPECT_NE(USMC_Start(0, 100, &speed, &sp), 0u);
    EXPECT_EQ(USMC_Start(1, 100, &speed, &sp), 0u);  // only that axis
    ASSERT_EQ(station_fault("stage-x", "stuck"), 0);
    EXPECT_EQ(USMC_Start(0, 100, &speed, &sp), 0u);
    Delay(5);
    ASSERT_EQ(USMC_GetState(0, &st), 0u);
    EXPECT_EQ(st.CurPos, 100);
    EXPECT_TRUE(st.RUN);  // arrived, yet reports running
    ASSERT_EQ(station_fault("stage-x", "nopoweroff"), 0);
    USMC_Mode m{};
    ASSERT_EQ(USMC_GetMode(0, &m), 0u);
    m.ResetD = TRUE;
    ASSERT_EQ(USMC_SetMode(0, &m), 0u);
    Delay(2);
    ASSERT_EQ(USMC_GetState(0, &st), 0u);
    EXPECT_TRUE(st.Power);
    EXPECT_FALSE(st.RUN);  // one fault at a time: "stuck" was replaced

    // Missing: a listed controller stops answering, and the next opening does not list it.
    ASSERT_EQ(station_fault("stage-x", "missing"), 0);
    EXPECT_EQ(USMC_GetState(0, &st), DWORD(USMC_ERR_DEVICE));
    char text[101];
    USMC_GetLastErr(text, sizeof text);
    EXPECT_NE(std::string(text).find("unplugged"), std::string::npos) << text;
    EXPECT_EQ(listed(kX), -1);
    EXPECT_GE(listed(kY), 0);
    ASSERT_EQ(station_fault("stage-x", "none"), 0);
    EXPECT_GE(listed(kX), 0);
    m.ResetD = FALSE;
}

TEST_F(StationFaults, UnknownNamesAreRefusedWithAMessage) {
    CaptureStderr();
    EXPECT_EQ(station_fault("mono", "noreply"), -1);  // no station yet
    start();
    EXPECT_EQ(station_fault("lamp", "noreply"), -1);
    EXPECT_EQ(station_fault("mono", "stuck"), -1);      // a stage kind
    EXPECT_EQ(station_fault("stage-z", "garbled"), -1);  // a serial kind
    EXPECT_EQ(station_fault(nullptr, nullptr), -1);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("not running"), std::string::npos) << err;
    EXPECT_NE(err.find("unknown instrument \"lamp\""), std::string::npos) << err;
    EXPECT_NE(err.find("unknown fault \"stuck\" of mono"), std::string::npos) << err;
    EXPECT_NE(err.find("unknown fault \"garbled\" of stage-z"), std::string::npos) << err;
    // Nothing changed by the refused calls.
    Port p("VRIM_COM4");
    p.send("?NM\r");
    EXPECT_NE(p.read(2).find("ok\r\n"), std::string::npos);
}

TEST_F(StationFaults, StartUpListIsInPlaceBeforeAnyPortOpens) {
    setenv("VRIM_STATION_FAULTS", "mono:unplugged, electrometer:error,,stage-y:missing,bogus:x,mono", 1);
    CaptureStderr();
    start();
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("\"bogus:x\" skipped"), std::string::npos) << err;
    EXPECT_NE(err.find("\"mono\" is not INSTRUMENT:KIND"), std::string::npos) << err;
    ASSERT_TRUE(getenv("VRIM_COM4"));
    EXPECT_NE(access(getenv("VRIM_COM4"), F_OK), 0);  // a missing port from the start
    Port e("VRIM_COM5");
    ASSERT_GE(e.fd, 0);
    EXPECT_EQ(talk(e, "F1X"), "IDDC\r\n");
    EXPECT_EQ(listed(kY), -1);
    EXPECT_GE(listed(kX), 0);
    ASSERT_EQ(station_fault("stage-y", "none"), 0);
}

}  // namespace
