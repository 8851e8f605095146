// Simulated grating monochromator on a pseudo-terminal.
//
// Speaks the instrument's line protocol: commands end in CR; every answer ends in the
// acknowledgement "  ok" CR LF, queries carry their value before it (" 500.000 nm", " 1").
// Echo is off (the instrument's remote setting), so a payload begins with its number; "ECHO"
// switches it on and each answer then begins with the command text.
//
// A move or a grating change answers only when it is done, and the instrument takes no new
// command before that: lines that arrive meanwhile wait their turn, as on the real controller.
// Motion runs on the program clock: a move takes |distance| / speed, a grating change a fixed time.
//
// Commands: "?NM", "<nm> GOTO", "?GRATING", "<n> GRATING", "ECHO", "NO-ECHO" (any letter case).
// Anything else, a wavelength outside 0..1400 nm or a grating outside 1..gratingCount() gets
// the error answer " ?" CR LF and changes nothing.
#pragma once
#include <deque>
#include <mutex>
#include <string>

#include "sim/pty_line.h"

enum class SP2155Fault {
    None,
    NoReply,      // commands are carried out, nothing is answered
    Garbled,      // answers arrive with their bytes scrambled (acknowledgement included)
    CutShort,     // only the first half of each answer arrives, no line feed
    ErrorAnswer,  // every command is refused with the error answer
    Slow,         // every answer comes slowExtraSeconds() late (past a query's 1 s time-out)
};

class SP2155Sim : public PtyLine {
public:
    SP2155Sim();
    ~SP2155Sim() override;

    void setFault(SP2155Fault f);
    SP2155Fault fault() const;

    double wavelengthNm() const;  // where the grating points now (interpolated while moving)
    int grating() const;          // 1-based
    bool moving() const;          // a wavelength move or a grating change is under way
    bool echo() const;

    void setWavelengthNm(double nm);         // initial state
    void setGrating(int g);                  // initial state, 1..gratingCount()
    void setSpeedNmPerSecond(double v);      // default 100 nm/s
    void setGratingChangeSeconds(double s);  // default 5 s
    void setSlowExtraSeconds(double s);      // delay added by SP2155Fault::Slow; default 2 s
    int gratingCount() const;                // 3

    // Counts of command lines received (tests of "nothing was sent").
    int commandsReceived() const;

protected:
    void handleLine(const std::string &line) override;
    void tick() override;

private:
    void pump();                                // under mu_
    void begin(const std::string &line, double now);
    void deliver(const std::string &answer);    // applies the fault to a whole answer line
    double wavelengthAt(double now) const;      // under mu_

    mutable std::mutex mu_;
    SP2155Fault fault_ = SP2155Fault::None;
    double fromNm_ = 500.0;    // nm, start of the current or last move
    double toNm_ = 500.0;      // nm, its target
    double moveStart_ = 0;     // program s
    double moveEnd_ = 0;       // program s
    int grating_ = 1;
    double gratingEnd_ = 0;    // program s, end of a grating change
    double speed_ = 100.0;     // nm/s
    double gratingSeconds_ = 5.0;  // s per grating change
    double slowExtra_ = 2.0;   // s
    bool echo_ = false;
    bool busy_ = false;        // an answer is pending; new lines wait
    double replyAt_ = 0;       // program s, when the pending answer goes out
    std::string reply_;        // the pending answer, CR LF included
    std::deque<std::string> inbox_;
    int received_ = 0;
};
