// Simulated GPIB-USB controller with a 617-style electrometer at GPIB address 3 behind it, served
// on a pseudo-terminal (put path() in VRIM_COM<N>).
//
// Controller side: lines end with a carriage return (a line feed is also taken). "++" lines are
// the controller's own commands: ++addr [P [S]] (query replies "P" or "P S"), ++auto [0|1],
// ++eoi, ++eos, ++eot_enable, ++eot_char, ++read_tmo_ms, ++mode, ++savecfg, ++ifc, ++loc, ++llo,
// ++rst, ++spoll, ++trg (group execute trigger), ++clr (device clear), ++ver, and ++read [eoi|N],
// which has the addressed instrument talk and forwards its reply. Every other line goes to the
// instrument at the current address; only address 3 has one.
//
// Instrument side: device-dependent commands are a letter and a number each (V takes a signed
// decimal), collected until X executes them: F function (1 = current), R range (0 auto, 1..11 =
// 2 pA .. 20 mA full scale), C zero check, Z zero correct, N suppress, T trigger mode (0..7:
// continuous/one-shot on talk, GET, X, external), O voltage source output, V voltage source value
// (-102.35..+102.35 V), B reading mode (0 reading, 1..3 stored/max/min, 4 voltage source), G data
// format (0 prefix, 1 no prefix, 2 prefix and buffer location), M SRQ mask, K EOI, Y terminator
// (0 CR LF, 1 LF CR, 2 CR, 3 LF), U0 status word on the next talk. Values out of range are
// ignored. Power-up and device clear settings: F0 R0 C1 Z0 T0 O0 V0 B0 G0 Y0 (voltage function,
// zero check on), so a current reading needs F1 and C0 first.
//
// A reading is "<S><FFF><+d.ddddE+dd>[,nnn]" and the terminator: S is N (normal), Z (zero check)
// or O (overflow: the value shows as +/-9.9999E+09); FFF the function (DCA for current). Readings
// carry the resolution of their range (4 1/2 digits). The status word is
// "617" F RR C Z N T O B G D Q MM K YY (YY the terminator setting as two digits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/pty_line.h"

struct K617SimSettings {
    int function;
    int range;
    bool zeroCheck;
    bool zeroCorrect;
    int trigger;
    bool vsourceOperate;
    double vsource;  // V
    int dataFormat;
};

enum class K617Fault {
    None,
    NoReply,   // the instrument does not talk: a read gets nothing
    Garbled,   // replies are replaced by bytes holding no number, terminated as usual
    CutShort,  // replies stop half-way, without their terminator
    Slow,      // replies come 2 s late (inside the driver's 3.1 s read time-out)
    ErrorAnswer,  // every device command is refused as invalid (nothing is carried out) and a
                  // talk answers the error word kErrorWord with the terminator, no reading
};

class K617Sim : public PtyLine {
public:
    K617Sim();
    // Stops the server thread before the members its handlers use are destroyed.
    ~K617Sim() override;

    // The true detector current in A, called once per conversion. Without a source the input is
    // 0 A with a small deterministic noise.
    void setCurrentSource(std::function<double()> amps);
    void setFault(K617Fault f);
    K617SimSettings settings() const;
    int deviceClears() const;
    // Device commands received by the instrument (not "++" lines), in order.
    std::vector<std::string> commands() const;
    // The same list from index `first` on, for watchers that poll often during long runs.
    std::vector<std::string> commandsSince(size_t first) const;

    static constexpr int kAddress = 3;
    static constexpr double kInputOffset = 3.0e-14;  // A: the input's own offset, zero correct removes it
    static constexpr double kSlowDelay = 2.0;        // s
    static constexpr const char *kErrorWord = "IDDC";  // invalid device-dependent command

protected:
    void handleLine(const std::string &line) override;

private:
    struct Instrument {
        int function = 0;
        int range = 0;
        int zeroCheck = 1;
        int zeroCorrect = 0;
        int suppress = 0;
        int trigger = 0;
        int vsourceOperate = 0;
        double vsource = 0;  // V
        int readMode = 0;
        int dataFormat = 0;
        int srq = 0;
        int eoi = 0;
        int terminator = 0;
        double storedZero = 0;  // A subtracted while zero correct is on
        bool statusNext = false;
        bool continuousRunning = false;  // a continuous trigger mode has been triggered
        bool triggerPending = false;     // a one-shot trigger waiting for its conversion
        double lastReading = 0;          // A (or V), the last conversion
        int location = 0;                // data store location
    };

    void controllerCommand(const std::string &cmd);
    void deviceLine(const std::string &line);
    void deviceClear();
    void trigger(int source);  // 0 talk, 1 GET, 2 X
    std::string talk();        // the instrument's reply bytes, terminator included
    double convert();          // one conversion of the input, A
    std::string formatReading(double value, bool overflow) const;
    void reply(std::string bytes);

    mutable std::mutex mu_;
    std::function<double()> source_;
    K617Fault fault_ = K617Fault::None;
    Instrument dev_;
    int clears_ = 0;
    std::vector<std::string> commands_;
    std::string pendingCmd_;  // device commands received, not yet executed by X
    // Controller state.
    int addr_ = kAddress;
    int secondary_ = -1;
    int autoRead_ = 0;
    int eoi_ = 1;
    int eos_ = 0;
    int eotEnable_ = 0;
    int eotChar_ = 0;
    int readTmoMs_ = 500;
    std::uint64_t noise_ = 0x9e3779b97f4a7c15ull;
};
