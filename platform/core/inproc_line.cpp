#include "platform/core/inproc_line.h"

#include <chrono>
#include <cstring>
#include <map>

namespace {
std::mutex g_regMu;
std::map<std::string, std::shared_ptr<InprocLine>> &registry() {
    static auto *r = new std::map<std::string, std::shared_ptr<InprocLine>>;
    return *r;
}
unsigned g_serial = 0;
}  // namespace

bool InprocLine::attach() {
    std::lock_guard<std::mutex> lk(mu_);
    if (attached_) return false;
    attached_ = true;
    return true;
}

void InprocLine::detach() {
    std::lock_guard<std::mutex> lk(mu_);
    attached_ = false;
}

bool InprocLine::portAttached() {
    std::lock_guard<std::mutex> lk(mu_);
    return attached_;
}

bool InprocLine::portWrite(const char *data, std::size_t count) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (hungUp_) return false;
        toDevice_.append(data, count);
    }
    toDeviceCv_.notify_all();
    return true;
}

int InprocLine::portReadByte(char *c, int waitMs) {
    std::unique_lock<std::mutex> lk(mu_);
    if (toPortHead_ >= toPort_.size() && waitMs > 0 && !hungUp_)
        toPortCv_.wait_for(lk, std::chrono::milliseconds(waitMs),
                           [this] { return toPortHead_ < toPort_.size() || hungUp_; });
    if (toPortHead_ >= toPort_.size()) return hungUp_ ? -1 : 0;
    *c = toPort_[toPortHead_++];
    if (toPortHead_ == toPort_.size()) {
        toPort_.clear();
        toPortHead_ = 0;
    }
    return 1;
}

void InprocLine::hangUp() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        hungUp_ = true;
    }
    toPortCv_.notify_all();
}

std::size_t InprocLine::portQueued() {
    std::lock_guard<std::mutex> lk(mu_);
    return toPort_.size() - toPortHead_;
}

void InprocLine::portFlush() {
    std::lock_guard<std::mutex> lk(mu_);
    toPort_.clear();
    toPortHead_ = 0;
}

void InprocLine::deviceWrite(const std::string &bytes) {
    if (bytes.empty()) return;
    {
        std::lock_guard<std::mutex> lk(mu_);
        toPort_.append(bytes);
    }
    toPortCv_.notify_all();
}

std::size_t InprocLine::deviceRead(char *buf, std::size_t max, int waitMs) {
    std::unique_lock<std::mutex> lk(mu_);
    if (toDevice_.empty() && waitMs > 0)
        toDeviceCv_.wait_for(lk, std::chrono::milliseconds(waitMs), [this] { return !toDevice_.empty(); });
    std::size_t n = toDevice_.size() < max ? toDevice_.size() : max;
    if (n) {
        std::memcpy(buf, toDevice_.data(), n);
        toDevice_.erase(0, n);
    }
    return n;
}

std::shared_ptr<InprocLine> inproc_line_create(const std::string &name) {
    if (name.empty()) return nullptr;
    std::lock_guard<std::mutex> lk(g_regMu);
    auto &r = registry();
    if (r.count(name)) return nullptr;
    auto line = std::make_shared<InprocLine>(name);
    r[name] = line;
    return line;
}

std::shared_ptr<InprocLine> inproc_line_create_unique(const std::string &prefix) {
    for (;;) {
        unsigned n;
        {
            std::lock_guard<std::mutex> lk(g_regMu);
            n = ++g_serial;
        }
        if (auto line = inproc_line_create(prefix + "-" + std::to_string(n))) return line;
    }
}

std::shared_ptr<InprocLine> inproc_line_find(const std::string &name) {
    std::lock_guard<std::mutex> lk(g_regMu);
    auto &r = registry();
    auto it = r.find(name);
    return it == r.end() ? nullptr : it->second;
}

void inproc_line_remove(const std::string &name) {
    std::lock_guard<std::mutex> lk(g_regMu);
    registry().erase(name);
}

bool inproc_is_device_name(const char *deviceName) {
    return deviceName && !std::strncmp(deviceName, VRIM_INPROC_PREFIX, std::strlen(VRIM_INPROC_PREFIX));
}
