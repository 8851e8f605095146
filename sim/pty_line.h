// The far end of a simulated instrument's serial line, served on its own thread. The line is
// one of two kinds:
//  - a pseudo-terminal (POSIX only): the driver's serial code runs exactly as on a real port;
//  - an in-process line (platform/core/inproc_line.h), where pseudo-terminals do not exist.
// start() takes the kind from env VRIM_SIM_LINE ("pty" or "inproc") when set, else the
// platform's default: pseudo-terminals on POSIX, the in-process line on Windows.
//
// The near end (path()) is what a driver opens as its serial port, through VRIM_COM<N>: the
// terminal's path, or "inproc:<name>". The server thread collects the bytes the driver writes,
// cuts them into lines at the terminator byte and hands each line to handleLine(), which answers
// with send(). Everything the server does with time (reply latency, motion) runs on the program
// clock.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class InprocLine;

enum class SimLineKind { Pty, InProcess };
// The kind start() uses (see above).
SimLineKind sim_line_default_kind();

class PtyLine {
public:
    PtyLine();
    virtual ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // Creates the line (of the default kind, or the one given) and starts the server thread.
    // False when it could not be had (the reason is in error()); a pseudo-terminal on Windows
    // is refused so.
    bool start();
    bool start(SimLineKind kind);
    SimLineKind kind() const { return kind_; }
    // Stops the thread and closes both ends. Called by the destructor too; safe to repeat.
    void stop();

    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }
    bool running() const { return running_; }

    // Writes bytes to the driver's side. Safe from handleLine() and from other threads.
    void send(const std::string &bytes);
    // Every byte the driver has written since start (or the last clearTraffic()), for tests that
    // check exact bytes on the wire.
    std::string traffic() const;
    void clearTraffic();

protected:
    // Called on the server thread with each line, terminator removed.
    virtual void handleLine(const std::string &line) = 0;
    // The byte that ends an incoming line (carriage return unless a subclass says otherwise).
    virtual char lineTerminator() const { return '\r'; }
    // Called on the server thread about every 5 ms of real time, for instruments that act by
    // themselves (motion finishing); default does nothing.
    virtual void tick() {}

private:
    void run();
    bool startPty();
    // Hands the bytes the driver wrote to handleLine(), line by line.
    void received(const char *buf, std::size_t n);

    SimLineKind kind_ = SimLineKind::Pty;
    std::shared_ptr<InprocLine> inproc_;
    int master_ = -1;
    int slaveKeep_ = -1;  // held open so the far end never sees a hang-up between driver opens
    std::string path_;
    std::string error_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    mutable std::mutex mu_;
    std::string traffic_;
    std::string pending_;
};
