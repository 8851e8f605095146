#include "sim/K617/k617_sim.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/core/clock.h"

namespace {
const char *const kFunctionNames[] = {"DCV", "DCA", "OHM", "COU", "XFB", "VIO"};
const char *const kTerminators[] = {"\r\n", "\n\r", "\r", "\n"};
const int kMaxRange = 11;         // 20 mA full scale
const double kCountsMax = 19999;  // 4 1/2 digits
const double kVsourceMax = 102.35;  // V

// Full scale of current range n (1..11): 2 pA .. 20 mA.
double fullScale(int n) { return 2e-12 * std::pow(10.0, n - 1); }
double stepOf(int n) { return fullScale(n) / 20000.0; }

std::string trimLine(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == '\r' || s[b] == '\n')) b++;
    while (e > b && (s[e - 1] == '\r' || s[e - 1] == '\n')) e--;
    return s.substr(b, e - b);
}
}  // namespace

K617Sim::K617Sim() = default;
K617Sim::~K617Sim() { stop(); }

void K617Sim::setCurrentSource(std::function<double()> amps) {
    std::lock_guard<std::mutex> lk(mu_);
    source_ = std::move(amps);
}

void K617Sim::setFault(K617Fault f) {
    std::lock_guard<std::mutex> lk(mu_);
    fault_ = f;
}

K617SimSettings K617Sim::settings() const {
    std::lock_guard<std::mutex> lk(mu_);
    return K617SimSettings{dev_.function,       dev_.range,   dev_.zeroCheck != 0, dev_.zeroCorrect != 0, dev_.trigger,
                           dev_.vsourceOperate != 0, dev_.vsource, dev_.dataFormat};
}

int K617Sim::deviceClears() const {
    std::lock_guard<std::mutex> lk(mu_);
    return clears_;
}

std::vector<std::string> K617Sim::commands() const {
    std::lock_guard<std::mutex> lk(mu_);
    return commands_;
}

std::vector<std::string> K617Sim::commandsSince(size_t first) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (first >= commands_.size()) return {};
    return std::vector<std::string>(commands_.begin() + static_cast<std::ptrdiff_t>(first), commands_.end());
}

void K617Sim::handleLine(const std::string &raw) {
    std::string line = trimLine(raw);
    if (line.empty()) return;
    if (line.rfind("++", 0) == 0) {
        controllerCommand(line.substr(2));
        return;
    }
    bool readBack = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (addr_ != kAddress) return;  // no listener at that address
        commands_.push_back(line);
        deviceLine(line);
        readBack = autoRead_ != 0;
    }
    if (readBack) reply(talk());
}

void K617Sim::controllerCommand(const std::string &cmdLine) {
    std::string name, rest;
    {
        size_t sp = cmdLine.find(' ');
        name = cmdLine.substr(0, sp);
        if (sp != std::string::npos) rest = cmdLine.substr(sp + 1);
    }
    // Integer arguments; count how many were given.
    int a = 0, b = 0;
    int nargs = std::sscanf(rest.c_str(), "%d %d", &a, &b);
    if (nargs < 0) nargs = 0;
    auto answer = [this](const std::string &text) { send(text + "\r\n"); };

    if (name == "read") {
        bool present;
        {
            std::lock_guard<std::mutex> lk(mu_);
            present = addr_ == kAddress;
        }
        if (present) reply(talk());
        return;
    }
    std::unique_lock<std::mutex> lk(mu_);
    if (name == "addr") {
        if (nargs == 0) {
            std::string r = std::to_string(addr_);
            if (secondary_ >= 0) r += " " + std::to_string(secondary_);
            lk.unlock();
            answer(r);
            return;
        }
        if (a >= 0 && a <= 30) {
            addr_ = a;
            secondary_ = nargs == 2 ? b : -1;
        }
    } else if (name == "auto" || name == "eoi" || name == "eos" || name == "eot_enable" || name == "eot_char" ||
               name == "read_tmo_ms" || name == "mode") {
        int *field = name == "auto"         ? &autoRead_
                     : name == "eoi"        ? &eoi_
                     : name == "eos"        ? &eos_
                     : name == "eot_enable" ? &eotEnable_
                     : name == "eot_char"   ? &eotChar_
                     : name == "read_tmo_ms" ? &readTmoMs_
                                             : nullptr;
        if (nargs == 0) {
            int v = field ? *field : 1;  // mode: always controller
            lk.unlock();
            answer(std::to_string(v));
            return;
        }
        if (field) *field = a;
    } else if (name == "clr") {
        if (addr_ == kAddress) {
            clears_++;
            deviceClear();
        }
    } else if (name == "trg") {
        if (addr_ == kAddress) trigger(1);
    } else if (name == "spoll") {
        lk.unlock();
        answer("0");
    } else if (name == "ver") {
        lk.unlock();
        answer("Prologix GPIB-USB Controller version 6.107");
    } else if (name == "rst") {
        addr_ = kAddress;
        secondary_ = -1;
        autoRead_ = 0;
        eoi_ = 1;
        eos_ = 0;
        eotEnable_ = 0;
        eotChar_ = 0;
        readTmoMs_ = 500;
    }
    // savecfg, ifc, loc, llo and anything unknown: nothing to answer.
}

void K617Sim::deviceClear() {
    Instrument fresh;
    fresh.lastReading = dev_.lastReading;
    dev_ = fresh;
    pendingCmd_.clear();
}

void K617Sim::deviceLine(const std::string &line) {
    for (char c : line) {
        if ((c == 'X' || c == 'x') && fault_ == K617Fault::ErrorAnswer) {
            pendingCmd_.clear();  // refused as invalid: nothing is carried out
        } else if (c == 'X' || c == 'x') {
            // Execute the collected commands in order, then count X as a trigger.
            const std::string &p = pendingCmd_;
            size_t i = 0;
            while (i < p.size()) {
                char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(p[i++])));
                size_t j = i;
                while (j < p.size() && (std::isdigit(static_cast<unsigned char>(p[j])) || p[j] == '+' ||
                                        p[j] == '-' || p[j] == '.'))
                    j++;
                std::string arg = p.substr(i, j - i);
                i = j;
                bool hasNum = !arg.empty();
                double num = hasNum ? std::strtod(arg.c_str(), nullptr) : 0;
                bool whole = hasNum && std::fabs(num) < 1e6 && arg.find('.') == std::string::npos;
                int n = whole ? static_cast<int>(num) : 0;
                auto setInt = [&](int &field, int lo, int hi) {
                    if (whole && n >= lo && n <= hi) field = n;
                };
                switch (letter) {
                case 'F': setInt(dev_.function, 0, 5); break;
                case 'R': setInt(dev_.range, 0, kMaxRange); break;
                case 'C': setInt(dev_.zeroCheck, 0, 1); break;
                case 'Z':
                    if (whole && (n == 0 || n == 1)) {
                        dev_.zeroCorrect = n;
                        dev_.storedZero = n ? kInputOffset : 0;
                    }
                    break;
                case 'N': setInt(dev_.suppress, 0, 1); break;
                case 'T':
                    if (whole && n >= 0 && n <= 7 && n != dev_.trigger) {
                        dev_.trigger = n;
                        dev_.continuousRunning = false;
                        dev_.triggerPending = false;
                    }
                    break;
                case 'O': setInt(dev_.vsourceOperate, 0, 1); break;
                case 'V':
                    if (hasNum && std::fabs(num) <= kVsourceMax + 1e-9) dev_.vsource = std::round(num / 0.05) * 0.05;
                    break;
                case 'B': setInt(dev_.readMode, 0, 4); break;
                case 'G': setInt(dev_.dataFormat, 0, 2); break;
                case 'M': setInt(dev_.srq, 0, 99); break;
                case 'K': setInt(dev_.eoi, 0, 1); break;
                case 'Y': setInt(dev_.terminator, 0, 3); break;
                case 'U':
                    if (whole && n == 0) dev_.statusNext = true;
                    break;
                default: break;  // not a command of this instrument: ignored
                }
            }
            pendingCmd_.clear();
            trigger(2);
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            if (pendingCmd_.size() < 256) pendingCmd_ += c;
        }
    }
}

void K617Sim::trigger(int source) {
    int t = dev_.trigger;
    bool mine = (source == 1 && (t == 2 || t == 3)) || (source == 2 && (t == 4 || t == 5));
    if (!mine) return;
    if (t % 2 == 0)
        dev_.continuousRunning = true;
    else
        dev_.triggerPending = true;
}

double K617Sim::convert() {
    // Called with mu_ held; the current source is called without it, so that it may use this
    // simulator's accessors.
    std::function<double()> src = source_;
    double amps;
    if (src) {
        mu_.unlock();
        amps = src();
        mu_.lock();
    } else {
        // xorshift64: a deterministic noise of a few fA on a zero input.
        noise_ ^= noise_ << 13;
        noise_ ^= noise_ >> 7;
        noise_ ^= noise_ << 17;
        amps = (static_cast<double>(noise_ % 2001) - 1000.0) * 2e-18;
    }
    double v = dev_.function == 1 ? (dev_.zeroCheck ? 0.0 : amps) : 0.0;
    v += kInputOffset;
    if (dev_.zeroCorrect) v -= dev_.storedZero;
    dev_.location = (dev_.location + 1) % 100;
    return v;
}

std::string K617Sim::formatReading(double value, bool overflow) const {
    char num[64];
    std::snprintf(num, sizeof num, "%+.4E", overflow ? std::copysign(9.9999e9, value) : value);
    std::string out;
    if (dev_.dataFormat != 1) {
        char status = overflow ? 'O' : dev_.zeroCheck ? 'Z' : 'N';
        out += status;
        out += dev_.readMode == 4 ? "VSR" : kFunctionNames[dev_.function];
    }
    out += num;
    if (dev_.dataFormat == 2) {
        char loc[16];
        std::snprintf(loc, sizeof loc, ",%03d", dev_.location);
        out += loc;
    }
    return out;
}

std::string K617Sim::talk() {
    std::lock_guard<std::mutex> lk(mu_);
    std::string body;
    if (dev_.statusNext) {
        char s[64];
        std::snprintf(s, sizeof s, "617%1d%02d%1d%1d%1d%1d%1d%1d%1d%1d%1d%02d%1d%02d", dev_.function, dev_.range,
                      dev_.zeroCheck, dev_.zeroCorrect, dev_.suppress, dev_.trigger, dev_.vsourceOperate,
                      dev_.readMode, dev_.dataFormat, 0, 0, dev_.srq, dev_.eoi, dev_.terminator);
        body = s;
        dev_.statusNext = false;
    } else if (dev_.readMode == 4) {
        body = formatReading(dev_.vsource, false);
    } else {
        int t = dev_.trigger;
        bool fresh = t == 0 || t == 1 || (t % 2 == 0 && dev_.continuousRunning) || (t % 2 == 1 && dev_.triggerPending);
        if (fresh) {
            dev_.triggerPending = false;
            dev_.lastReading = convert();
        }
        double v = dev_.lastReading;
        bool overflow = false;
        if (dev_.function == 1) {
            int r = dev_.range;
            if (r == 0) {  // autorange: the smallest range that holds the value
                r = 1;
                while (r < kMaxRange && std::fabs(v) > kCountsMax * stepOf(r)) r++;
            }
            double step = stepOf(r);
            overflow = std::fabs(v) > kCountsMax * step;
            if (!overflow) v = std::round(v / step) * step;
        }
        body = formatReading(v, overflow);
    }
    std::string bytes = body + kTerminators[dev_.terminator];
    if (eotEnable_) bytes += static_cast<char>(eotChar_);
    switch (fault_) {
    case K617Fault::NoReply: return std::string();
    case K617Fault::Garbled: return std::string("?#*!~@&^%$") + kTerminators[dev_.terminator];
    case K617Fault::CutShort: return bytes.substr(0, body.size() / 2);
    case K617Fault::ErrorAnswer: return std::string(kErrorWord) + kTerminators[dev_.terminator];
    default: return bytes;
    }
}

void K617Sim::reply(std::string bytes) {
    K617Fault f;
    {
        std::lock_guard<std::mutex> lk(mu_);
        f = fault_;
    }
    if (bytes.empty()) return;
    if (f == K617Fault::Slow) Delay(clock_timeout_span(kSlowDelay));
    send(bytes);
}
