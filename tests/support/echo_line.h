// A simulated instrument for serial-line tests: answers every line with its text reversed, stays
// silent for "mute", and sends a line cut short (no terminator) for "cut".
#pragma once
#include <string>

#include "sim/pty_line.h"

class EchoLine : public PtyLine {
protected:
    void handleLine(const std::string &line) override {
        if (line == "mute") return;
        if (line == "cut") {
            send("abc");
            return;
        }
        send(std::string(line.rbegin(), line.rend()) + "\n");
    }
};
