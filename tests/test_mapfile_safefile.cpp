// Files taken only when they are regular: the opener itself, and the readers and writers of the
// map files that go through it. A FIFO with nobody at its other end would block a plain open for
// ever, so each case here that passes at all shows that nothing waited.
#include <gtest/gtest.h>

// The cases make FIFOs and read POSIX devices; the Windows branch is built by the cross build.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/mapfile.h"
#include "formats/maprecord.h"
#include "formats/mapwrite.h"
#include "formats/safefile.h"

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/vrim-safefile-XXXXXX";
        path = mkdtemp(t) ? t : "/tmp";
    }
    ~TempDir() { (void)system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

std::string read_all(const std::string &p) {
    std::string s;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f) return s;
    char b[256];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    fclose(f);
    return s;
}

void write_all(const std::string &p, const std::string &s) {
    FILE *f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(s.data(), 1, s.size(), f);
    fclose(f);
}

}  // namespace

// Regular files open as a plain fopen would: read, created, cut, kept, appended.
TEST(SafeFile, RegularFilesOpenAsUsual) {
    TempDir d;
    std::string p = d.file("a.txt");
    int err = -1;
    EXPECT_EQ(safefile_fopen(p.c_str(), "r", &err), nullptr);
    EXPECT_EQ(err, ENOENT);

    FILE *f = safefile_fopen(p.c_str(), "w", &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err, 0);
    fputs("hello world", f);
    fclose(f);
    f = safefile_fopen(p.c_str(), "rb", &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(safefile_size(f), 11);
    char b[32] = {0};
    EXPECT_EQ(fread(b, 1, sizeof b, f), 11u);  // reads block as usual: the descriptor is not left non-blocking
    fclose(f);

    f = safefile_fopen(p.c_str(), "a", &err);
    ASSERT_NE(f, nullptr);
    fputs("!", f);
    fclose(f);
    EXPECT_EQ(read_all(p), "hello world!");
    f = safefile_fopen(p.c_str(), "wb", &err);  // an existing regular file is cut
    ASSERT_NE(f, nullptr);
    fputs("x", f);
    fclose(f);
    EXPECT_EQ(read_all(p), "x");

    // A symbolic link to a regular file is that file.
    std::string l = d.file("link.txt");
    ASSERT_EQ(symlink(p.c_str(), l.c_str()), 0);
    f = safefile_fopen(l.c_str(), "r", &err);
    ASSERT_NE(f, nullptr);
    fclose(f);

    EXPECT_EQ(safefile_fopen(p.c_str(), "r+", &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(safefile_check_new_or_regular(p.c_str()), 0);
    EXPECT_EQ(safefile_check_new_or_regular(d.file("new.png").c_str()), 0);
    EXPECT_EQ(safefile_check_new_or_regular(d.file("no/such/new.png").c_str()), 0);  // the writer says why
}

// A FIFO (for reading and for writing, with no one at the other end), a device and a folder are
// refused at once, and none of them is touched.
TEST(SafeFile, FifoDeviceAndFolderRefused) {
    TempDir d;
    std::string fifo = d.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const char *modes[] = {"r", "rb", "w", "wb", "a"};
    for (const char *m : modes) {
        int err = 0;
        EXPECT_EQ(safefile_fopen(fifo.c_str(), m, &err), nullptr) << m;
        EXPECT_EQ(err, SAFEFILE_NOT_REGULAR) << m;
        EXPECT_EQ(safefile_fopen("/dev/zero", m, &err), nullptr) << m;
        EXPECT_EQ(err, SAFEFILE_NOT_REGULAR) << m;
        EXPECT_EQ(safefile_fopen(d.path.c_str(), m, &err), nullptr) << m;
        EXPECT_NE(err, 0) << m;
    }
    int err = 0;
    EXPECT_LT(safefile_open_fd("/dev/null", SAFEFILE_WRITE, true, &err), 0);
    EXPECT_EQ(err, SAFEFILE_NOT_REGULAR);
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    EXPECT_EQ(safefile_check_new_or_regular(fifo.c_str()), SAFEFILE_NOT_REGULAR);
    EXPECT_EQ(safefile_check_new_or_regular("/dev/null"), SAFEFILE_NOT_REGULAR);
    EXPECT_EQ(safefile_check_new_or_regular(d.path.c_str()), SAFEFILE_NOT_REGULAR);
    EXPECT_STREQ(safefile_strerror(SAFEFILE_NOT_REGULAR), "not a regular file");
    EXPECT_STREQ(safefile_strerror(ENOENT), strerror(ENOENT));
}

// The map file's reader, writer, record and hash go through the same door.
TEST(SafeFile, MapFilesRefuseFifosAndDevices) {
    TempDir d;
    std::string fifo = d.file("map.dat");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);

    MapBlocks b;
    EXPECT_EQ(mapfile_load("/dev/zero", &b), MAPREAD_IO);  // never read to its (missing) end
    EXPECT_NE(b.why.find("not a regular file"), std::string::npos) << b.why;
    EXPECT_EQ(mapfile_load(fifo.c_str(), &b), MAPREAD_IO);
    EXPECT_TRUE(b.blocks.empty());

    MapWriter w;
    EXPECT_EQ(mapwrite_open(&w, fifo.c_str(), -1), SAFEFILE_NOT_REGULAR);
    EXPECT_EQ(mapwrite_open(&w, fifo.c_str(), 0), SAFEFILE_NOT_REGULAR);
    EXPECT_EQ(w.fd, -1);
    const unsigned char one[4] = {1, 2, 3, 4};
    EXPECT_EQ(mapwrite_whole_file(fifo.c_str(), one, sizeof one), SAFEFILE_NOT_REGULAR);
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);  // a refused path is not removed
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    std::string json = d.file("map.json");
    ASSERT_EQ(mkfifo(json.c_str(), 0644), 0);
    MapRecordDoc doc;
    std::string why;
    EXPECT_EQ(maprecord_read(json, &doc, &why), -1);
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    std::string hex;
    EXPECT_EQ(sha256_file(json.c_str(), &hex), -1);

    // A regular map file still writes and loads.
    std::string reg = d.file("ok.dat");
    ASSERT_EQ(mapwrite_whole_file(reg.c_str(), one, sizeof one), 0);
    write_all(reg, std::string());
    EXPECT_EQ(mapfile_load(reg.c_str(), &b), MAPREAD_END);
}

#endif  // _WIN32
