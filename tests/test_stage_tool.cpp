// The technician's stage tool, run as a program on the simulated controllers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

struct Result {
    int status;
    std::string out;  // standard output and error together
};

Result run(const std::string &env, const std::string &args) {
    std::string cmd = "env " + env + " ./vrim-stage " + args + " 2>&1";
    Result r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

const std::string kSim = "VRIM_STATION=sim VRIM_TIME_SCALE=0.01 VRIM_USMC_FLASH=";

}  // namespace

TEST(StageTool, CommandsStatusAndMessages) {
    if (access("./vrim-stage", X_OK) != 0) GTEST_SKIP() << "vrim-stage not built";

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
