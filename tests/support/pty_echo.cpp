// A host-side serial partner for the Windows build's port test under Wine: a pseudo-terminal
// whose far end answers every line ending in a carriage return with its text reversed and a
// line feed, stays silent for "mute". Prints the terminal's path, then serves until its standard
// input closes.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        std::perror("pty_echo: no pseudo-terminal");
        return 1;
    }
    int keep = open(name, O_RDWR | O_NOCTTY);  // so the far end never sees a hang-up
    termios t{};
    if (keep >= 0 && tcgetattr(keep, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(keep, TCSANOW, &t);
    }
    std::printf("%s\n", name);
    std::fflush(stdout);
    std::string pending;
    for (;;) {
        pollfd p[2] = {{m, POLLIN, 0}, {0, POLLIN, 0}};
        if (poll(p, 2, 100) < 0) break;
        if (p[1].revents) break;  // the script is done
        if (!(p[0].revents & POLLIN)) continue;
        char buf[256];
        ssize_t n = read(m, buf, sizeof buf);
        if (n > 0) pending.append(buf, size_t(n));
        size_t pos;
        while ((pos = pending.find('\r')) != std::string::npos) {
            std::string line = pending.substr(0, pos);
            pending.erase(0, pos + 1);
            if (line == "mute") continue;
            std::string reply(line.rbegin(), line.rend());
            reply += "\n";
            if (write(m, reply.data(), reply.size()) < 0) break;
        }
    }
    return 0;
}
