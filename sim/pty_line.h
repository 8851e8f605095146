// The far end of a pseudo-terminal, served by a simulated instrument on its own thread.
//
// The near end (path()) is what a driver opens as its serial port, through VRIM_COM<N>. The
// server thread collects the bytes the driver writes, cuts them into lines at the terminator
// byte and hands each line to handleLine(), which answers with send(). Everything the server
// does with time (reply latency, motion) runs on the program clock.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class PtyLine {
public:
    PtyLine();
    virtual ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // Creates the pseudo-terminal and starts the server thread. False when no terminal could be
    // had (the reason is in error()).
    bool start();
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
