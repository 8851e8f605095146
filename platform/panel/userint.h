// Panel layer: the user-interface operations the measurement program performs on its one panel,
// on Qt 6 Widgets (the panel file is read at run time with Qt UiTools) and QCustomPlot.
//
// Model: every control has an integer identifier (given by the panel file; the program names
// them) and a typed value; one first-in first-out queue holds the operator's events (a committed
// input value, a pressed button) and the program's user events; the program writes values without
// raising events; a timer calls its callback while enabled. The panel knows no control of the
// program: what closing the window means and which script the scripted operator runs are handed
// in (SetQuitControl, SetOperatorScript). All calls come from the program's one thread.
#pragma once

typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void *callbackData,
                               int eventData1, int eventData2);

struct Point {
    int x;  // column, from 1
    int y;  // row, from 1
};
struct Rect {
    int top, left, height, width;
};
Point MakePoint(int x, int y);
Rect MakeRect(int top, int left, int height, int width);

// Event numbers.
enum {
    EVENT_NONE = 0,
    EVENT_COMMIT = 1,     // an operator's committed value or pressed button
    EVENT_TIMER_TICK = 22,
};
// Data types of PlotXY arrays.
enum { VAL_CHAR = 0, VAL_INTEGER = 1, VAL_SHORT_INTEGER = 2, VAL_FLOAT = 3, VAL_DOUBLE = 4 };
// Plot styles, point styles, line styles.
enum { VAL_THIN_LINE = 0, VAL_CONNECTED_POINTS = 1, VAL_SCATTER = 2 };
enum { VAL_EMPTY_SQUARE = 0, VAL_SOLID_SQUARE = 1, VAL_NO_POINT = 2 };
enum { VAL_SOLID = 0, VAL_DASH = 1, VAL_DOT = 2 };
// Colours, 0xRRGGBB.
enum : int {
    VAL_RED = 0xFF0000,
    VAL_GREEN = 0x00FF00,
    VAL_BLUE = 0x0000FF,
    VAL_BLACK = 0x000000,
    VAL_WHITE = 0xFFFFFF,
    VAL_LT_GRAY = 0xC0C0C0,
};
// Attributes.
enum { ATTR_ENABLED = 1, ATTR_INTERVAL = 2, ATTR_TRACE_COLOR = 3, ATTR_DIMMED = 4 };
// FileSelectPopup buttons and results.
enum { VAL_SAVE_BUTTON = 1, VAL_SELECT_BUTTON = 2, VAL_LOAD_BUTTON = 3 };
enum { VAL_NO_FILE_SELECTED = 0, VAL_EXISTING_FILE_SELECTED = 1, VAL_NEW_FILE_SELECTED = 2 };
// Results of failed operations.
enum {
    UIEPanelNotFound = -1,      // LoadPanel: no such panel in the file, or the file is unreadable
    UIEInvalidPanel = -2,       // no panel with that handle
    UIEInvalidControl = -3,     // no control with that identifier (or of the wrong kind)
    UIEInvalidPlot = -4,        // no curve with that handle on that graph
    UIEOutOfRange = -5,         // a table cell or selection outside the table
    UIEFileNotFound = -6,       // the panel file does not exist
    UIEInitFailed = -7,
};

// Sets up the run-time (the Qt application object, created once and kept). Returns 1, or 0 on
// failure. hInstance and argv may be null.
int InitCVIRTEEx(void *hInstance, char **argv, void *reserved);
// Registers a callback under the name the panel file gives it (the timer's callback). Must be
// called before LoadPanel.
void RegisterCallback(const char *name, CtrlCallbackPtr fn);
// Loads panel panelId of the panel file. Returns a handle >= 0, or a negative code when the file
// is missing or unreadable or holds no such panel (nothing is shown then).
int LoadPanel(int parent, const char *fileName, int panelId);
int DisplayPanel(int panel);
int DiscardPanel(int panel);

// Takes the next event. wait 1: blocks (processing window events, timers and the scripted
// operator) until one is there. wait 0: returns at once. Returns the event number, with *panel
// and *control written; when wait is 0 and nothing is pending returns 0 and leaves *panel and
// *control as they were.
int GetUserEvent(int wait, int *panel, int *control);
// Appends a user event for the control. Returns 0, or a negative code.
int QueueUserEvent(int eventNumber, int panel, int control);
// 1 when an event of that control of that panel is waiting in the queue (queued, not yet taken),
// else 0 (also for an unknown panel).
int UserEventPending(int panel, int control);
// Delivers pending window input, redraws, timer callbacks and scripted operator steps; takes no
// event off the queue.
int ProcessSystemEvents(void);

// Reads a control's value into a variable of the control's type. Returns 0 or a negative code
// (the variable is untouched then).
int GetCtrlVal(int panel, int control, int *value);
int GetCtrlVal(int panel, int control, float *value);
int GetCtrlVal(int panel, int control, double *value);
// Writes a control's value; it shows at once (painted before the call returns) and raises no
// event. Returns 0 or a negative code.
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, double value);
// Text indicators: the text shown, plain (no markup), word-wrapped, selectable. Writing raises no
// event and paints at once. GetCtrlVal copies at most size - 1 characters and a NUL (a longer text
// is cut there); both return 0, UIEInvalidControl when the control is not a text indicator, or
// UIEOutOfRange when text is null or size < 1 (GetCtrlVal writes nothing then).
int SetCtrlVal(int panel, int control, const char *text);
int GetCtrlVal(int panel, int control, char *text, int size);
// The alert of a text indicator: a second part shown in red on its own line below the text; an
// empty string or null clears it. Returns as SetCtrlVal.
int SetCtrlTextAlert(int panel, int control, const char *alert);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int GetCtrlAttribute(int panel, int control, int attribute, int *value);

// Draws a curve; returns its handle (> 0) or a negative code.
int PlotXY(int panel, int graph, const void *x, const void *y, int numPoints, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color);
int DeleteGraphPlot(int panel, int graph, int plotHandle, int refresh);
int SetPlotAttribute(int panel, int graph, int plotHandle, int attribute, int value);
int RefreshGraph(int panel, int graph);

// Table of int cells; cell (column, row), both from 1. Out-of-table cells give UIEOutOfRange and
// change nothing.
int GetTableCellVal(int panel, int control, Point cell, int *value);
int SetTableCellVal(int panel, int control, Point cell, int value);
int GetNumTableRows(int panel, int control, int *rows);
int SetTableSelection(int panel, int control, Rect selection);
int GetTableSelection(int panel, int control, Rect *selection);

// Modal file dialog. Writes the chosen path (at most 299 characters and a NUL) into path.
// Returns VAL_NO_FILE_SELECTED, VAL_EXISTING_FILE_SELECTED or VAL_NEW_FILE_SELECTED.
int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec, const char *fileTypeList,
                    const char *title, int buttonLabel, int restrictDirectory, int restrictExtension,
                    int allowCancel, int allowMakeDirectory, char path[]);
// Modal message; returns when acknowledged.
int MessagePopup(const char *title, const char *message);
// Modal question with OK and Cancel (Cancel the default). Returns 1 for OK, 0 for Cancel, for a
// closed dialog and when the program has been asked to end.
int ConfirmPopup(const char *title, const char *message);
int SetWaitCursor(int on);

// Reminders: messages that ask the operator to change something at the station. The kind names
// the change, so that what acts on a reminder (the simulated station's operator) never reads its
// words.
enum ReminderKind {
    REMINDER_NONE = 0,         // not a reminder: an ordinary message or question
    REMINDER_REFERENCE_CABLE,  // put the electrometer's cable on the reference detector
    REMINDER_SAMPLE_CABLE,     // put the electrometer's cable on the sample detector
    REMINDER_OPTICS,           // redo the optical set-up (light source, slit, range file)
};
// Shows a reminder exactly as MessagePopup shows the same title and message (the scripted
// operator acknowledges it the same way); the popup observer is told its kind. Returns 0.
int ReminderPopup(int kind, const char *title, const char *message);

// ---------------------------------------------------------------------------------------------
// What the application hands in.

// The application's quit control (a control identifier > 0; 0 names none). Closing the panel's
// window is then a press of it, an end request is queued on it (EVENT_END_REQUEST) and the
// scripted operator's "quit" presses it. Without one, closing the window closes it as any other,
// an end request is queued on control 0 and "quit" is reported and skipped. Call before
// DisplayPanel.
void SetQuitControl(int control);
// The scripted operator's file, run on the panel once it is first displayed; null or "" for none
// (the default). Call before InitCVIRTEEx: with a script and no display the run-time then runs
// offscreen.
void SetOperatorScript(const char *path);

// ---------------------------------------------------------------------------------------------
// Automation hooks (the simulated station and the scripted operator; not used by real sessions).

// Called with the kind (REMINDER_NONE for MessagePopup and ConfirmPopup), title and text of every
// pop-up message or question, before it shows.
typedef void (*PopupObserver)(int kind, const char *title, const char *message);
void SetPopupObserver(PopupObserver fn);
// Writes store row `row` to a text file for the scripted operator's "dump-row"; returns 0 or
// a negative value. Registered by the application.
typedef int (*RowDumper)(int row, const char *path);
void SetRowDumper(RowDumper fn);

// Called when the operator enters a value outside a numeric field's limits. The entry is refused:
// it is not committed (no event), the field keeps its value and is marked until the next valid
// entry. The message names the field, the value, the limits and the value kept, e.g.
// "Source: 500 is outside -102.35 … 102.35 V; the value stays 10.00 V".
typedef void (*InputRefusedObserver)(int panel, int control, const char *message);
void SetInputRefusedObserver(InputRefusedObserver fn);
// Sets a fault of the simulated station for the scripted operator's "fault INSTRUMENT KIND";
// returns 0, or -1 for an unknown instrument or kind. Registered only on the simulated station.
typedef int (*FaultInjector)(const char *instrument, const char *kind);
void SetFaultInjector(FaultInjector fn);

// ---------------------------------------------------------------------------------------------
// Extensions of this panel layer (tests, benchmarks and the scripted operator).

// Reads a curve's colour (ATTR_TRACE_COLOR) into value. Returns 0, UIEInvalidPlot when the handle
// names no curve of that graph.
int GetPlotAttribute(int panel, int graph, int plotHandle, int attribute, int *value);
// Number of curves on a graph and how many of them are light grey (either pointer may be null).
int GetNumPlots(int panel, int graph, int *count, int *grey);
// Saves a PNG image of the panel. Returns 0 or a negative code.
int SavePanelImage(int panel, const char *path);
// Runs a scripted-operator file on the panel (DisplayPanel does it for SetOperatorScript's). Returns
// the number of valid steps, or a negative code when the file cannot be read.
int RunOperatorScript(int panel, const char *path);
// True while a scripted operator has steps left to run.
int OperatorScriptActive(void);
