// The simulated operator connects the detector a reminder names by its kind: the words of the
// reminder may change (or come from a message that is no reminder) without moving the cable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/panel/userint.h"
#include "sim/station/station.h"

namespace {

// The lines of the station log about pop-ups and the cable, in order.
std::vector<std::string> cableLines(const std::string &path) {
    std::ifstream f(path);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("popup ", 0) == 0 || line.rfind("cable ", 0) == 0) out.push_back(line);
    return out;
}

}  // namespace

TEST(StationReminder, CableFollowsTheKindNotTheWords) {
    const std::string log = "station_reminder.log";
    std::remove(log.c_str());
    clock_set_scale(0.01);
    unsetenv("VRIM_COM4");
    unsetenv("VRIM_COM5");
    setenv("VRIM_STATION_LOG", log.c_str(), 1);
    std::string err;
    ASSERT_TRUE(station_start(&err)) << err;
    // Reworded reminders still move the cable.
    station_on_reminder(REMINDER_REFERENCE_CABLE, "Reminder", "Plug the electrometer into the first detector.");
    station_on_reminder(REMINDER_SAMPLE_CABLE, "Check", "Now the other one, please.");
    // The words that once moved the cable, in pop-ups of other kinds, do not.
    station_on_reminder(REMINDER_NONE, "Reminder", "Switch the cable to measure the reference PMT current!");
    station_on_reminder(REMINDER_OPTICS, "Reminder", "Switch the cable to measure the reference PMT current!");
    station_on_reminder(REMINDER_REFERENCE_CABLE, nullptr, nullptr);
    station_stop();
    unsetenv("VRIM_STATION_LOG");
    unsetenv("VRIM_COM4");
    unsetenv("VRIM_COM5");
    clock_set_scale(1);
    EXPECT_EQ(cableLines(log), (std::vector<std::string>{"popup Reminder", "cable reference", "popup Check",
                                                         "cable sample", "popup Reminder", "popup Reminder",
                                                         "popup ", "cable reference"}));
    std::remove(log.c_str());
}
