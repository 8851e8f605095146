// Panel layer: loading, the event queue, values, timers, curves, the table and the scripted operator,
// on the program's real panel file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/panel/ui_panel.h"
#include "platform/panel/userint.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

namespace {

std::string panelFile() {
    const char *src = std::getenv("VRIM_SOURCE_DIR");
    return std::string(src ? src : "..") + "/vrim/vrim_ui.uir";
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int countPixels(const QImage &img, unsigned rgb) {
    int n = 0;
    for (int y = 0; y < img.height(); y++)
        for (int x = 0; x < img.width(); x++)
            if ((img.pixel(x, y) & 0xFFFFFF) == rgb) n++;
    return n;
}

int g_ticks = 0;
int countTick(int, int, int, void *, int, int) {
    g_ticks++;
    return 0;
}

class Panel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(InitCVIRTEEx(nullptr, nullptr, nullptr), 1);
        clock_set_scale(0.01);
        g_ticks = 0;
        RegisterCallback("cb_timer", countTick);
        SetQuitControl(QUIT);
        h = LoadPanel(0, panelFile().c_str(), PANEL);
        ASSERT_GE(h, 0);
        DisplayPanel(h);
        int pn, c;
        while (GetUserEvent(0, &pn, &c)) {}  // nothing left from an earlier test
    }
    void TearDown() override {
        if (h >= 0) DiscardPanel(h);
        SetPopupObserver(nullptr);
        SetQuitControl(QUIT);
        clock_set_scale(1);
    }
    template <class W>
    W *widget(const char *name) {
        return ui_panel(h)->root->findChild<W *>(name);
    }
    // Types text into a field and presses Enter, as an operator does.
    void typeAndEnter(QAbstractSpinBox *s, const QString &text) {
        s->setFocus();
        s->findChild<QLineEdit *>()->setText(text);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(s, &press);
    }
    int h = -1;
};

TEST(PanelLoad, FailuresReturnNegativeAndShowNothing) {
    ASSERT_EQ(InitCVIRTEEx(nullptr, nullptr, nullptr), 1);
    EXPECT_LT(LoadPanel(0, "/nonexistent/vrim_ui.uir", 1), 0);
    const char *junk = "panel_junk.uir";
    {
        std::ofstream f(junk);
        f << "this is not a panel file <ui";
    }
    EXPECT_LT(LoadPanel(0, junk, 1), 0);
    EXPECT_LT(LoadPanel(0, panelFile().c_str(), 7), 0);  // the file holds panel 1 only
    for (QWidget *w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
    std::remove(junk);
}

TEST_F(Panel, QueueIsFifoAndNoWaitLeavesOutputs) {
    int pn = -77, c = -77;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    EXPECT_EQ(pn, -77);
    EXPECT_EQ(c, -77);

    QueueUserEvent(1000, h, VSOURCE_VALUE);
    widget<QPushButton>("ZERO_CORRECT")->click();  // the operator, between two user events
    QueueUserEvent(9000, h, POLL_TIMER);
    EXPECT_EQ(GetUserEvent(1, &pn, &c), 1000);
    EXPECT_EQ(c, VSOURCE_VALUE);
    EXPECT_EQ(pn, h);
    EXPECT_EQ(GetUserEvent(1, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, ZERO_CORRECT);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 9000);
    EXPECT_EQ(c, POLL_TIMER);
    c = -5;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    EXPECT_EQ(c, -5);
    EXPECT_LT(QueueUserEvent(1000, h + 100, QUIT), 0);
}

TEST_F(Panel, ProgramWritesRaiseNoEventOperatorCommitsRaiseOne) {
    int pn, c;
    EXPECT_EQ(SetCtrlVal(h, WL_CURRENT, 6328), 0);
    EXPECT_EQ(SetCtrlVal(h, VSOURCE_OPERATE, 1), 0);
    EXPECT_EQ(SetCtrlVal(h, CURRENT, -1.25e-9), 0);
    EXPECT_EQ(SetCtrlVal(h, VSOURCE_VALUE, 12.5), 0);
    EXPECT_EQ(SetCtrlVal(h, STAGE_BUSY, 1), 0);
    SetTableCellVal(h, POSITIONS, MakePoint(2, 3), 4711);
    ProcessSystemEvents();
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);

    int i = 0;
    float f = 0;
    double d = 0;
    GetCtrlVal(h, WL_CURRENT, &i);
    EXPECT_EQ(i, 6328);
    GetCtrlVal(h, VSOURCE_VALUE, &f);
    EXPECT_FLOAT_EQ(f, 12.5f);
    GetCtrlVal(h, CURRENT, &d);
    EXPECT_DOUBLE_EQ(d, -1.25e-9);
    EXPECT_EQ(widget<QLineEdit>("CURRENT")->text().toStdString(), "-1.250 nA");
    GetCtrlVal(h, STAGE_BUSY, &i);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(GetCtrlVal(h, 999, &i), UIEInvalidControl);
    EXPECT_EQ(GetCtrlVal(h + 100, WL_CURRENT, &i), UIEInvalidPanel);

    // Typing is not a commit; Enter is, once.
    auto *wl = widget<QSpinBox>("WL_CURRENT");
    wl->setFocus();
    wl->findChild<QLineEdit *>()->setText("5461");
    ProcessSystemEvents();
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    typeAndEnter(wl, "5461");
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, WL_CURRENT);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    GetCtrlVal(h, WL_CURRENT, &i);
    EXPECT_EQ(i, 5461);

    widget<QCheckBox>("VSOURCE_OPERATE")->click();
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, VSOURCE_OPERATE);
    GetCtrlVal(h, VSOURCE_OPERATE, &i);
    EXPECT_EQ(i, 0);

    auto *t = widget<QTableWidget>("POSITIONS");
    t->item(4, 0)->setData(Qt::EditRole, 1234);  // what the cell editor does on Enter
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, POSITIONS);
    GetTableCellVal(h, POSITIONS, MakePoint(1, 5), &i);
    EXPECT_EQ(i, 1234);
}

TEST_F(Panel, TimerFiresWhileEnabledOnly) {
    int pn, c, on = -1;
    GetCtrlAttribute(h, POLL_TIMER, ATTR_ENABLED, &on);
    EXPECT_EQ(on, 1);  // the panel file starts it
    EXPECT_EQ(SetCtrlAttribute(h, POLL_TIMER, ATTR_INTERVAL, 1), 0);
    // Counted from here: ticks of the set-up before belong to the panel file's own interval. A
    // stall of the machine delays ticks but never adds any (a late timer fires once), so the
    // count has an upper bound whatever the machine's speed.
    g_ticks = 0;
    double t0 = Timer();
    while (Timer() - t0 < 3.5) ProcessSystemEvents();
    EXPECT_GE(g_ticks, 1);
    EXPECT_LE(g_ticks, 4);
    // GetUserEvent(1) waits through ticks (the callback here queues nothing) ...
    QueueUserEvent(1000, h, QUIT);
    EXPECT_EQ(GetUserEvent(1, &pn, &c), 1000);

    SetCtrlAttribute(h, POLL_TIMER, ATTR_ENABLED, 0);
    int before = g_ticks;
    t0 = Timer();
    while (Timer() - t0 < 3) ProcessSystemEvents();
    EXPECT_EQ(g_ticks, before);
}

TEST_F(Panel, CurvesHandlesDeleteAndRecolour) {
    int x[50];
    float y[50];
    double yd[50];
    for (int i = 0; i < 50; i++) x[i] = 4000 + 100 * i, y[i] = 1e-9f * i, yd[i] = i;
    int a = PlotXY(h, GRAPH_SAMPLE, x, y, 50, VAL_INTEGER, VAL_FLOAT, VAL_THIN_LINE, VAL_EMPTY_SQUARE, VAL_SOLID, 1,
                   VAL_RED);
    int b = PlotXY(h, GRAPH_SAMPLE, x, yd, 50, VAL_INTEGER, VAL_DOUBLE, VAL_THIN_LINE, VAL_EMPTY_SQUARE, VAL_SOLID, 1,
                   VAL_BLUE);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_LT(PlotXY(h, CURRENT, x, y, 50, VAL_INTEGER, VAL_FLOAT, 0, 0, 0, 1, VAL_RED), 0);  // not a graph

    int col = 0, n = 0, grey = 0;
    EXPECT_EQ(SetPlotAttribute(h, GRAPH_SAMPLE, a, ATTR_TRACE_COLOR, VAL_LT_GRAY), 0);
    GetPlotAttribute(h, GRAPH_SAMPLE, a, ATTR_TRACE_COLOR, &col);
    EXPECT_EQ(col, VAL_LT_GRAY);
    GetNumPlots(h, GRAPH_SAMPLE, &n, &grey);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(grey, 1);
    EXPECT_EQ(RefreshGraph(h, GRAPH_SAMPLE), 0);
    // What shows: the grey curve in grey, the blue one in blue, no red left.
    QImage img = widget<QWidget>("GRAPH_SAMPLE")->grab().toImage();
    EXPECT_GT(countPixels(img, 0xC0C0C0), 50);
    EXPECT_GT(countPixels(img, 0x0000FF), 50);
    EXPECT_EQ(countPixels(img, 0xFF0000), 0);

    EXPECT_EQ(DeleteGraphPlot(h, GRAPH_SAMPLE, b, 1), 0);
    EXPECT_EQ(DeleteGraphPlot(h, GRAPH_SAMPLE, b, 1), UIEInvalidPlot);
    EXPECT_EQ(DeleteGraphPlot(h, GRAPH_QE, a, 1), UIEInvalidPlot);  // a belongs to another graph
    EXPECT_EQ(SetPlotAttribute(h, GRAPH_SAMPLE, b, ATTR_TRACE_COLOR, VAL_RED), UIEInvalidPlot);
    GetNumPlots(h, GRAPH_SAMPLE, &n, &grey);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(DeleteGraphPlot(h, GRAPH_SAMPLE, a, 1), 0);  // a grey curve can go too
    RefreshGraph(h, GRAPH_SAMPLE);
    img = widget<QWidget>("GRAPH_SAMPLE")->grab().toImage();
    EXPECT_LT(countPixels(img, 0xC0C0C0), 20);  // a few anti-aliased label pixels may match
    EXPECT_EQ(countPixels(img, 0x0000FF), 0);
    // The grey curve stays, and a later curve never reuses a handle.
    int c2 = PlotXY(h, GRAPH_SAMPLE, x, y, 50, VAL_INTEGER, VAL_FLOAT, 0, 0, 0, 1, VAL_RED);
    EXPECT_GT(c2, b);
}

TEST_F(Panel, TableBoundsAndSelection) {
    int rows = 0, v = -1;
    GetNumTableRows(h, POSITIONS, &rows);
    EXPECT_GE(rows, 122);
    EXPECT_EQ(SetTableCellVal(h, POSITIONS, MakePoint(2, rows), -7), 0);
    GetTableCellVal(h, POSITIONS, MakePoint(2, rows), &v);
    EXPECT_EQ(v, -7);
    v = 99;
    EXPECT_EQ(GetTableCellVal(h, POSITIONS, MakePoint(3, 1), &v), UIEOutOfRange);
    EXPECT_EQ(GetTableCellVal(h, POSITIONS, MakePoint(1, rows + 1), &v), UIEOutOfRange);
    EXPECT_EQ(GetTableCellVal(h, POSITIONS, MakePoint(1, 0), &v), UIEOutOfRange);
    EXPECT_EQ(v, 99);
    EXPECT_EQ(SetTableCellVal(h, POSITIONS, MakePoint(0, 1), 5), UIEOutOfRange);
    int after = 0;
    GetNumTableRows(h, POSITIONS, &after);
    EXPECT_EQ(after, rows);  // never grows

    Rect r{};
    EXPECT_EQ(SetTableSelection(h, POSITIONS, MakeRect(4, 1, 1, 2)), 0);
    GetTableSelection(h, POSITIONS, &r);
    EXPECT_EQ(r.top, 4);
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(r.height, 1);
    EXPECT_EQ(r.width, 2);
    EXPECT_EQ(SetTableSelection(h, POSITIONS, MakeRect(rows, 1, 2, 2)), UIEOutOfRange);
    int pn, c;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
}

TEST_F(Panel, ClosingTheWindowPressesQuit) {
    ui_panel(h)->root->close();
    EXPECT_TRUE(ui_panel(h)->root->isVisible());
    int pn, c = 0;
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, QUIT);
}

// The panel knows no control of the program: the quit control and the scripted operator's file
// are what the program hands in.
TEST_F(Panel, QuitControlAndScriptAreHandedIn) {
    const char *script = "panel_handed.txt";
    std::ofstream(script) << "set WL_FIRST 4300\nquit\n";
    SetQuitControl(STOP);
    SetOperatorScript(script);
    int h2 = LoadPanel(0, panelFile().c_str(), PANEL);
    ASSERT_GE(h2, 0);
    DisplayPanel(h2);  // the first display starts the script on this panel
    SetOperatorScript(nullptr);
    std::vector<std::pair<int, int>> seen;
    int pn = 0, c = 0;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100 && seen.size() < 2; i++)
        if (GetUserEvent(0, &pn, &c) == EVENT_COMMIT) seen.push_back({pn, c});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{h2, WL_FIRST}, {h2, STOP}}));
    // Closing a window presses the control named, whatever it is.
    ui_panel(h)->root->close();
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(pn, h);
    EXPECT_EQ(c, STOP);

    // Without a quit control a window closes as any other, and "quit" is said and skipped.
    SetQuitControl(0);
    ui_panel(h2)->root->close();
    EXPECT_FALSE(ui_panel(h2)->root->isVisible());
    std::ofstream(script) << "quit\n";
    testing::internal::CaptureStderr();
    RunOperatorScript(h2, script);
    ProcessSystemEvents();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 1: the panel has no quit control"), std::string::npos) << err;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    DiscardPanel(h2);
    std::remove(script);
}

std::vector<std::string> g_popups;
void observe(int kind, const char *t, const char *m) {
    g_popups.push_back(std::to_string(kind) + "|" + t + "|" + m);
}
std::string g_dumpPath;
int dumper(int row, const char *path) {
    std::ofstream(path) << "row " << row << "\n";
    return 0;
}

TEST_F(Panel, ScriptedOperator) {
    const std::string dump = "panel_ops_controls.txt", shot = "panel_ops.png", row = "panel_ops_row.txt";
    const char *script = "panel_ops.txt";
    std::ofstream(script) << "# comment\n"
                             "set WL_FIRST 4200\n"
                             "press ZERO_CORRECT\n"
                             "cell 2 5 -300\n"
                             "frobnicate now\n"
                             "set NO_SUCH 1\n"
                             "idle\n"
                             "echo half way\n"
                             "file /tmp/some file.dat\n"
                             "cancel\n"
                             "answer ok\n"
                             "wait 2\n"
                             "dump-controls " + dump + "\n"
                             "dump-row 3 " + row + "\n"
                             "screenshot " + shot + "\n"
                             "quit\n";
    SetPopupObserver(observe);
    SetRowDumper(dumper);
    g_popups.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunOperatorScript(h, script), 13);
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStdout();
    EXPECT_NE(err.find("line 5"), std::string::npos) << err;
    EXPECT_NE(err.find("line 6"), std::string::npos) << err;

    std::vector<int> seen;
    int pn, c = 0;
    double t0 = 0;
    while (c != QUIT) {
        GetUserEvent(1, &pn, &c);
        seen.push_back(c);
        if (c == POSITIONS) {
            // A handler that runs while the script waits at "idle".
            int v = 0;
            GetCtrlVal(h, WL_FIRST, &v);
            EXPECT_EQ(v, 4200);
            GetTableCellVal(h, POSITIONS, MakePoint(2, 5), &v);
            EXPECT_EQ(v, -300);
            t0 = Timer();
        }
        if (c == QUIT) {
            EXPECT_GE(Timer() - t0, 2.0);
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("half way"), std::string::npos);
    EXPECT_EQ(seen, (std::vector<int>{WL_FIRST, ZERO_CORRECT, POSITIONS, QUIT}));

    char path[300] = "x";
    EXPECT_EQ(FileSelectPopup("", "*.dat", "", "Save", VAL_SAVE_BUTTON, 0, 0, 1, 1, path), VAL_NEW_FILE_SELECTED);
    EXPECT_STREQ(path, "/tmp/some file.dat");
    EXPECT_EQ(FileSelectPopup("", "*.dat", "", "Save", VAL_SAVE_BUTTON, 0, 0, 1, 1, path), VAL_NO_FILE_SELECTED);
    testing::internal::CaptureStderr();
    EXPECT_EQ(FileSelectPopup("", "*.dat", "", "Load", VAL_LOAD_BUTTON, 0, 0, 1, 1, path), VAL_NO_FILE_SELECTED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no file answer"), std::string::npos);
    // A path that does not fit the caller's 300 characters is refused, not cut to another name.
    const char *longScript = "panel_ops_long.txt";
    std::ofstream(longScript) << "file /tmp/" << std::string(400, 'a') << ".dat\n";
    RunOperatorScript(h, longScript);
    ProcessSystemEvents();
    testing::internal::CaptureStderr();
    strcpy(path, "x");
    EXPECT_EQ(FileSelectPopup("", "*.dat", "", "Save", VAL_SAVE_BUTTON, 0, 0, 1, 1, path), VAL_NO_FILE_SELECTED);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(path, "");
    std::remove(longScript);

    // A reminder shows and is acknowledged exactly as a message; only the observer hears its kind.
    testing::internal::CaptureStdout();
    EXPECT_EQ(MessagePopup("Reminder", "Connect the reference detector"), 0);
    EXPECT_EQ(ReminderPopup(REMINDER_SAMPLE_CABLE, "Reminder", "Connect the sample detector"), 0);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said, "popup: Reminder: Connect the reference detector\npopup: Reminder: Connect the sample detector\n");
    ASSERT_EQ(g_popups.size(), 2u);
    EXPECT_EQ(g_popups[0], std::to_string(REMINDER_NONE) + "|Reminder|Connect the reference detector");
    EXPECT_EQ(g_popups[1], std::to_string(REMINDER_SAMPLE_CABLE) + "|Reminder|Connect the sample detector");

    std::string d = slurp(dump);
    EXPECT_NE(d.find("WL_FIRST 4200\n"), std::string::npos) << d;
    EXPECT_NE(d.find("POSITIONS "), std::string::npos);
    EXPECT_EQ(d.find("QUIT"), std::string::npos);  // buttons have no value
    EXPECT_EQ(slurp(row), "row 3\n");
    QFile png(QString::fromStdString(shot));
    ASSERT_TRUE(png.open(QIODevice::ReadOnly));
    EXPECT_TRUE(png.read(4).endsWith("PNG"));
    for (const std::string &f : {dump, shot, row, std::string(script)}) std::remove(f.c_str());
}

TEST(PanelFormat, EngineeringNotation) {
    EXPECT_EQ(ui_eng(0, "A"), "0 A");
    EXPECT_EQ(ui_eng(1.2345e-12, "A"), "1.235 pA");  // 4 significant digits
    EXPECT_EQ(ui_eng(-3.3e-3, "A"), "-3.300 mA");
    EXPECT_EQ(ui_eng(999.96e-9, "A"), "1.000 uA");  // rounding carries into the next prefix
    EXPECT_EQ(ui_eng(12.5, "V", 3), "12.5 V");
    EXPECT_EQ(ui_eng(5e-30, "A", 2), "5.0e-30 A");
}

}  // namespace

namespace {

TEST_F(Panel, ScriptStepsLandDuringAHandlersWait) {
    const char *script = "panel_ops_stop.txt";
    std::ofstream(script) << "press SAMPLE_SCAN\nwait 1\npress STOP\nidle\necho done\n";
    ASSERT_EQ(RunOperatorScript(h, script), 5);
    int pn, c = 0;
    ASSERT_EQ(GetUserEvent(1, &pn, &c), EVENT_COMMIT);
    ASSERT_EQ(c, SAMPLE_SCAN);
    // The handler's abortable wait polls without blocking; the script's clock keeps running.
    double t0 = Timer();
    c = 0;
    while (c != STOP && Timer() - t0 < 5) {
        if (GetUserEvent(0, &pn, &c) == 0) ProcessSystemEvents();
    }
    EXPECT_EQ(c, STOP);
    EXPECT_GE(Timer() - t0, 0.9);
    for (int k = 0; k < 5; k++) ProcessSystemEvents();
    EXPECT_TRUE(OperatorScriptActive());  // "idle" holds while a handler runs
    // Back in the loop's waiting fetch with nothing queued: idle; the echo runs, then our event.
    testing::internal::CaptureStdout();
    QTimer::singleShot(clock_real_ms(0.5), [this] { QueueUserEvent(1000, h, QUIT); });
    EXPECT_EQ(GetUserEvent(1, &pn, &c), 1000);
    EXPECT_FALSE(OperatorScriptActive());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "done\n");
    std::remove(script);
}

}  // namespace

namespace {

// Acts on the next modal dialog once it is up: accepts it with `file` selected, or rejects it.
void onNextDialog(QString *title, const QString &file) {
    auto *t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t, title, file] {
        QDialog *d = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *dd = qobject_cast<QDialog *>(w); dd && dd->isVisible()) d = dd;
        if (!d) return;
        t->stop();
        t->deleteLater();
        *title = d->windowTitle();
        auto *fd = qobject_cast<QFileDialog *>(d);
        if (fd && !file.isEmpty()) {
            // As an operator does: go to the folder, type the name, press the button.
            fd->setDirectory(QFileInfo(file).absolutePath());
            if (auto *e = fd->findChild<QLineEdit *>("fileNameEdit")) e->setText(QFileInfo(file).fileName());
            static_cast<QDialog *>(fd)->accept();
        } else if (auto *mb = qobject_cast<QMessageBox *>(d)) {
            mb->button(QMessageBox::Ok)->click();
        } else {
            d->reject();
        }
    });
    t->start(20);
}

TEST_F(Panel, DialogsWithoutScript) {
    QString title;
    char path[300] = "unchanged";
    onNextDialog(&title, QString());
    EXPECT_EQ(FileSelectPopup("", "*.dat", "*.dat", "Load map", VAL_LOAD_BUTTON, 0, 0, 1, 0, path), VAL_NO_FILE_SELECTED);
    EXPECT_EQ(title, "Load map");
    EXPECT_STREQ(path, "");

    const QString fresh = QDir::temp().filePath("panel_dialog_new.dat");
    QFile::remove(fresh);
    onNextDialog(&title, fresh);
    EXPECT_EQ(FileSelectPopup("", "*.dat", "*.dat", "Save map", VAL_SAVE_BUTTON, 0, 0, 1, 1, path), VAL_NEW_FILE_SELECTED);
    EXPECT_EQ(title, "Save map");
    EXPECT_EQ(QString(path), fresh);

    onNextDialog(&title, QString());
    EXPECT_EQ(MessagePopup("Reminder", "Switch the cable"), 0);
    EXPECT_EQ(title, "Reminder");
    int pn, c;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);  // a dialog raises no panel event
}

}  // namespace

namespace {

TEST_F(Panel, StatusTextAndAlert) {
    char buf[64];
    EXPECT_EQ(SetCtrlVal(h, STATUS, "Map scan: position 3 of 121\nstages not homed"), 0);
    EXPECT_EQ(SetCtrlTextAlert(h, STATUS, "Monochromator: GOTO 632.0 nm answered \"?\" <no ok>"), 0);
    int pn, c;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);  // program writes raise no event
    EXPECT_EQ(GetCtrlVal(h, STATUS, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Map scan: position 3 of 121\nstages not homed");
    // Cut to the caller's size, never past it.
    char small[9];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(GetCtrlVal(h, STATUS, small, 5), 0);
    EXPECT_STREQ(small, "Map ");
    EXPECT_EQ(small[5], 'x');
    EXPECT_EQ(GetCtrlVal(h, STATUS, small, 0), UIEOutOfRange);
    // Only text indicators take text; a text indicator has no number.
    EXPECT_EQ(SetCtrlVal(h, CURRENT, "1 nA"), UIEInvalidControl);
    EXPECT_EQ(GetCtrlVal(h, WL_CURRENT, buf, sizeof buf), UIEInvalidControl);
    int i;
    EXPECT_EQ(GetCtrlVal(h, STATUS, &i), UIEInvalidControl);

    // Plain text: markup characters show as themselves; the alert is red, on its own line.
    auto *l = widget<QLabel>("STATUS");
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(l->wordWrap());
    EXPECT_NE(l->text().indexOf("&lt;no ok&gt;"), -1) << l->text().toStdString();
    EXPECT_NE(l->text().indexOf("<br><span style=\"color:#d00000;\">"), -1);
    QImage img = l->grab().toImage();
    int red = 0;
    for (int y = 0; y < img.height(); y++)
        for (int x = 0; x < img.width(); x++) {
            QColor px = img.pixelColor(x, y);
            if (px.red() > 150 && px.green() < 80 && px.blue() < 80) red++;
        }
    EXPECT_GT(red, 10);

    const char *dump = "panel_status_controls.txt", *script = "panel_status.txt";
    std::ofstream(script) << "dump-controls " << dump << "\n";
    RunOperatorScript(h, script);
    ProcessSystemEvents();
    std::string d = slurp(dump);
    EXPECT_NE(d.find("\nSTATUS Map scan: position 3 of 121 stages not homed | Monochromator: GOTO 632.0 nm answered "
                     "\"?\" <no ok>\n"),
              std::string::npos)
        << d;
    SetCtrlTextAlert(h, STATUS, "");
    SetCtrlVal(h, STATUS, "");
    std::ofstream(script) << "dump-controls " << dump << "\n";
    RunOperatorScript(h, script);
    ProcessSystemEvents();
    d = slurp(dump);
    EXPECT_NE(d.find("\nSTATUS \n"), std::string::npos) << d;  // an empty status still shows
    std::remove(dump);
    std::remove(script);
}

TEST_F(Panel, PendingEventsAndNewButtons) {
    EXPECT_EQ(UserEventPending(h, POLL_TIMER), 0);
    QueueUserEvent(9000, h, POLL_TIMER);
    EXPECT_EQ(UserEventPending(h, POLL_TIMER), 1);
    EXPECT_EQ(UserEventPending(h, QUIT), 0);
    EXPECT_EQ(UserEventPending(h + 100, POLL_TIMER), 0);
    int pn, c;
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 9000);
    EXPECT_EQ(UserEventPending(h, POLL_TIMER), 0);  // taken

    widget<QPushButton>("RESUME_MAP")->click();
    widget<QPushButton>("OPEN_MAP")->click();
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, RESUME_MAP);
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, OPEN_MAP);
    EXPECT_EQ(widget<QPushButton>("RESUME_MAP")->text().toStdString(), "Resume map…");
    EXPECT_EQ(widget<QPushButton>("OPEN_MAP")->text().toStdString(), "Open map…");
}

std::vector<std::string> g_refusals;
void refused(int, int control, const char *message) {
    g_refusals.push_back(std::to_string(control) + " " + message);
}

TEST_F(Panel, ValuesOutsideTheLimitsAreRefusedNotCut) {
    g_refusals.clear();
    SetInputRefusedObserver(refused);
    SetCtrlVal(h, VSOURCE_VALUE, 10.0);
    auto *v = widget<QDoubleSpinBox>("VSOURCE_VALUE");
    int pn, c;
    // Typed whole: the stock field would stop at "50" and commit 50 V.
    v->setFocus();
    v->findChild<QLineEdit *>()->clear();
    for (const char *k : {"5", "0", "0"}) {
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, k);
        QApplication::sendEvent(v, &key);
    }
    EXPECT_EQ(v->findChild<QLineEdit *>()->text().toStdString().substr(0, 3), "500");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(v, &enter);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);  // nothing committed
    double d = 0;
    GetCtrlVal(h, VSOURCE_VALUE, &d);
    EXPECT_DOUBLE_EQ(d, 10.0);
    ASSERT_EQ(g_refusals.size(), 1u);
    EXPECT_EQ(g_refusals[0], "34 Source: 500 is outside -102.35 … 102.35 V; the value stays 10.00 V");
    EXPECT_NE(v->styleSheet().indexOf("#d00000"), -1);  // marked
    EXPECT_NE(v->toolTip().indexOf("outside"), -1);

    // Leaving the field with such a number refuses it too; a valid entry commits and clears the mark.
    typeAndEnter(v, "-1000");
    EXPECT_EQ(g_refusals.size(), 2u);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    typeAndEnter(v, "12.5");
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);
    EXPECT_EQ(c, VSOURCE_VALUE);
    GetCtrlVal(h, VSOURCE_VALUE, &d);
    EXPECT_DOUBLE_EQ(d, 12.5);
    EXPECT_EQ(v->styleSheet().indexOf("#d00000"), -1);
    EXPECT_EQ(v->toolTip().indexOf("outside"), -1);

    // Whole-number fields, and the scripted operator's "set" through the same check.
    typeAndEnter(widget<QSpinBox>("GRATING"), "7");
    ASSERT_EQ(g_refusals.size(), 3u);
    EXPECT_EQ(g_refusals[2], "2 Grating: 7 is outside 1 … 2; the value stays 1");
    const char *script = "panel_refuse.txt";
    std::ofstream(script) << "set WL_CURRENT 40000\nset VSOURCE_VALUE 500\nset WL_CURRENT 6000\n";
    testing::internal::CaptureStderr();
    RunOperatorScript(h, script);
    ProcessSystemEvents();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 1: refused: Wavelength: 40000 is outside 0 … 30000 ×0.1 nm"), std::string::npos) << err;
    EXPECT_NE(err.find("line 2: refused: Source: 500 is outside"), std::string::npos) << err;
    EXPECT_EQ(g_refusals.size(), 5u);
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);  // only the valid third line commits
    EXPECT_EQ(c, WL_CURRENT);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    int i = 0;
    GetCtrlVal(h, WL_CURRENT, &i);
    EXPECT_EQ(i, 6000);
    GetCtrlVal(h, VSOURCE_VALUE, &d);
    EXPECT_DOUBLE_EQ(d, 12.5);
    // The program's own writes are not the operator's entries: no refusal.
    SetCtrlVal(h, VSOURCE_VALUE, 500.0);
    EXPECT_EQ(g_refusals.size(), 5u);
    SetInputRefusedObserver(nullptr);
    std::remove(script);
}

TEST_F(Panel, ScriptIdleLimitAndFaultsOffTheSimulatedStation) {
    const char *script = "panel_idle.txt";
    std::ofstream(script) << "idle 5\nidle x\nfault mono noreply\nfault mono\nquit\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunOperatorScript(h, script), 3);  // "idle x" and the fault without kind are bad lines
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 2"), std::string::npos) << err;
    EXPECT_NE(err.find("line 4"), std::string::npos) << err;
    testing::internal::CaptureStderr();
    int pn, c = 0;
    while (c != QUIT) GetUserEvent(1, &pn, &c);  // idle at once: the limit is not reached
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 3: fault mono noreply refused: faults exist only on the simulated station"),
              std::string::npos)
        << err;
    std::remove(script);
}

// The grating field offers only the gratings the monochromator accepts (1 and 2): a 3, typed or
// set by the scripted operator, is refused like any value outside the limits and raises no event,
// so no grating command can follow it.
TEST_F(Panel, GratingFieldOffersOnlyWhatTheMonochromatorAccepts) {
    g_refusals.clear();
    SetInputRefusedObserver(refused);
    auto *g = widget<QSpinBox>("GRATING");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->minimum(), 1);
    EXPECT_EQ(g->maximum(), 2);
    SetCtrlVal(h, GRATING, 2);
    int pn, c;
    typeAndEnter(g, "3");
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    const char *script = "panel_grating.txt";
    std::ofstream(script) << "set GRATING 3\nset GRATING 1\n";
    testing::internal::CaptureStderr();
    RunOperatorScript(h, script);
    ProcessSystemEvents();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 1: refused: Grating: 3 is outside 1 … 2; the value stays 2"), std::string::npos) << err;
    ASSERT_EQ(g_refusals.size(), 2u);
    EXPECT_EQ(g_refusals[0], "2 Grating: 3 is outside 1 … 2; the value stays 2");
    ASSERT_EQ(GetUserEvent(0, &pn, &c), EVENT_COMMIT);  // only the grating it accepts commits
    EXPECT_EQ(c, GRATING);
    EXPECT_EQ(GetUserEvent(0, &pn, &c), 0);
    int v = 0;
    GetCtrlVal(h, GRATING, &v);
    EXPECT_EQ(v, 1);
    SetInputRefusedObserver(nullptr);
    std::remove(script);
}

}  // namespace
