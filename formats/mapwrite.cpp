// Durable block writer over the system's own file calls (no stream buffer between the block and
// the disk, so that one block is one write and the sync covers all of it).
#include "formats/mapwrite.h"
#include "formats/safefile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
long long sys_write(int fd, const unsigned char *p, size_t n) {
    unsigned chunk = n > (size_t)INT_MAX ? (unsigned)INT_MAX : (unsigned)n;
    return _write(fd, p, chunk);
}
int sys_sync(int fd) { return _commit(fd); }
int sys_cut(int fd, long long len) { return _chsize_s(fd, len) == 0 ? 0 : -1; }
long long sys_seek(int fd, long long off) { return _lseeki64(fd, off, SEEK_SET); }
long long sys_size(int fd) { return _lseeki64(fd, 0, SEEK_END); }
int sys_close(int fd) { return _close(fd); }
// A folder cannot be synced on Windows; the file's own sync covers its directory entry there.
int sync_folder(const char *) { return 0; }
#else
long long sys_write(int fd, const unsigned char *p, size_t n) { return write(fd, p, n); }
int sys_sync(int fd) {
    int r;
    do r = fsync(fd);
    while (r != 0 && errno == EINTR);
    return r;
}
int sys_cut(int fd, long long len) { return ftruncate(fd, (off_t)len); }
long long sys_seek(int fd, long long off) { return lseek(fd, (off_t)off, SEEK_SET); }
long long sys_size(int fd) { return lseek(fd, 0, SEEK_END); }
int sys_close(int fd) { return close(fd); }
// Syncs the folder that holds path, so that a file just created or cut keeps its entry.
int sync_folder(const char *path) {
    std::string p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : p.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int r = sys_sync(fd) == 0 ? 0 : errno;
    close(fd);
    // Some file systems do not sync folders; that is not a failure of the map file.
    return (r == EINVAL || r == EROFS) ? 0 : r;
}
#endif

// Writes all of p[0 .. n) at the file's position. Returns 0 or an errno (EIO when a write took
// nothing without saying why).
int write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        long long got = sys_write(fd, p, n);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno ? errno : EIO;
        }
        if (got == 0) return EIO;
        p += got;
        n -= (size_t)got;
    }
    return 0;
}

}  // namespace

int mapwrite_open(MapWriter *w, const char *path, long long keep) {
    *w = MapWriter{};
    // Only a regular file (or a new one) takes blocks: a FIFO or a device is refused at once.
    int openErr = 0;
    int fd = safefile_open_fd(path, keep < 0 ? SAFEFILE_WRITE : SAFEFILE_UPDATE, true, &openErr);
    if (fd < 0) return openErr ? openErr : EIO;
    int err = 0;
    if (keep >= 0) {
        long long size = sys_size(fd);
        if (size < 0)
            err = errno ? errno : EIO;
        else if (size < keep)
            err = EINVAL;
        else if (size > keep && sys_cut(fd, keep) != 0)
            err = errno ? errno : EIO;
        else if (sys_seek(fd, keep) != keep)
            err = errno ? errno : EIO;
        else if (size > keep && sys_sync(fd) != 0)
            err = errno ? errno : EIO;
    }
    if (!err) err = sync_folder(path);
    if (err) {
        sys_close(fd);
        return err;
    }
    w->fd = fd;
    w->whole = keep < 0 ? 0 : keep;
    w->path = path;
    return 0;
}

int mapwrite_block(MapWriter *w, const unsigned char *data, size_t len, int *cutErr) {
    if (cutErr) *cutErr = 0;
    if (w->fd < 0) return EBADF;
    int err = write_all(w->fd, data, len);
    if (!err && sys_sync(w->fd) != 0) err = errno ? errno : EIO;
    if (!err) {
        w->whole += (long long)len;
        w->blocks++;
        return 0;
    }
    // Take back whatever part of the block went out, so the file ends after a whole block.
    int cut = 0;
    if (sys_cut(w->fd, w->whole) != 0 || sys_seek(w->fd, w->whole) != w->whole)
        cut = errno ? errno : EIO;
    else if (sys_sync(w->fd) != 0)
        cut = errno ? errno : EIO;
    if (cutErr) *cutErr = cut;
    return err;
}

int mapwrite_close(MapWriter *w) {
    if (w->fd < 0) return 0;
    int r = sys_close(w->fd) == 0 ? 0 : (errno ? errno : EIO);
    w->fd = -1;
    return r;
}

int mapwrite_whole_file(const char *path, const unsigned char *data, size_t len) {
    MapWriter w;
    int err = mapwrite_open(&w, path, -1);
    if (err) return err;
    err = mapwrite_block(&w, data, len, nullptr);
    int c = mapwrite_close(&w);
    if (!err) err = c;
    if (err) remove(path);
    return err;
}
