// Regular files only: opened without waiting, then examined through the open descriptor.
#include "formats/safefile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void set_err(int *err, int v) {
    if (err) *err = v;
}

#ifdef _WIN32
int open_fd(const char *path, int how, bool binary, int *err) {
    int flags = (how == SAFEFILE_READ ? _O_RDONLY : (_O_WRONLY | _O_CREAT)) | (binary ? _O_BINARY : _O_TEXT);
    errno = 0;
    int fd = _open(path, flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        set_err(err, errno ? errno : EIO);
        return -1;
    }
    // A device name (NUL, CON, COM1) opens as a character device, a pipe as a pipe: only a file
    // on a disk is taken.
    struct _stat64 st;
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    bool regular = _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG &&
                   h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK;
    if (!regular) {
        _close(fd);
        set_err(err, SAFEFILE_NOT_REGULAR);
        return -1;
    }
    if (how == SAFEFILE_WRITE && _chsize_s(fd, 0) != 0) {
        int e = errno ? errno : EIO;
        _close(fd);
        set_err(err, e);
        return -1;
    }
    return fd;
}

int close_fd(int fd) { return _close(fd); }
FILE *fd_stream(int fd, const char *mode) { return _fdopen(fd, mode); }
#else
int open_fd(const char *path, int how, bool binary, int *err) {
    (void)binary;
    int flags = (how == SAFEFILE_READ ? O_RDONLY : (O_WRONLY | O_CREAT)) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd;
    do fd = open(path, flags, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int e = errno;
        // A FIFO without a reader refuses a non-blocking open for writing (ENXIO), a socket any
        // open (ENXIO, EOPNOTSUPP): name what the path is instead of the bare code.
        struct stat st;
        if ((e == ENXIO || e == EOPNOTSUPP) && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
            e = SAFEFILE_NOT_REGULAR;
        set_err(err, e);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno ? errno : EIO;
        close(fd);
        set_err(err, e);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        set_err(err, SAFEFILE_NOT_REGULAR);
        return -1;
    }
    // A regular file: reads and writes block as usual from here on.
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 || (how == SAFEFILE_WRITE && ftruncate(fd, 0) != 0)) {
        int e = errno ? errno : EIO;
        close(fd);
        set_err(err, e);
        return -1;
    }
    return fd;
}

int close_fd(int fd) { return close(fd); }
FILE *fd_stream(int fd, const char *mode) { return fdopen(fd, mode); }
#endif

}  // namespace

int safefile_open_fd(const char *path, int how, bool binary, int *err) {
    set_err(err, 0);
    if (!path || !*path || how < SAFEFILE_READ || how > SAFEFILE_UPDATE) {
        set_err(err, path && *path ? EINVAL : ENOENT);
        return -1;
    }
    return open_fd(path, how, binary, err);
}

FILE *safefile_fopen(const char *path, const char *mode, int *err) {
    set_err(err, 0);
    int how;
    if (!mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a') ||
        (mode[1] != 0 && !(mode[1] == 'b' && mode[2] == 0))) {
        set_err(err, EINVAL);
        return nullptr;
    }
    how = mode[0] == 'r' ? SAFEFILE_READ : mode[0] == 'w' ? SAFEFILE_WRITE : SAFEFILE_UPDATE;
    int fd = safefile_open_fd(path, how, mode[1] == 'b', err);
    if (fd < 0) return nullptr;
    FILE *f = fd_stream(fd, mode);
    if (!f) {
        int e = errno ? errno : ENOMEM;
        close_fd(fd);
        set_err(err, e);
        return nullptr;
    }
    return f;
}

long long safefile_size(FILE *f) {
    if (!f) return -1;
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0) return -1;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return -1;
#endif
    return (long long)st.st_size;
}

int safefile_check_new_or_regular(const char *path) {
    if (!path || !*path) return ENOENT;
#ifdef _WIN32
    struct _stat64 st;
    if (_stat64(path, &st) != 0) return errno == ENOENT ? 0 : (errno ? errno : EIO);
    return (st.st_mode & _S_IFMT) == _S_IFREG ? 0 : SAFEFILE_NOT_REGULAR;
#else
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
    return S_ISREG(st.st_mode) ? 0 : SAFEFILE_NOT_REGULAR;
#endif
}

const char *safefile_strerror(int err) {
    if (err == SAFEFILE_NOT_REGULAR) return "not a regular file";
    return strerror(err);
}
