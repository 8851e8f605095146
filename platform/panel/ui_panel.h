// Inner structures of the panel layer, shared by its source files (not for the program).
//
// The panel file is a Qt Designer form. Its root widget carries the dynamic property "panelId"
// (1 when absent); every control carries "ctrlId" (the program's identifier) and, where the
// widget class does not say it, "ctrlKind": numeric-int (QSpinBox), numeric-double
// (QDoubleSpinBox), numeric-eng (read-only QLineEdit, engineering notation; "unit", "digits"),
// led (QLabel; "onColor"), text (QLabel: a plain text and a red alert line), switch, button, ring (QComboBox, value = item data), table
// (QTableWidget of int cells, rows from "rowCount"), graph (a QWidget placeholder replaced by a
// plot; "xLabel", "xTenths", "yLabel", "yEng", "yUnit", "legend"), mapview (a QWidget placeholder
// replaced by the map view) and timer (hidden; "interval" in program
// seconds, "timerEnabled", "callback" = a name given to RegisterCallback).
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <map>
#include <string>

#include "platform/panel/userint.h"

class CurvePlot;
class QTableWidget;

enum class CtrlKind {
    Unknown,
    NumericInt,     // QSpinBox
    NumericDouble,  // QDoubleSpinBox
    Eng,            // read-only QLineEdit showing a double in engineering notation
    Led,            // QLabel drawn as a lamp, int 0 or 1
    Switch,         // checkable button or check box, int 0 or 1
    Button,         // QAbstractButton
    Ring,           // QComboBox; value = item data (int) or index
    Table,          // QTableWidget of int cells
    Graph,          // CurvePlot
    Timer,          // invisible; calls a registered callback
    Text,           // QLabel showing a plain text and, on its own line in red, an alert
    MapView,        // MapView (a QWidget placeholder replaced by the map view); value = positions shown
};

struct UiControl {
    int id = 0;
    QString name;  // objectName, the program's control name
    CtrlKind kind = CtrlKind::Unknown;
    QPointer<QWidget> w;
    double value = 0;  // Eng and Led: the value last written (the widget shows only text)
    QString unit;      // Eng: unit after the prefix
    QString text;      // Text: the text shown
    QString alert;     // Text: the alert below it, empty when none
    // Timer
    double interval = 1;   // program seconds
    bool enabled = false;  // timer running
    double due = 0;        // program seconds of the next call
    CtrlCallbackPtr callback = nullptr;
};

struct UiPanel {
    int handle = 0;
    QPointer<QWidget> root;
    std::map<int, UiControl> ctrls;  // by control id
    UiControl *find(int id) {
        auto it = ctrls.find(id);
        return it == ctrls.end() ? nullptr : &it->second;
    }
    UiControl *findByName(const QString &name) {
        for (auto &kv : ctrls)
            if (kv.second.name == name) return &kv.second;
        return nullptr;
    }
};

// Panels by handle; null when there is none (load.cpp).
UiPanel *ui_panel(int handle);
// Every loaded panel, by handle.
const std::map<int, UiPanel *> &ui_panels();
// The quit control the application named (SetQuitControl), 0 when none.
int ui_quit_control();
// The control of a panel; null with *err set (UIEInvalidPanel, UIEInvalidControl) when there is
// none or its widget is gone (values.cpp).
UiControl *ui_ctrl(int panel, int control, int *err);

// Appends an event to the queue (operator actions and user events alike) (events.cpp).
void ui_queue_event(int event, int panel, int control);
int ui_queue_length();
// Takes every waiting event of the panel off the queue (the panel is discarded).
void ui_drop_events(int panel);

// A double held to the int range and rounded (an absurd value must not become an undefined one).
int ui_to_int(double v);
// Paint a control from the value, text or alert it holds: a lamp, an engineering-notation
// indicator, a text indicator (values.cpp).
void ui_paint_led(UiControl &c);
void ui_show_eng(UiControl &c);
void ui_paint_text(UiControl &c);

// Refused entries (refused.cpp). A checked spin box for a panel file's "QSpinBox" or
// "QDoubleSpinBox" (a number outside the limits can be typed whole and is then refused); null
// for any other class.
QWidget *ui_make_checked_spin(const QString &className, QWidget *parent);
// Takes the mark of an earlier refusal off the field (its style and tool tip come back).
void ui_clear_refused(QWidget *w);
// Writes a value as the program does (no event) and paints it; the operator's "set" uses it too.
int ui_set_value(UiPanel *p, UiControl *c, double value);
// The control's value as a double; false when it has none (buttons, graphs, tables).
bool ui_get_value(const UiControl *c, double *value);
// The control's value as the text of a "NAME VALUE" dump; empty when it has none. A text
// indicator gives its text and, when an alert shows, " | " and the alert, newlines as spaces.
QString ui_value_text(const UiControl *c);
// The operator's entry `value` for a numeric field: false when it lies within the field's limits
// (the mark of an earlier refusal is cleared then). True when it is outside: the field is marked,
// the refusal observer is told, and *message (when given) holds its text; nothing is changed.
bool ui_refuse_outside(UiPanel *p, UiControl *c, double value, QString *message);

// Engineering notation with an SI prefix and `digits` significant digits: "1.235 nA", "0 A".
std::string ui_eng(double v, const char *unit, int digits = 4);

// Scripted operator (operator.cpp).
// Reads the script; bad lines are reported on stderr and skipped. Returns the number of steps, or
// -1 when the file cannot be read.
int op_start(int panel, const char *path);
void op_stop_for_panel(int panel);
bool op_active();
// Runs the steps that are due. `idle` is true when the program is blocked waiting for an event and
// the queue is empty.
void op_run(bool idle);
// Takes the next queued popup or file answer. Kinds: 'o' ok, 'n' cancel of a question, 'f' file
// (path written), 'c' cancel of a file dialog. want 'o' (a message) takes only 'o'; 'q' (a
// question) takes 'o' or 'n'; 'f' (a file dialog) takes 'f' or 'c'. Returns 0 when the next
// answer is not one the caller takes.
int op_take_answer(char want, std::string *path);
// Sleep time, in program seconds, until a script step may become due (large when none).
double op_next_due();

// Hooks set by the program.
extern PopupObserver g_popupObserver;
extern RowDumper g_rowDumper;
extern InputRefusedObserver g_inputRefused;
extern FaultInjector g_faultInjector;
