// The loader and the stage library layer on a real loaded library: the tests' stand-in for the
// maker's library (tests/support/usmc_testlib.cpp), built as a shared library beside the tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "instr/uSMC/uSMC.h"
#include "platform/core/dynlib.h"
#include "platform/core/guard.h"
#include "sim/uSMC/usmc_sim.h"

namespace {
std::vector<std::string> g_reports;
void collect(const char *line) { g_reports.push_back(line); }

// Opens the stand-in library through the stage layer, with overrun bytes written past each
// record it fills; restores the environment and the console reporter afterwards.
class LoadedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        usmc_sim_select(false);
        const char *st = std::getenv("VRIM_STATION");
        station_ = st ? st : "";
        unsetenv("VRIM_STATION");
        setenv("VRIM_USMC_LIBRARY", VRIM_TESTLIB_PATH, 1);
        g_reports.clear();
        guard_reset();
        guard_set_reporter(collect);
    }
    void TearDown() override {
        uSMC_Close();
        unsetenv("VRIM_TESTLIB_OVERRUN");
        unsetenv("VRIM_USMC_LIBRARY");
        if (!station_.empty()) setenv("VRIM_STATION", station_.c_str(), 1);
        guard_set_reporter(nullptr);
        guard_reset();
    }
    std::string station_;
};
}  // namespace

TEST(Loader, FindsLibrariesAndOperationsOrSaysWhyNot) {
    char why[300] = "";
    EXPECT_EQ(dynlib_open("/nonexistent/vrim-no-such-library.so", why, sizeof why), nullptr);
    EXPECT_GT(std::strlen(why), 5u) << why;
    EXPECT_EQ(std::string(why).find("unknown reason"), std::string::npos) << why;
#if defined(_WIN32)
    EXPECT_NE(std::string(why).find("(error 126)"), std::string::npos) << why;  // module not found
#endif

    DynLib *lib = dynlib_open(VRIM_TESTLIB_PATH, why, sizeof why);
    ASSERT_NE(lib, nullptr) << why;
    EXPECT_NE(dynlib_symbol(lib, "USMC_Init", why, sizeof why), nullptr) << why;
    why[0] = 0;
    EXPECT_EQ(dynlib_symbol(lib, "USMC_NoSuchOperation", why, sizeof why), nullptr);
    EXPECT_GT(std::strlen(why), 5u) << why;
#if defined(_WIN32)
    EXPECT_NE(std::string(why).find("(error 127)"), std::string::npos) << why;  // procedure not found
#else
    EXPECT_NE(std::string(why).find("USMC_NoSuchOperation"), std::string::npos) << why;
#endif
    // A short buffer is cut, not overrun; no buffer at all is allowed.
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(dynlib_symbol(lib, "USMC_NoSuchOperation", small, 4), nullptr);
    EXPECT_LT(std::strlen(small), 4u);
    EXPECT_EQ(small[5], '#');
    EXPECT_EQ(dynlib_symbol(lib, "USMC_NoSuchOperation", nullptr, 0), nullptr);
    dynlib_close(lib);

    EXPECT_EQ(dynlib_symbol(nullptr, "USMC_Init", why, sizeof why), nullptr);
    EXPECT_STREQ(why, "no library open");
    EXPECT_EQ(dynlib_open("", why, sizeof why), nullptr);
    dynlib_close(nullptr);
}

TEST_F(LoadedLibrary, DriverRunsOnTheLoadedLibrary) {
    ASSERT_EQ(uSMC_Open(), 0);
    EXPECT_EQ(uSMC_DeviceCount(), 2);
    EXPECT_EQ(uSMC_FindSerial("TESTDLL000000002"), 1);
    EXPECT_EQ(uSMC_MoveTo(2, -777), 0);
    int pos = 0;
    EXPECT_EQ(uSMC_GetPosition(2, &pos), 0);
    EXPECT_EQ(pos, -777);
    EXPECT_EQ(uSMC_PowerOff(1), 0);
    EXPECT_NE(uSMC_MoveTo(1, 5), 0);  // the library's own failure, handed up
    char text[101];
    USMC_GetLastErr(text, sizeof text);
    EXPECT_STREQ(text, "motor power is off");
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(guard_overruns(), 0);
}

TEST_F(LoadedLibrary, RecordTailWrittenIntoIsReportedOnceAndNothingElseOverwritten) {
    setenv("VRIM_TESTLIB_OVERRUN", "40", 1);
    ASSERT_EQ(uSMC_Open(), 0);
    ASSERT_EQ(uSMC_DeviceCount(), 2);
    ASSERT_EQ(uSMC_MoveTo(1, 4321), 0);

    // The caller's record sits between two guards of its own: neither may change.
    struct {
        unsigned char before[64];
        USMC_State s;
        unsigned char after[64];
    } probe;
    std::memset(&probe, 0xC3, sizeof probe);
    size_t reportsBefore = g_reports.size();
    int countBefore = guard_overruns();
    for (int i = 0; i < 3; i++) ASSERT_EQ(USMC_GetState(0, &probe.s), 0u);
    EXPECT_EQ(probe.s.CurPos, 4321);
    EXPECT_EQ(probe.s.SDivisor, 8);
    EXPECT_FLOAT_EQ(probe.s.Voltage, 12.0f);
    for (unsigned char b : probe.before) ASSERT_EQ(b, 0xC3);
    for (unsigned char b : probe.after) ASSERT_EQ(b, 0xC3);
    EXPECT_EQ(guard_overruns(), countBefore + 3);

    // USMC_GetState was reported during the move already; the three calls add nothing.
    EXPECT_EQ(g_reports.size(), reportsBefore);
    int stateReports = 0;
    for (const std::string &r : g_reports) {
        if (r.find("USMC_GetState wrote 40 bytes past the end of its") != std::string::npos) stateReports++;
        EXPECT_EQ(r.rfind("Stage controller library: ", 0), 0u) << r;
    }
    EXPECT_EQ(stateReports, 1);
    bool initReported = false;
    for (const std::string &r : g_reports) initReported |= r.find("USMC_Init wrote 40 bytes") != std::string::npos;
    EXPECT_TRUE(initReported);

    // The list the library filled is whole.
    EXPECT_EQ(uSMC_FindSerial("TESTDLL000000001"), 0);
}

// The wording of the two kinds of report: caught within the spare bytes, or past all of them.
TEST(GuardReport, SaysWhetherTheOverrunStayedInTheSpareBytes) {
    static std::vector<std::string> lines;
    lines.clear();
    guard_reset();
    guard_set_reporter([](const char *line) { lines.push_back(line); });
    guard_report("Lib", "OpA", "R", 8, 0);
    guard_report("Lib", "OpA", "R", 8, 1);
    guard_report("Lib", "OpA", "R", 8, 5);  // same operation: counted, not said again
    guard_report("Lib", "OpB", "R", 8, kGuardTail);
    EXPECT_EQ(guard_overruns(), 3);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Lib: OpA wrote 1 byte past the end of its 8-byte R record.", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("intact"), std::string::npos);
    EXPECT_NE(lines[1].find("past all 256 spare bytes"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("may be damaged"), std::string::npos) << lines[1];

    unsigned char tail[kGuardTail];
    std::memset(tail, kGuardPattern, sizeof tail);
    EXPECT_EQ(guard_overrun(tail, sizeof tail), 0u);
    tail[9] = 0;  // a byte written further in counts up to it, even when those before look untouched
    EXPECT_EQ(guard_overrun(tail, sizeof tail), 10u);
    guard_set_reporter(nullptr);
    guard_reset();
}

// The library's error text comes back with all the characters it was allowed, the 100th
// included, and PrintError prints it whole; a longer text is cut at 100, and nothing spills
// past the record.
TEST_F(LoadedLibrary, ErrorTextKeepsAllOfItsHundredCharacters) {
    ASSERT_EQ(uSMC_Open(), 0);
    std::string hundred;
    for (int i = 0; i < 100; i++) hundred += char('A' + i % 26);
    setenv("VRIM_TESTLIB_ERRTEXT", hundred.c_str(), 1);
    testing::internal::CaptureStdout();
    PrintError();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n" + hundred);

    char text[101];
    std::memset(text, 0, sizeof text);
    USMC_GetLastErr(text, 100);
    EXPECT_EQ(std::string(text), hundred);

    setenv("VRIM_TESTLIB_ERRTEXT", (hundred + "overlong tail").c_str(), 1);
    testing::internal::CaptureStdout();
    PrintError();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n" + hundred);

    // A short text is passed on with its terminator.
    setenv("VRIM_TESTLIB_ERRTEXT", "short", 1);
    std::memset(text, '#', sizeof text);
    USMC_GetLastErr(text, 100);
    EXPECT_STREQ(text, "short");
    unsetenv("VRIM_TESTLIB_ERRTEXT");
    EXPECT_TRUE(g_reports.empty());
}

// The stop operation reaches the loaded library.
TEST_F(LoadedLibrary, StopReachesTheLibrary) {
    ASSERT_EQ(uSMC_Open(), 0);
    EXPECT_EQ(USMC_Stop(0), 0u);
    EXPECT_NE(USMC_Stop(7), 0u);  // the library's own refusal, handed up
    char text[101] = {0};
    USMC_GetLastErr(text, 100);
    EXPECT_STREQ(text, "no device 7");
}
