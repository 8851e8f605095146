// Program entry: on the simulated station the instruments are started first, so that the
// program finds them on its ports; the program itself reads no command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/core/guard.h"
#include "platform/panel/userint.h"
#include "sim/station/station.h"
#include "vrim/observe/journal.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

// A library that wrote past its records: said on the console and kept in the session log.
static void reportLibraryOverrun(const char *line) {
    printf("%s\n", line);
    fflush(stdout);
    log_line("%s", line);
}

int main() {
    guard_set_reporter(reportLibraryOverrun);
    // A scripted operator takes the panel's place when VRIM_OPERATOR names its script.
    SetOperatorScript(getenv("VRIM_OPERATOR"));
    const char *station = getenv("VRIM_STATION");
    bool sim = station && strcmp(station, "sim") == 0;
    if (sim) {
        std::string error;
        if (!station_start(&error)) {
            fprintf(stderr, "vrim: the simulated station did not start: %s\n", error.c_str());
            return 2;
        }
        SetPopupObserver(station_on_reminder);
        SetFaultInjector(station_fault);
    }
    int status = WinMain(nullptr, nullptr, nullptr, 1);
    if (sim) station_stop();
    return status;
}
