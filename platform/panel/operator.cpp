// The scripted operator: a text file of operator actions performed through the panel's own event
// queue, one step at a time, while the program processes events (GetUserEvent and
// ProcessSystemEvents), so that a step can land in the middle of a running measurement.
#include <QFile>
#include <QTableWidget>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unistd.h>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/panel/mapview.h"
#include "platform/panel/signals.h"
#include "platform/panel/ui_panel.h"

namespace {

enum class Op { Set, Press, Cell, Answer, File, Cancel, Wait, Idle, Until, Screenshot, DumpRow, DumpControls, Echo, Fault, MapWavelength, DumpMap, ScreenshotMap, Quit, Signal };

struct Step {
    Op op;
    int line = 0;
    int ctrl = 0;       // control id
    double value = 0;   // set, until: value; wait, idle: program seconds (idle: < 0 = no limit)
    double limit = 0;   // until: program seconds before the script gives up
    int col = 0, row = 0, cellValue = 0, n = 0;
    std::string text;   // path or echo text; fault: instrument
    std::string kind;   // fault: kind
};

struct Script {
    int panel = -1;
    bool loaded = false;
    std::vector<Step> steps;
    size_t next = 0;
    double waitUntil = -1;  // program seconds: end of the current wait or idle limit; < 0 before it begins
    std::deque<std::pair<char, std::string>> answers;  // 'o' ok, 'n' cancel, 'f' + path, 'c' no file
};
Script g_op;

bool parseDouble(const QString &s, double *v) {
    bool ok = false;
    *v = s.toDouble(&ok);
    return ok;
}
bool parseInt(const QString &s, int *v) {
    bool ok = false;
    *v = s.toInt(&ok);
    return ok;
}

// Everything after the first `words` words of the line, trimmed (paths and texts may hold blanks).
QString restAfter(const QString &line, int words) {
    int i = 0, n = line.size();
    for (int w = 0; w < words; w++) {
        while (i < n && line[i].isSpace()) i++;
        while (i < n && !line[i].isSpace()) i++;
    }
    return line.mid(i).trimmed();
}

void bad(const char *file, int line, const QString &text, const char *why) {
    fprintf(stderr, "operator: %s line %d: %s: \"%s\" (skipped)\n", file, line, why, text.toLocal8Bit().constData());
}

int writeControls(UiPanel *p, const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return -1;
    for (auto &kv : p->ctrls) {
        QString v = ui_value_text(&kv.second);
        if (v.isEmpty() && kv.second.kind != CtrlKind::Text) continue;  // buttons have no value
        fprintf(f, "%s %s\n", kv.second.name.toLocal8Bit().constData(), v.toLocal8Bit().constData());
    }
    return fclose(f) == 0 ? 0 : -1;
}

// Performs one step that does not wait. Failures are reported and the script goes on.
void perform(UiPanel *p, const Step &s) {
    switch (s.op) {
    case Op::Set: {
        UiControl *c = p->find(s.ctrl);
        QString refused;
        if (c && ui_refuse_outside(p, c, s.value, &refused))
            fprintf(stderr, "operator: line %d: refused: %s\n", s.line, refused.toUtf8().constData());
        else if (c && ui_set_value(p, c, s.value) == 0)
            ui_queue_event(EVENT_COMMIT, p->handle, s.ctrl);
        else
            fprintf(stderr, "operator: line %d: the value cannot be set\n", s.line);
        break;
    }
    case Op::Press:
    case Op::Quit:
        ui_queue_event(EVENT_COMMIT, p->handle, s.ctrl);
        break;
    case Op::Cell:
        if (SetTableCellVal(p->handle, s.ctrl, MakePoint(s.col, s.row), s.cellValue) == 0)
            ui_queue_event(EVENT_COMMIT, p->handle, s.ctrl);
        else
            fprintf(stderr, "operator: line %d: no cell %d %d in the table\n", s.line, s.col, s.row);
        break;
    case Op::Answer:
        g_op.answers.push_back({s.n ? 'o' : 'n', ""});
        break;
    case Op::Signal:
        RequestEnd(s.n);
        break;
    case Op::File:
        g_op.answers.push_back({'f', s.text});
        break;
    case Op::Cancel:
        g_op.answers.push_back({'c', ""});
        break;
    case Op::Screenshot:
        if (SavePanelImage(p->handle, s.text.c_str()) != 0)
            fprintf(stderr, "operator: line %d: cannot save screenshot %s\n", s.line, s.text.c_str());
        break;
    case Op::DumpRow:
        if (!g_rowDumper)
            fprintf(stderr, "operator: line %d: the program has no row dumper\n", s.line);
        else if (g_rowDumper(s.n, s.text.c_str()) < 0)
            fprintf(stderr, "operator: line %d: dump of row %d to %s failed\n", s.line, s.n, s.text.c_str());
        break;
    case Op::DumpControls:
        if (writeControls(p, s.text) != 0)
            fprintf(stderr, "operator: line %d: cannot write %s\n", s.line, s.text.c_str());
        break;
    case Op::MapWavelength:
    case Op::DumpMap:
    case Op::ScreenshotMap: {
        MapView *v = mapview_of_panel(p->handle);
        if (!v) {
            fprintf(stderr, "operator: line %d: the panel has no map view\n", s.line);
        } else if (s.op == Op::MapWavelength) {
            float got = v->setWavelengthNm(s.value);
            if (got == 0) fprintf(stderr, "operator: line %d: the map view shows no map (%.1f nm kept for the next)\n", s.line, s.value);
        } else if ((s.op == Op::DumpMap ? v->dump(s.text.c_str()) : v->savePng(s.text.c_str())) != 0) {
            fprintf(stderr, "operator: line %d: cannot write %s\n", s.line, s.text.c_str());
        }
        break;
    }
    case Op::Echo:
        printf("%s\n", s.text.c_str());
        fflush(stdout);
        break;
    case Op::Fault:
        if (!g_faultInjector)
            fprintf(stderr, "operator: line %d: fault %s %s refused: faults exist only on the simulated station\n",
                    s.line, s.text.c_str(), s.kind.c_str());
        else if (g_faultInjector(s.text.c_str(), s.kind.c_str()) != 0)
            fprintf(stderr, "operator: line %d: fault %s %s refused\n", s.line, s.text.c_str(), s.kind.c_str());
        break;
    default:
        break;
    }
}

}  // namespace

FaultInjector g_faultInjector = nullptr;
void SetFaultInjector(FaultInjector fn) { g_faultInjector = fn; }

int op_start(int panel, const char *path) {
    UiPanel *p = ui_panel(panel);
    if (!p || !path) return UIEInvalidPanel;
    QFile f(QString::fromLocal8Bit(path));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        fprintf(stderr, "operator: cannot read script %s\n", path);
        return UIEFileNotFound;
    }
    g_op = Script();
    g_op.panel = panel;
    g_op.loaded = true;
    QTextStream in(&f);
    int lineNo = 0;
    while (!in.atEnd()) {
        QString raw = in.readLine();
        lineNo++;
        QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        QStringList w = line.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
        QString cmd = w[0].toLower();
        Step s;
        s.line = lineNo;
        auto control = [&](const QString &name, UiControl **out) {
            *out = p->findByName(name);
            if (!*out) bad(path, lineNo, raw, "no such control");
            return *out != nullptr;
        };
        UiControl *c = nullptr;
        if (cmd == "set") {
            if (w.size() != 3) { bad(path, lineNo, raw, "expected: set CONTROL VALUE"); continue; }
            if (!control(w[1], &c)) continue;
            double probe;
            if (!ui_get_value(c, &probe) || c->kind == CtrlKind::Timer) { bad(path, lineNo, raw, "control takes no value"); continue; }
            if (!parseDouble(w[2], &s.value)) { bad(path, lineNo, raw, "value is not a number"); continue; }
            s.op = Op::Set;
            s.ctrl = c->id;
        } else if (cmd == "press") {
            if (w.size() != 2) { bad(path, lineNo, raw, "expected: press CONTROL"); continue; }
            if (!control(w[1], &c)) continue;
            s.op = Op::Press;
            s.ctrl = c->id;
        } else if (cmd == "cell") {
            if (w.size() != 4) { bad(path, lineNo, raw, "expected: cell COL ROW VALUE"); continue; }
            UiControl *t = nullptr;
            for (auto &kv : p->ctrls)
                if (kv.second.kind == CtrlKind::Table) t = &kv.second;
            if (!t) { bad(path, lineNo, raw, "the panel has no table"); continue; }
            if (!parseInt(w[1], &s.col) || !parseInt(w[2], &s.row) || !parseInt(w[3], &s.cellValue)) {
                bad(path, lineNo, raw, "column, row and value must be integers");
                continue;
            }
            auto *tw = qobject_cast<QTableWidget *>(t->w);
            if (!tw || s.col < 1 || s.col > tw->columnCount() || s.row < 1 || s.row > tw->rowCount()) {
                bad(path, lineNo, raw, "cell outside the table");
                continue;
            }
            s.op = Op::Cell;
            s.ctrl = t->id;
        } else if (cmd == "answer") {
            QString a = w.size() == 2 ? w[1].toLower() : QString();
            if (a != "ok" && a != "cancel") { bad(path, lineNo, raw, "expected: answer ok, or answer cancel"); continue; }
            s.op = Op::Answer;
            s.n = a == "ok";
        } else if (cmd == "signal") {
            // The program's end request as a signal would make it, without racing a real one.
            s.n = w.size() == 2 ? EndRequestCode(w[1].toUpper().toLatin1().constData()) : 0;
            if (!s.n) { bad(path, lineNo, raw, "expected: signal TERM, INT, HUP, CTRL_C, BREAK or CLOSE"); continue; }
            s.op = Op::Signal;
        } else if (cmd == "file") {
            s.text = restAfter(line, 1).toLocal8Bit().toStdString();
            if (s.text.empty()) { bad(path, lineNo, raw, "expected: file PATH"); continue; }
            s.op = Op::File;
        } else if (cmd == "cancel") {
            if (w.size() != 1) { bad(path, lineNo, raw, "expected: cancel"); continue; }
            s.op = Op::Cancel;
        } else if (cmd == "wait") {
            if (w.size() != 2 || !parseDouble(w[1], &s.value) || s.value < 0) {
                bad(path, lineNo, raw, "expected: wait SECONDS (a number >= 0)");
                continue;
            }
            s.op = Op::Wait;
        } else if (cmd == "idle") {
            s.value = -1;
            if (w.size() > 2 || (w.size() == 2 && (!parseDouble(w[1], &s.value) || !(s.value >= 0)))) {
                bad(path, lineNo, raw, "expected: idle [SECONDS] (a number >= 0)");
                continue;
            }
            s.op = Op::Idle;
        } else if (cmd == "until") {
            // Lets a step land at a point of a measurement, whatever the machine's speed: a
            // fixed wait lands elsewhere when the machine is slow.
            if (w.size() != 4) { bad(path, lineNo, raw, "expected: until CONTROL VALUE SECONDS"); continue; }
            if (!control(w[1], &c)) continue;
            double probe;
            if (!ui_get_value(c, &probe)) { bad(path, lineNo, raw, "control has no value"); continue; }
            if (!parseDouble(w[2], &s.value) || !parseDouble(w[3], &s.limit) || !(s.limit >= 0)) {
                bad(path, lineNo, raw, "expected: until CONTROL VALUE SECONDS (numbers, SECONDS >= 0)");
                continue;
            }
            s.op = Op::Until;
            s.ctrl = c->id;
        } else if (cmd == "fault") {
            if (w.size() != 3) { bad(path, lineNo, raw, "expected: fault INSTRUMENT KIND"); continue; }
            s.text = w[1].toStdString();
            s.kind = w[2].toStdString();
            s.op = Op::Fault;
        } else if (cmd == "map-wavelength") {
            if (w.size() != 2 || !parseDouble(w[1], &s.value) || !(s.value > 0) || s.value > 1e5) {
                bad(path, lineNo, raw, "expected: map-wavelength NM (a wavelength in nm)");
                continue;
            }
            s.op = Op::MapWavelength;
        } else if (cmd == "dump-map" || cmd == "screenshot-map") {
            s.text = restAfter(line, 1).toLocal8Bit().toStdString();
            if (s.text.empty()) { bad(path, lineNo, raw, "a file name is missing"); continue; }
            s.op = cmd == "dump-map" ? Op::DumpMap : Op::ScreenshotMap;
        } else if (cmd == "screenshot" || cmd == "dump-controls") {
            s.text = restAfter(line, 1).toLocal8Bit().toStdString();
            if (s.text.empty()) { bad(path, lineNo, raw, "a file name is missing"); continue; }
            s.op = cmd == "screenshot" ? Op::Screenshot : Op::DumpControls;
        } else if (cmd == "dump-row") {
            s.text = restAfter(line, 2).toLocal8Bit().toStdString();
            if (w.size() < 3 || !parseInt(w[1], &s.n) || s.n < 0 || s.text.empty()) {
                bad(path, lineNo, raw, "expected: dump-row N PATH");
                continue;
            }
            s.op = Op::DumpRow;
        } else if (cmd == "echo") {
            s.text = restAfter(line, 1).toLocal8Bit().toStdString();
            s.op = Op::Echo;
        } else if (cmd == "quit") {
            if (w.size() != 1) { bad(path, lineNo, raw, "expected: quit"); continue; }
            UiControl *q = p->findByName("QUIT");
            s.op = Op::Quit;
            s.ctrl = q ? q->id : 12;
        } else {
            bad(path, lineNo, raw, "unknown action");
            continue;
        }
        g_op.steps.push_back(s);
    }
    return (int)g_op.steps.size();
}

void op_stop_for_panel(int panel) {
    if (g_op.loaded && g_op.panel == panel) g_op = Script();
}

bool op_active() { return g_op.loaded; }

double op_next_due() {
    if (!g_op.loaded || g_op.next >= g_op.steps.size()) return 1e300;
    const Step &s = g_op.steps[g_op.next];
    if ((s.op == Op::Wait || s.op == Op::Idle || s.op == Op::Until) && g_op.waitUntil >= 0) return g_op.waitUntil;
    if (s.op == Op::Idle && s.value < 0) return 1e300;
    return Timer();
}

void op_run(bool idle) {
    while (g_op.loaded && g_op.next < g_op.steps.size()) {
        UiPanel *p = ui_panel(g_op.panel);
        if (!p) return;
        const Step &s = g_op.steps[g_op.next];
        if (s.op == Op::Wait) {
            if (g_op.waitUntil < 0) g_op.waitUntil = Timer() + s.value;
            if (Timer() < g_op.waitUntil) return;
            g_op.waitUntil = -1;
        } else if (s.op == Op::Idle) {
            // Idle: the program is blocked waiting for an event and nothing is queued for it.
            if (s.value >= 0 && g_op.waitUntil < 0) g_op.waitUntil = Timer() + s.value;
            if (!idle || ui_queue_length() != 0) {
                if (g_op.waitUntil < 0 || Timer() < g_op.waitUntil) return;
                // A script must never hang: the program is ended where it stands.
                fprintf(stderr, "operator: line %d: the program was not idle within %g s; giving up and ending it\n",
                        s.line, s.value);
                fflush(nullptr);
                _exit(3);
            }
            g_op.waitUntil = -1;
        } else if (s.op == Op::Until) {
            if (g_op.waitUntil < 0) g_op.waitUntil = Timer() + s.limit;
            UiControl *c = p->find(s.ctrl);
            double v = 0;
            if (!c || !ui_get_value(c, &v) || v != s.value) {
                if (Timer() < g_op.waitUntil) return;
                fprintf(stderr, "operator: line %d: the control did not show %g within %g s; giving up and ending it\n",
                        s.line, s.value, s.limit);
                fflush(nullptr);
                _exit(3);
            }
            g_op.waitUntil = -1;
        } else {
            perform(p, s);
        }
        g_op.next++;
        if (g_op.next == g_op.steps.size()) fprintf(stderr, "operator: script finished\n");
    }
}

int op_take_answer(char want, std::string *path) {
    if (g_op.answers.empty()) return 0;
    auto a = g_op.answers.front();
    // A file dialog takes the next file or cancel answer; a message takes the next "ok"; a
    // question the next "ok" or "cancel".
    if (want == 'o' && a.first != 'o') return 0;
    if (want == 'q' && a.first != 'o' && a.first != 'n') return 0;
    if (want == 'f' && a.first != 'f' && a.first != 'c') return 0;
    g_op.answers.pop_front();
    if (path) *path = a.second;
    return a.first;
}

int RunOperatorScript(int panel, const char *path) { return op_start(panel, path); }
int OperatorScriptActive(void) { return g_op.loaded && g_op.next < g_op.steps.size(); }
