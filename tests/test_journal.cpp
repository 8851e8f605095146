// The session journal without a panel: log line format, fault texts with where they happened,
// repeats, the faults a block takes, and the status line's composition.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "vrim/observe/journal.h"

namespace {

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream f(path);
    std::vector<std::string> v;
    std::string l;
    while (std::getline(f, l)) v.push_back(l);
    return v;
}

class Journal : public ::testing::Test {
protected:
    std::string path;
    void SetUp() override {
        char tmpl[] = "/tmp/vrim-journal-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        journal_set_log_path(path.c_str());
        journal_reset();
    }
    void TearDown() override {
        journal_set_log_path(nullptr);
        journal_reset();
        unlink(path.c_str());
    }
    std::string status() {
        std::string t, a;
        journal_status(&t, &a);
        return t;
    }
    std::string alert() {
        std::string t, a;
        journal_status(&t, &a);
        return a;
    }
};

TEST_F(Journal, LogLinesCarryLocalTimeAndStayOneLineEach) {
    log_line("start-up: version %s", journal_version());
    log_line("two\nlines\r");
    auto v = read_lines(path);
    ASSERT_EQ(v.size(), 2u);
    std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d .*");
    EXPECT_TRUE(std::regex_match(v[0], stamp)) << v[0];
    EXPECT_EQ(v[0].substr(20), "start-up: version 1.1.0");
    EXPECT_EQ(v[1].substr(20), "two lines ");
}

TEST_F(Journal, UnwritableLogLosesTheLineButNotTheProgram) {
    journal_set_log_path("/nonexistent-dir/vrim.log");
    log_line("lost");
    EXPECT_EQ(journal_fault("monochromator", "go to 500.0 nm", "no answer"), 1);
}

TEST_F(Journal, FaultTextSaysInstrumentOperationWhatAndWhere) {
    journal_scan_begin("Map scan");
    journal_where_position(37, 121, 190000, 160000);
    journal_where_point(12, 61, 6320);
    journal_fault("monochromator", "go to 632.0 nm", "answered \"%s\" instead of ok", "E1");
    std::vector<std::string> texts;
    EXPECT_EQ(journal_take_faults(&texts), 1);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "monochromator: go to 632.0 nm: answered \"E1\" instead of ok (map scan, position 37 of 121 "
              "(X 190000, Y 160000), point 12 of 61 at 632.0 nm)");
    auto v = read_lines(path);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].substr(20), "FAULT " + texts[0]);
    // Taken once: the next block starts from none.
    EXPECT_EQ(journal_take_faults(&texts), 0);
}

TEST_F(Journal, RepeatedFaultIsCountedEveryTimeAndLoggedOnceWithItsRepeats) {
    // A silent electrometer at every poll: the reading and the status word, over and over.
    for (int i = 0; i < 4; i++) {
        journal_fault("electrometer", "poll reading", "not a number");
        journal_fault("electrometer", "read the status word", "no status word");
    }
    EXPECT_EQ(journal_fault_count(), 8);
    EXPECT_EQ(read_lines(path).size(), 2u);
    log_line("shutdown");
    auto v = read_lines(path);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[2].substr(20), "FAULT repeated 3 more times: electrometer: poll reading: not a number");
    EXPECT_EQ(v[3].substr(20), "FAULT repeated 3 more times: electrometer: read the status word: no status word");
    EXPECT_EQ(v[4].substr(20), "shutdown");
    // After another line the same fault is news again.
    journal_fault("electrometer", "poll reading", "not a number");
    EXPECT_EQ(read_lines(path).size(), 6u);
}

TEST_F(Journal, StatusLineFollowsTheScanAndKeepsHowItEnded) {
    EXPECT_EQ(status(), "Ready.");
    journal_scan_begin("Map scan");
    EXPECT_EQ(status(), "Map scan: starting, 0 faults.");
    journal_where_position(37, 121, 190000, 160000);
    journal_where_point(12, 61, 6320);
    EXPECT_EQ(status(), "Map scan: position 37 of 121 (X 190000, Y 160000), point 12 of 61 at 632.0 nm, 0 faults.");
    journal_set_progress("elapsed 0:01:00, left 2:00:00");
    EXPECT_NE(status().find("632.0 nm, elapsed 0:01:00, left 2:00:00, 0 faults."), std::string::npos) << status();
    journal_where_point(0, 61, 1000);
    EXPECT_NE(status().find("dark offset at 100.0 nm"), std::string::npos) << status();
    journal_scan_end(JOURNAL_STOPPED);
    EXPECT_TRUE(std::regex_match(status(), std::regex("Map scan stopped by the operator at \\d\\d:\\d\\d:\\d\\d "
                                                      "\\(position 37 of 121 .*dark offset at 100.0 nm\\), 0 faults\\.")))
        << status();
    journal_scan_begin("Reference scan");
    journal_where_position(0, 0, 30000, 124000);
    EXPECT_EQ(status(), "Reference scan: reference detector (X 30000, Y 124000), 0 faults.");
    journal_scan_end(JOURNAL_FINISHED);
    EXPECT_TRUE(std::regex_match(status(), std::regex("Reference scan finished at \\d\\d:\\d\\d:\\d\\d, 0 faults\\.")))
        << status();
}

TEST_F(Journal, LatestFaultWithCountInTheAlertAndNotesAfterTheText) {
    EXPECT_EQ(alert(), "");
    journal_fault("stage X", "move to 190000", "no such controller");
    journal_scan_begin("Sample scan");
    journal_fault("electrometer", "average of 3 readings", "3 of 3 not a number");
    EXPECT_EQ(status(), "Sample scan: starting, 1 fault.");
    EXPECT_TRUE(std::regex_match(alert(), std::regex("2 faults since start; latest at \\d\\d:\\d\\d:\\d\\d: "
                                                     "electrometer: average of 3 readings: 3 of 3 not a number "
                                                     "\\(sample scan\\)")))
        << alert();
    journal_note(NOTE_NOT_HOMED, "The stages have not been homed since start.");
    journal_note(NOTE_QUIT, "The program will quit when the %s ends; press STOP to end it now.", "sample scan");
    EXPECT_EQ(status(), "Sample scan: starting, 1 fault. The stages have not been homed since start. The program "
                        "will quit when the sample scan ends; press STOP to end it now.");
    journal_note(NOTE_QUIT, nullptr);
    journal_note(NOTE_NOT_HOMED, nullptr);
    EXPECT_EQ(status(), "Sample scan: starting, 1 fault.");
}

}  // namespace
