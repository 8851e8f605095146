// Text files: the reference QE table reader, the positions list, the text export, and their
// handlers run through the program under the scripted operator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/app_run.h"
#include "vrim/observe/journal.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

namespace {

FILE *text_file(const std::string &s) { return fmemopen(const_cast<char *>(s.data()), s.size(), "r"); }

int parse_refqe(const std::string &s, int *w, float *q, int max) {
    FILE *f = text_file(s);
    int n = refqe_parse(f, w, q, max);
    fclose(f);
    return n;
}

}  // namespace

TEST(TextFilesReaders, ReferenceTableCases) {
    static int w[VRIM_POINTS + 8];
    static float q[VRIM_POINTS + 8];
    // Any white space separates; three lines, the last empty.
    EXPECT_EQ(parse_refqe("3000 0.25\n3100\t0.27\n\n", w, q, VRIM_POINTS), 2);
    EXPECT_EQ(w[1], 3100);
    EXPECT_FLOAT_EQ(q[1], 0.27f);
    // A header line makes the table empty.
    EXPECT_EQ(parse_refqe("wl qe\n3000 0.25\n", w, q, VRIM_POINTS), 0);
    // A trailing half pair is dropped; its wavelength stands beyond the count.
    EXPECT_EQ(parse_refqe("3000 0.25 3100 0.27 3200", w, q, VRIM_POINTS), 2);
    EXPECT_EQ(w[2], 3200);

    // 5 points after 8 leave the old points 5 to 7 in place.
    EXPECT_EQ(parse_refqe("1 1 2 2 3 3 4 4 5 5 6 6 7 7 8 8", w, q, VRIM_POINTS), 8);
    EXPECT_EQ(parse_refqe("10 .1 20 .2 30 .3 40 .4 50 .5", w, q, VRIM_POINTS), 5);
    EXPECT_EQ(w[4], 50);
    EXPECT_EQ(w[5], 6);
    EXPECT_EQ(w[7], 8);
    EXPECT_FLOAT_EQ(q[7], 8.0f);

    // More pairs than a store row: the reading stops at the row's end and writes nothing past it.
    std::string big;
    for (int i = 0; i < VRIM_POINTS + 5; i++) big += std::to_string(3000 + i) + " 0.5\n";
    for (int i = VRIM_POINTS; i < VRIM_POINTS + 8; i++) w[i] = -7;
    EXPECT_EQ(parse_refqe(big, w, q, VRIM_POINTS), VRIM_POINTS);
    EXPECT_EQ(w[VRIM_POINTS - 1], 3000 + VRIM_POINTS - 1);
    EXPECT_EQ(w[VRIM_POINTS], -7);
}

// Where a reader stopped: the line of the first byte it left, that line's text, or the end.
TEST(TextFilesReaders, WhereAReaderStopped) {
    static int w[8];
    static float q[8];
    std::string s = "4000 0.30\r\n5000 0.40\n\n5500 x\n6000 0.41\n";
    FILE *f = text_file(s);
    EXPECT_EQ(refqe_parse(f, w, q, 8), 2);
    long line = 0;
    char text[8];
    EXPECT_TRUE(text_stopped_at(f, &line, text, sizeof text));
    EXPECT_EQ(line, 4);
    EXPECT_STREQ(text, "5500 x");
    fclose(f);

    s = "1 2\n3 4\n  \n";
    f = text_file(s);
    EXPECT_EQ(refqe_parse(f, w, q, 8), 2);
    EXPECT_FALSE(text_stopped_at(f, &line, text, sizeof text));
    fclose(f);

    // Cut to the buffer, and a full table with more behind it.
    s = "garbage that is long\n";
    f = text_file(s);
    EXPECT_EQ(refqe_parse(f, w, q, 8), 0);
    EXPECT_TRUE(text_stopped_at(f, &line, text, sizeof text));
    EXPECT_EQ(line, 1);
    EXPECT_STREQ(text, "garbage");
    fclose(f);
    s = "1 1 2 2\n3 3\n";
    f = text_file(s);
    EXPECT_EQ(refqe_parse(f, w, q, 2), 2);
    EXPECT_TRUE(text_stopped_at(f, &line, text, sizeof text));
    EXPECT_EQ(line, 2);
    fclose(f);
}

TEST(TextFilesReaders, PositionsAndExportFormats) {
    int x[4] = {0}, y[4] = {0};
    std::string text = "30000 124000\n130000\t115000 130000 130000\n140000 115000\n150000\n";
    FILE *f = text_file(text);
    EXPECT_EQ(positions_parse(f, x, y, 3), 3);  // stops at the table's last row
    EXPECT_EQ(positions_parse(f, x, y, 4), 1);  // the rest: one pair, then a half pair
    EXPECT_EQ(x[0], 140000);
    fclose(f);
    EXPECT_EQ(x[2], 130000);
    EXPECT_EQ(y[2], 130000);
    EXPECT_EQ(x[1], 130000);  // the half pair stores nothing
    EXPECT_EQ(y[1], 115000);

    char buf[200];
    FILE *o = fmemopen(buf, sizeof buf, "w");
    export_line(o, 5000, 1.5e-10f, 2.5e-11f, 0.25f, 0.125f);
    export_line(o, 5100, 0.0f, -3e-13f, 1.0f, 1e-6f);
    fclose(o);
    EXPECT_STREQ(buf, "5000 1.5e-10 2.5e-11 0.25 0.125\n5100 0 -3e-13 1 1e-06\n");
}

TEST(TextFilesReaders, ReferenceFileThatCannotBeOpenedChangesNothing) {
    wl[0][0] = 1234;
    qe[0][0] = 0.5f;
    nref = 1;
    journal_set_log_path("/dev/null");  // the session log line is not this test's business
    errno = 0;
    EXPECT_EQ(read_refqe("/nonexistent/dir/refqe.txt"), -1);
    EXPECT_EQ(errno, ENOENT);  // still says why, after the log line is written
    journal_set_log_path(nullptr);
    EXPECT_EQ(wl[0][0], 1234);
    EXPECT_EQ(qe[0][0], 0.5f);
    EXPECT_EQ(nref, 1);
}

// The handlers through the program: a reference table, a positions list into a larger table,
// saving every row, the export of one position, and files that cannot be opened.
TEST(TextFilesHandlers, LoadSaveAndExport) {
    AppRunOptions opt;
    opt.files["ref5.txt"] = "3000 0.25\n3100 0.27\n3200 0.3\n3300 0.31\n3400 0.32\n";
    opt.files["three.txt"] = "30000 124000\n130000 115000\n130000 130000\n";
    AppRun r = app_run(
        "idle\n"
        "file ref5.txt\npress LOAD_REFQE\nidle\n"
        "dump-controls c1.txt\ndump-row 0 row0.txt\n"
        "cell 1 5 777\ncell 2 5 888\nidle\n"
        "file three.txt\npress LOAD_POSITIONS\nidle\n"
        "file saved.txt\npress SAVE_POSITIONS\nidle\n"
        "set POSITION_INDEX 2\nidle\n"
        "file spectrum.txt\npress SAVE_TEXT\nidle\n"
        "file no/such/dir/x.txt\npress SAVE_POSITIONS\nidle\n"
        "quit\n",
        opt);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;

    EXPECT_NE(app_read_text(r.dir + "/c1.txt").find("\nNREF 5\n"), std::string::npos);
    auto row0 = app_lines(app_read_text(r.dir + "/row0.txt"));
    ASSERT_EQ(row0.size(), 5u);
    EXPECT_EQ(row0[4], "3400 0 0.32");

    // Rows 1 to 3 from the file, row 5 as edited, every other row of the table as 0 0.
    auto saved = app_lines(app_read_text(r.dir + "/saved.txt"));
    ASSERT_GT(saved.size(), 5u);
    EXPECT_EQ(saved[0], "30000 124000");
    EXPECT_EQ(saved[2], "130000 130000");
    EXPECT_EQ(saved[3], "0 0");
    EXPECT_EQ(saved[4], "777 888");
    EXPECT_EQ(saved.back(), "0 0");

    // One line per reference point; no measurement yet, so the currents and sample QE are 0.
    auto spec = app_lines(app_read_text(r.dir + "/spectrum.txt"));
    ASSERT_EQ(spec.size(), 5u);
    EXPECT_EQ(spec[0], "3000 0 0 0.25 0");
    EXPECT_EQ(spec[2], "3200 0 0 0.3 0");

    // A file that cannot be written is named to the operator, and the program goes on.
    EXPECT_NE(r.out.find("popup: File error: Cannot open the file\nno/such/dir/x.txt"), std::string::npos) << r.out;
}

// A positions list longer than the table fills the table and stops; saving writes exactly its rows.
TEST(TextFilesHandlers, PositionsFileLongerThanTheTable) {
    std::string many;
    for (int i = 1; i <= 1200; i++) many += std::to_string(i) + " " + std::to_string(-i) + "\n";
    AppRunOptions opt;
    opt.files["many.txt"] = many;
    AppRun r = app_run(
        "idle\nfile many.txt\npress LOAD_POSITIONS\nidle\n"
        "file saved.txt\npress SAVE_POSITIONS\nidle\nquit\n",
        opt);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    auto saved = app_lines(app_read_text(r.dir + "/saved.txt"));
    ASSERT_GT(saved.size(), 100u);
    ASSERT_LT(saved.size(), 1200u);
    for (size_t i = 0; i < saved.size(); i++)
        ASSERT_EQ(saved[i], std::to_string(i + 1) + " -" + std::to_string(i + 1)) << i;
}
