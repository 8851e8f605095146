#include "sim/pty_line.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/core/inproc_line.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

SimLineKind sim_line_default_kind() {
    if (const char *k = std::getenv("VRIM_SIM_LINE")) {
        if (!std::strcmp(k, "inproc")) return SimLineKind::InProcess;
        if (!std::strcmp(k, "pty")) return SimLineKind::Pty;
    }
#if defined(_WIN32)
    return SimLineKind::InProcess;
#else
    return SimLineKind::Pty;
#endif
}

PtyLine::PtyLine() = default;

PtyLine::~PtyLine() { stop(); }

bool PtyLine::start() { return start(sim_line_default_kind()); }

bool PtyLine::start(SimLineKind kind) {
    if (running_) return true;
    kind_ = kind;
    if (kind == SimLineKind::InProcess) {
        inproc_ = inproc_line_create_unique("sim");
        path_ = inproc_->deviceName();
    } else if (!startPty()) {
        return false;
    }
    stopping_ = false;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

#if defined(_WIN32)
bool PtyLine::startPty() {
    error_ = "pseudo-terminals do not exist on this platform; use the in-process line";
    return false;
}
#else
bool PtyLine::startPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (master_ >= 0) ::close(master_);
        master_ = -1;
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error_ = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        ::close(master_);
        master_ = -1;
        return false;
    }
    path_ = name;
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slaveKeep_ >= 0) {
        // Raw bytes both ways: no echo, no CR/LF translation, no line discipline.
        termios t{};
        if (tcgetattr(slaveKeep_, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B38400);
            cfsetospeed(&t, B38400);
            tcsetattr(slaveKeep_, TCSANOW, &t);
        }
    }
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    return true;
}
#endif

void PtyLine::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    running_ = false;
    if (inproc_) {
        inproc_->hangUp();  // a port still open on it sees the device gone
        inproc_line_remove(inproc_->name());
        inproc_.reset();
    }
#if !defined(_WIN32)
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
    if (master_ >= 0) ::close(master_);
#endif
    slaveKeep_ = master_ = -1;
}

void PtyLine::send(const std::string &bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    if (inproc_) {
        inproc_->deviceWrite(bytes);
        return;
    }
#if !defined(_WIN32)
    size_t off = 0;
    while (off < bytes.size() && master_ >= 0) {
        ssize_t n = ::write(master_, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            break;
        }
    }
#endif
}

std::string PtyLine::traffic() const {
    std::lock_guard<std::mutex> lk(mu_);
    return traffic_;
}

void PtyLine::clearTraffic() {
    std::lock_guard<std::mutex> lk(mu_);
    traffic_.clear();
}

void PtyLine::received(const char *buf, std::size_t n) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        traffic_.append(buf, n);
    }
    pending_.append(buf, n);
    size_t pos;
    while ((pos = pending_.find(lineTerminator())) != std::string::npos) {
        std::string line = pending_.substr(0, pos);
        pending_.erase(0, pos + 1);
        handleLine(line);
    }
}

void PtyLine::run() {
    char buf[512];
    while (!stopping_) {
        if (inproc_) {
            // Waits up to 5 ms of real time for bytes, the same pace as the terminal's poll.
            std::size_t n = inproc_->deviceRead(buf, sizeof buf, 5);
            if (n > 0) received(buf, n);
            tick();
            continue;
        }
#if !defined(_WIN32)
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, 5);
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) received(buf, static_cast<size_t>(n));
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            // No reader on the near end right now; wait for the driver to open it.
            ::usleep(2000);
        }
#endif
        tick();
    }
}
