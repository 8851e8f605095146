#include "sim/SP2155/sp2155_sim.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/core/clock.h"

namespace {
constexpr int kGratings = 3;
constexpr double kMinNm = 0.0, kMaxNm = 1400.0;
// Answers due this soon go out at once rather than on the next tick (5 ms of real time), so a
// fast instrument is as prompt as the line allows.
constexpr double kImmediate = 0.0005;  // program s

const char kAck[] = "  ok\r\n";
const char kError[] = " ?\r\n";

std::string upper(const std::string &s) {
    std::string u(s);
    for (char &c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

// "<number> <WORD>": the number and true when the line has exactly that shape.
bool numberThen(const std::string &line, const char *word, double *value) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos || trim(line.substr(sp)) != word) return false;
    std::string num = line.substr(0, sp);
    char *end = nullptr;
    double v = std::strtod(num.c_str(), &end);
    if (num.empty() || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}
}  // namespace

SP2155Sim::SP2155Sim() = default;

// The server thread calls this object's overrides: stop it before the members go.
SP2155Sim::~SP2155Sim() { stop(); }

void SP2155Sim::setFault(SP2155Fault f) {
    std::lock_guard<std::mutex> lk(mu_);
    fault_ = f;
}

SP2155Fault SP2155Sim::fault() const {
    std::lock_guard<std::mutex> lk(mu_);
    return fault_;
}

double SP2155Sim::wavelengthAt(double now) const {
    if (now >= moveEnd_ || moveEnd_ <= moveStart_) return toNm_;
    if (now <= moveStart_) return fromNm_;
    return fromNm_ + (toNm_ - fromNm_) * (now - moveStart_) / (moveEnd_ - moveStart_);
}

double SP2155Sim::wavelengthNm() const {
    std::lock_guard<std::mutex> lk(mu_);
    return wavelengthAt(Timer());
}

int SP2155Sim::grating() const {
    std::lock_guard<std::mutex> lk(mu_);
    return grating_;
}

bool SP2155Sim::moving() const {
    std::lock_guard<std::mutex> lk(mu_);
    double now = Timer();
    return now < moveEnd_ || now < gratingEnd_;
}

bool SP2155Sim::echo() const {
    std::lock_guard<std::mutex> lk(mu_);
    return echo_;
}

void SP2155Sim::setWavelengthNm(double nm) {
    std::lock_guard<std::mutex> lk(mu_);
    fromNm_ = toNm_ = nm;
    moveStart_ = moveEnd_ = 0;
}

void SP2155Sim::setGrating(int g) {
    std::lock_guard<std::mutex> lk(mu_);
    if (g >= 1 && g <= kGratings) grating_ = g;
}

void SP2155Sim::setSpeedNmPerSecond(double v) {
    std::lock_guard<std::mutex> lk(mu_);
    if (v > 0) speed_ = v;
}

void SP2155Sim::setGratingChangeSeconds(double s) {
    std::lock_guard<std::mutex> lk(mu_);
    if (s >= 0) gratingSeconds_ = s;
}

void SP2155Sim::setSlowExtraSeconds(double s) {
    std::lock_guard<std::mutex> lk(mu_);
    if (s >= 0) slowExtra_ = s;
}

int SP2155Sim::gratingCount() const { return kGratings; }

int SP2155Sim::commandsReceived() const {
    std::lock_guard<std::mutex> lk(mu_);
    return received_;
}

void SP2155Sim::handleLine(const std::string &line) {
    std::lock_guard<std::mutex> lk(mu_);
    ++received_;
    inbox_.push_back(line);
    pump();
}

void SP2155Sim::tick() {
    std::lock_guard<std::mutex> lk(mu_);
    pump();
}

void SP2155Sim::pump() {
    for (;;) {
        double now = Timer();
        if (busy_) {
            if (now < replyAt_) return;
            busy_ = false;
            deliver(reply_);
            reply_.clear();
        }
        if (inbox_.empty()) return;
        std::string line = inbox_.front();
        inbox_.pop_front();
        begin(line, now);
        if (busy_ && replyAt_ - now > kImmediate) return;
    }
}

// Starts one command: applies what it does, and schedules its answer.
void SP2155Sim::begin(const std::string &raw, double now) {
    std::string line = upper(trim(raw));
    double busyFor = 0;  // s until the answer
    std::string payload;
    bool ok = true;
    double v = 0;
    if (fault_ == SP2155Fault::ErrorAnswer) {
        ok = false;
    } else if (line == "?NM") {
        char b[48];
        std::snprintf(b, sizeof b, " %.3f nm", wavelengthAt(now));
        payload = b;
    } else if (line == "?GRATING") {
        payload = " " + std::to_string(grating_);
    } else if (line == "ECHO") {
        echo_ = true;
    } else if (line == "NO-ECHO") {
        echo_ = false;
    } else if (line.empty()) {
        // A bare CR is answered with the acknowledgement alone.
    } else if (numberThen(line, "GOTO", &v)) {
        if (v < kMinNm || v > kMaxNm) {
            ok = false;
        } else {
            fromNm_ = wavelengthAt(now);
            toNm_ = v;
            moveStart_ = now;
            busyFor = std::fabs(toNm_ - fromNm_) / speed_;
            moveEnd_ = now + busyFor;
        }
    } else if (numberThen(line, "GRATING", &v)) {
        int g = static_cast<int>(v);
        if (v != g || g < 1 || g > kGratings) {
            ok = false;
        } else if (g != grating_) {
            grating_ = g;
            busyFor = gratingSeconds_;
            gratingEnd_ = now + busyFor;
        }
    } else {
        ok = false;
    }
    if (fault_ == SP2155Fault::Slow) busyFor += clock_timeout_span(slowExtra_);
    reply_ = (echo_ ? raw : std::string()) + (ok ? payload + kAck : std::string(kError));
    busy_ = true;
    replyAt_ = now + busyFor;
    if (busyFor <= kImmediate) {
        busy_ = false;
        deliver(reply_);
        reply_.clear();
    }
}

void SP2155Sim::deliver(const std::string &answer) {
    switch (fault_) {
    case SP2155Fault::NoReply:
        return;
    case SP2155Fault::CutShort:
        send(answer.substr(0, answer.size() / 2));
        return;
    case SP2155Fault::Garbled: {
        // Scramble every byte before the line feed so neither the value nor the acknowledgement
        // survives; the line still ends, so the reader gets a whole (bad) line.
        std::string g = answer;
        for (size_t i = 0; i + 1 < g.size(); ++i) g[i] = static_cast<char>(g[i] ^ 0x5A);
        send(g);
        return;
    }
    default:
        send(answer);
    }
}
