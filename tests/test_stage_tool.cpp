// The technician's stage tool, run as a program on the simulated controllers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "platform/core/env.h"

namespace {

#if defined(_WIN32)
const char kTool[] = "vrim-stage.exe";
#else
const char kTool[] = "./vrim-stage";
#endif

struct Result {
    int status;
    std::string out;  // standard output and error together
};

// Runs the tool with the variables of env ("NAME=value ..."; an empty value unsets) set for it,
// then puts the test's own environment back.
Result run(const std::string &env, const std::string &args) {
    std::vector<std::pair<std::string, std::string>> saved;
    std::istringstream vars(env);
    for (std::string kv; vars >> kv;) {
        std::string name = kv.substr(0, kv.find('=')), value = kv.substr(kv.find('=') + 1);
        const char *old = std::getenv(name.c_str());
        saved.emplace_back(name, old ? old : "");
        if (value.empty()) unsetenv(name.c_str());
        else setenv(name.c_str(), value.c_str(), 1);
    }
    std::string cmd = std::string(kTool) + " " + args + " 2>&1";
    Result r{-1, ""};
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
#if defined(_WIN32)
        r.status = st;
#else
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#endif
    }
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->second.empty()) unsetenv(it->first.c_str());
        else setenv(it->first.c_str(), it->second.c_str(), 1);
    }
    return r;
}

const std::string kSim = "VRIM_STATION=sim VRIM_TIME_SCALE=0.01 VRIM_USMC_FLASH=";

}  // namespace

TEST(StageTool, CommandsStatusAndMessages) {
    if (access(kTool, F_OK) != 0) GTEST_SKIP() << "vrim-stage not built";

    Result help = run(kSim, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: vrim-stage"), std::string::npos);

    Result ok = run(kSim, "2 init 1 move 15000 moveby -5000 pos serial 0000000000002894 pos");
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(ok.out.rfind("Device - 0,\tSerial Number - 0000000000004925,\tVersion - 2.41\n", 0), 0u);
    EXPECT_NE(ok.out.find("2 Position 10000\n3 Position 0\n"), std::string::npos) << ok.out;

    Result unknown = run(kSim, "1 pos 9 pos");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.out.find("1 Position 0\n"), std::string::npos);
    EXPECT_NE(unknown.out.find("unknown node 9"), std::string::npos) << unknown.out;

    Result noPower = run(kSim, "1 off move 100");
    EXPECT_EQ(noPower.status, 1);
    EXPECT_NE(noPower.out.find("node 1: move failed"), std::string::npos) << noPower.out;
    EXPECT_NE(noPower.out.find("power is off"), std::string::npos) << noPower.out;

    EXPECT_EQ(run(kSim, "1 frob").status, 2);
    EXPECT_EQ(run(kSim, "pos").status, 1);  // no node selected

    Result noLib = run("VRIM_STATION=real VRIM_USMC_LIBRARY=/nonexistent/libstages.so", "list");
    EXPECT_EQ(noLib.status, 1);
    EXPECT_NE(noLib.out.find("/nonexistent/libstages.so"), std::string::npos) << noLib.out;
}

// The tool on a loaded library (the tests' stand-in for the maker's): on Windows found by its
// default name beside the program, elsewhere named in the environment. A library that writes past
// its records is reported once per operation, and the tool goes on with intact records.
TEST(StageTool, ListsTheControllersOfALoadedLibrary) {
    if (access(kTool, F_OK) != 0) GTEST_SKIP() << "vrim-stage not built";
#if defined(_WIN32)
    const std::string lib = "VRIM_STATION=real VRIM_USMC_LIBRARY=";
#else
    const std::string lib = "VRIM_STATION=real VRIM_USMC_LIBRARY=" VRIM_TESTLIB_PATH;
#endif
    Result list = run(lib + " VRIM_TESTLIB_OVERRUN=", "list 2 on move 1234 pos");
    EXPECT_EQ(list.status, 0) << list.out;
    EXPECT_EQ(list.out.rfind("Device - 0,\tSerial Number - TESTDLL000000001,\tVersion - 9.01\n"
                             "Device - 1,\tSerial Number - TESTDLL000000002,\tVersion - 9.02\n", 0), 0u)
        << list.out;
    EXPECT_NE(list.out.find("2 Position 1234\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("past the end"), std::string::npos) << list.out;

    Result over = run(lib + " VRIM_TESTLIB_OVERRUN=24", "list 1 state state pos");
    EXPECT_EQ(over.status, 0) << over.out;
    EXPECT_NE(over.out.find("Device - 1,\tSerial Number - TESTDLL000000002"), std::string::npos) << over.out;
    const std::string report = "Stage controller library: USMC_GetState wrote 24 bytes past the end of its";
    size_t at = over.out.find(report);
    EXPECT_NE(at, std::string::npos) << over.out;
    EXPECT_EQ(over.out.find(report, at + 1), std::string::npos) << "reported more than once:\n" << over.out;
    EXPECT_NE(over.out.find("USMC_Init wrote 24 bytes"), std::string::npos) << over.out;
    EXPECT_NE(over.out.find("1 Position 0\n"), std::string::npos) << over.out;
}
