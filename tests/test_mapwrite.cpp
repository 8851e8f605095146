// The durable block writer: blocks back to back from a fresh or a kept file, and a write that the
// system refuses part way through a block (a file size limit, in a child process) leaving whole
// blocks only.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/app_run.h"
#include "formats/mapwrite.h"

namespace {

std::string tmpdir() {
    char t[] = "/tmp/vrim-mw-XXXXXX";
    return mkdtemp(t) ? std::string(t) : std::string("/tmp");
}

std::string pattern(size_t n, char c) { return std::string(n, c); }

}  // namespace

TEST(MapWrite, AppendsAndKeepsWholeBlocks) {
    std::string d = tmpdir(), path = d + "/m.dat";
    MapWriter w;
    ASSERT_EQ(mapwrite_open(&w, path.c_str(), -1), 0);
    std::string a = pattern(300, 'a'), b = pattern(300, 'b');
    EXPECT_EQ(mapwrite_block(&w, (const unsigned char *)a.data(), a.size(), nullptr), 0);
    EXPECT_EQ(mapwrite_block(&w, (const unsigned char *)b.data(), b.size(), nullptr), 0);
    EXPECT_EQ(w.whole, 600);
    EXPECT_EQ(w.blocks, 2);
    EXPECT_EQ(mapwrite_close(&w), 0);
    EXPECT_EQ(app_read_text(path), a + b);

    // Kept to its first block and a half: the half goes, blocks follow the whole one.
    app_write_text(path, a + b.substr(0, 150));
    ASSERT_EQ(mapwrite_open(&w, path.c_str(), 300), 0);
    EXPECT_EQ(mapwrite_block(&w, (const unsigned char *)b.data(), b.size(), nullptr), 0);
    mapwrite_close(&w);
    EXPECT_EQ(app_read_text(path), a + b);
    // A file shorter than what is to be kept is refused and left alone.
    EXPECT_EQ(mapwrite_open(&w, path.c_str(), 601), EINVAL);
    EXPECT_EQ(app_read_text(path), a + b);
    // Replacing truncates.
    ASSERT_EQ(mapwrite_open(&w, path.c_str(), -1), 0);
    mapwrite_close(&w);
    EXPECT_EQ(app_read_text(path), "");
    EXPECT_NE(mapwrite_open(&w, (d + "/no/such/m.dat").c_str(), -1), 0);
}

TEST(MapWrite, FailedWriteIsCutBackToWholeBlocks) {
    std::string d = tmpdir(), path = d + "/m.dat";
    // The child may write at most 2.5 blocks of 20040 bytes; the third block is refused part way.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {50100, 50100};
        setrlimit(RLIMIT_FSIZE, &rl);
        MapWriter w;
        if (mapwrite_open(&w, path.c_str(), -1) != 0) _exit(10);
        std::string blk = pattern(20040, 'x');
        for (int k = 0; k < 2; k++)
            if (mapwrite_block(&w, (const unsigned char *)blk.data(), blk.size(), nullptr) != 0) _exit(11);
        int cut = -1;
        int e = mapwrite_block(&w, (const unsigned char *)blk.data(), blk.size(), &cut);
        if (e != EFBIG) _exit(12);
        if (cut != 0 || w.whole != 40080 || w.blocks != 2) _exit(13);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(app_read_text(path).size(), 40080u);
}
