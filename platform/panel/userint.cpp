// Panel layer on Qt Widgets: panel loading, control values, the event queue and the timers.
#include "platform/panel/userint.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QUiLoader>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <QGuiApplication>
#include <QScreen>
#include <map>
#include <string>
#include <type_traits>

#include "platform/core/clock.h"
#include "platform/panel/curveplot.h"
#include "platform/panel/mapview.h"
#include "platform/panel/signals.h"
#include "platform/panel/ui_panel.h"

PopupObserver g_popupObserver = nullptr;
RowDumper g_rowDumper = nullptr;
InputRefusedObserver g_inputRefused = nullptr;

namespace {

struct Event {
    int event, panel, control;
};

std::deque<Event> g_queue;
std::map<int, UiPanel *> g_panels;
std::map<std::string, CtrlCallbackPtr> g_callbacks;
int g_nextPanel = 1;
bool g_waitCursor = false;

// Turns the window's close button into a press of QUIT (id 12), so that the program shuts its
// instruments down in order instead of losing its panel.
class CloseToQuit : public QObject {
public:
    CloseToQuit(int panel, QObject *owner) : QObject(owner), panel_(panel) {}

protected:
    bool eventFilter(QObject *o, QEvent *e) override {
        if (e->type() == QEvent::Close) {
            e->ignore();
            ui_queue_event(EVENT_COMMIT, panel_, 12);
            return true;
        }
        return QObject::eventFilter(o, e);
    }

private:
    int panel_;
};

// A double held to the int range and rounded (an absurd value must not become an undefined one).
int toInt(double v) {
    if (std::isnan(v)) return 0;
    return (int)std::lround(std::clamp(v, -2147483648.0, 2147483647.0));
}

CtrlKind kindOf(QWidget *w) {
    QString k = w->property("ctrlKind").toString();
    if (k == "graph") return CtrlKind::Graph;
    if (k == "mapview") return CtrlKind::MapView;
    if (k == "timer") return CtrlKind::Timer;
    if (k == "led") return CtrlKind::Led;
    if (k == "text") return CtrlKind::Text;
    if (k == "switch") return CtrlKind::Switch;
    if (k == "table") return CtrlKind::Table;
    if (k == "numeric-int") return CtrlKind::NumericInt;
    if (k == "numeric-double") return CtrlKind::NumericDouble;
    if (k == "numeric-eng") return CtrlKind::Eng;
    if (k == "button") return CtrlKind::Button;
    if (k == "ring") return CtrlKind::Ring;
    // No kind given: from the widget's class.
    if (qobject_cast<QTableWidget *>(w)) return CtrlKind::Table;
    if (qobject_cast<QSpinBox *>(w)) return CtrlKind::NumericInt;
    if (qobject_cast<QDoubleSpinBox *>(w)) return CtrlKind::NumericDouble;
    if (qobject_cast<QComboBox *>(w)) return CtrlKind::Ring;
    if (qobject_cast<QCheckBox *>(w)) return CtrlKind::Switch;
    if (qobject_cast<QAbstractButton *>(w))
        return static_cast<QAbstractButton *>(w)->isCheckable() ? CtrlKind::Switch : CtrlKind::Button;
    if (qobject_cast<QLineEdit *>(w)) return CtrlKind::Eng;
    if (qobject_cast<QLabel *>(w)) return CtrlKind::Led;
    return CtrlKind::Unknown;
}

void paintLed(UiControl &c) {
    auto *l = qobject_cast<QLabel *>(c.w);
    if (!l) return;
    QString on = c.w->property("onColor").toString();
    if (on.isEmpty()) on = "#30d040";
    QString col = c.value != 0 ? on : QString("#404040");
    l->setStyleSheet(QString("background-color: %1; border: 1px solid #202020; border-radius: %2px;")
                         .arg(col)
                         .arg(std::min(l->width(), l->height()) / 2));
}

void showEng(UiControl &c) {
    auto *e = qobject_cast<QLineEdit *>(c.w);
    if (!e) return;
    int digits = c.w->property("digits").isValid() ? c.w->property("digits").toInt() : 4;
    e->setText(QString::fromStdString(ui_eng(c.value, c.unit.toStdString().c_str(), digits)));
    e->setCursorPosition(0);
}

void paintText(UiControl &c) {
    auto *l = qobject_cast<QLabel *>(c.w);
    if (!l) return;
    // Shown as markup only to colour the alert; both parts are escaped, so they stay plain text.
    auto html = [](const QString &t) { return t.toHtmlEscaped().replace('\n', "<br>"); };
    QString out = html(c.text);
    if (!c.alert.isEmpty())
        out += (c.text.isEmpty() ? QString() : QString("<br>")) + "<span style=\"color:#d00000;\">" + html(c.alert) +
               "</span>";
    l->setText(out);
    if (l->isVisible()) l->repaint();
}

// The number an operator typed into a spin box, its prefix and suffix taken off; false when the
// text holds none (or, for a whole-number field, a number with a fraction).
bool typedNumber(const QAbstractSpinBox *s, const QString &text, bool whole, double *v) {
    QString t = text, pre, suf;
    if (auto *i = qobject_cast<const QSpinBox *>(s)) pre = i->prefix(), suf = i->suffix();
    if (auto *d = qobject_cast<const QDoubleSpinBox *>(s)) pre = d->prefix(), suf = d->suffix();
    if (!pre.isEmpty() && t.startsWith(pre)) t = t.mid(pre.size());
    if (!suf.isEmpty() && t.endsWith(suf)) t.chop(suf.size());
    t = t.trimmed();
    bool ok = false;
    *v = s->locale().toDouble(t, &ok);
    if (!ok) *v = t.toDouble(&ok);
    if (!ok || !std::isfinite(*v)) return false;
    return !whole || *v == std::floor(*v);
}

// Spin boxes that let a number outside the limits be typed whole, so that Enter or leaving the
// field refuses it. The stock validator stops the keystroke that leaves the range, and the entry
// then commits a different value ("500" into a field of at most 102.35 becomes 50).
template <class Base>
class CheckedSpin : public Base {
public:
    explicit CheckedSpin(QWidget *parent) : Base(parent) {}
    QValidator::State validate(QString &input, int &pos) const override {
        QValidator::State st = Base::validate(input, pos);
        double v;
        if (st == QValidator::Invalid && typedNumber(this, input, whole(), &v)) return QValidator::Intermediate;
        return st;
    }

protected:
    void keyPressEvent(QKeyEvent *e) override {
        if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && refuseTyped()) {
            e->accept();
            return;
        }
        Base::keyPressEvent(e);
    }
    void focusOutEvent(QFocusEvent *e) override {
        refuseTyped();
        Base::focusOutEvent(e);
    }

private:
    static constexpr bool whole() { return std::is_same_v<Base, QSpinBox>; }
    // True when the typed text is a number outside the limits: refused, and the field shows its
    // value again.
    bool refuseTyped() {
        double v;
        if (!typedNumber(this, this->lineEdit()->text(), whole(), &v)) return false;
        UiPanel *p = ui_panel(this->property("uiPanel").toInt());
        UiControl *c = p ? p->find(this->property("ctrlId").toInt()) : nullptr;
        if (!c || !ui_refuse_outside(p, c, v, nullptr)) return false;
        this->lineEdit()->setText(this->prefix() + this->textFromValue(this->value()) + this->suffix());
        this->lineEdit()->selectAll();
        return true;
    }
};

// Makes the panel file's spin boxes checked ones; every other class as the stock loader does.
class PanelLoader : public QUiLoader {
public:
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        QWidget *w = nullptr;
        if (className == "QSpinBox") w = new CheckedSpin<QSpinBox>(parent);
        else if (className == "QDoubleSpinBox") w = new CheckedSpin<QDoubleSpinBox>(parent);
        if (!w) return QUiLoader::createWidget(className, parent, name);
        w->setObjectName(name);
        return w;
    }
};

// True when the layout holds the widget, directly or in a nested layout.
bool layoutHolds(QLayout *l, QWidget *w) {
    if (!l) return false;
    for (int i = 0; i < l->count(); i++) {
        QLayoutItem *it = l->itemAt(i);
        if (it->widget() == w || layoutHolds(it->layout(), w)) return true;
    }
    return false;
}

// The field's name for messages: its "label" property, else the text of its row's label in a
// form, else its control name.
QString fieldLabel(UiPanel *p, const UiControl &c) {
    QString given = c.w->property("label").toString();
    if (!given.isEmpty()) return given;
    for (QFormLayout *f : p->root->findChildren<QFormLayout *>()) {
        for (int r = 0; r < f->rowCount(); r++) {
            QLayoutItem *field = f->itemAt(r, QFormLayout::FieldRole);
            QLayoutItem *label = f->itemAt(r, QFormLayout::LabelRole);
            if (!field || !label) continue;
            if (field->widget() != c.w && !layoutHolds(field->layout(), c.w)) continue;
            if (auto *l = qobject_cast<QLabel *>(label->widget())) return l->text();
        }
    }
    return c.name;
}

void markRefused(QWidget *w, const QString &message) {
    if (!w->property("refusedMark").toBool()) {
        w->setProperty("refusedMark", true);
        w->setProperty("refusedOldTip", w->toolTip());
        w->setProperty("refusedOldStyle", w->styleSheet());
    }
    w->setStyleSheet(w->property("refusedOldStyle").toString() + QString(" %1 { border: 2px solid #d00000; }")
                                                                     .arg(w->metaObject()->className()));
    w->setToolTip(message);
    if (w->isVisible()) w->repaint();
}

void clearRefused(QWidget *w) {
    if (!w || !w->property("refusedMark").toBool()) return;
    w->setStyleSheet(w->property("refusedOldStyle").toString());
    w->setToolTip(w->property("refusedOldTip").toString());
    w->setProperty("refusedMark", false);
    if (w->isVisible()) w->repaint();
}

// Replaces a graph placeholder by a plot in the same place of the layout.
CurvePlot *makeGraph(QWidget *ph) {
    auto *plot = new CurvePlot(ph->parentWidget());
    plot->setObjectName(ph->objectName());
    for (const QByteArray &name : ph->dynamicPropertyNames()) plot->setProperty(name, ph->property(name));
    plot->setMinimumSize(ph->minimumSize());
    plot->setSizePolicy(ph->sizePolicy());
    plot->setToolTip(ph->toolTip());
    plot->setAxes(ph->property("xLabel").toString(), ph->property("xTenths").toBool(),
                  ph->property("yLabel").toString(), ph->property("yEng").toBool(),
                  ph->property("yUnit").toString());
    plot->setLegend(ph->property("legend").toString());
    QWidget *parent = ph->parentWidget();
    bool placed = false;
    if (parent && parent->layout()) {
        QLayoutItem *old = parent->layout()->replaceWidget(ph, plot, Qt::FindChildrenRecursively);
        if (old) {
            delete old;
            placed = true;
        }
    }
    if (!placed) plot->setGeometry(ph->geometry());
    delete ph;
    return plot;
}

// Replaces a map view placeholder by the map view in the same place of the layout.
MapView *makeMapView(QWidget *ph) {
    auto *view = new MapView(ph->parentWidget());
    view->setObjectName(ph->objectName());
    for (const QByteArray &name : ph->dynamicPropertyNames()) view->setProperty(name, ph->property(name));
    view->setMinimumSize(ph->minimumSize());
    view->setSizePolicy(ph->sizePolicy());
    QWidget *parent = ph->parentWidget();
    QLayoutItem *old = parent && parent->layout() ? parent->layout()->replaceWidget(ph, view, Qt::FindChildrenRecursively) : nullptr;
    if (old)
        delete old;
    else
        view->setGeometry(ph->geometry());
    delete ph;
    return view;
}

void connectControl(UiPanel *p, UiControl &c) {
    int panel = p->handle, id = c.id;
    auto commit = [panel, id]() { ui_queue_event(EVENT_COMMIT, panel, id); };
    QWidget *w = c.w;
    w->setProperty("uiPanel", panel);
    switch (c.kind) {
    case CtrlKind::NumericInt:
        if (auto *s = qobject_cast<QSpinBox *>(w)) {
            // A commit is Enter, leaving the field or an arrow step, not every keystroke.
            s->setKeyboardTracking(false);
            QObject::connect(s, &QSpinBox::valueChanged, s, [s, commit]() {
                clearRefused(s);
                commit();
            });
        }
        break;
    case CtrlKind::NumericDouble:
        if (auto *s = qobject_cast<QDoubleSpinBox *>(w)) {
            s->setKeyboardTracking(false);
            QObject::connect(s, &QDoubleSpinBox::valueChanged, s, [s, commit]() {
                clearRefused(s);
                commit();
            });
        }
        break;
    case CtrlKind::Button:
        if (auto *b = qobject_cast<QAbstractButton *>(w)) QObject::connect(b, &QAbstractButton::clicked, b, commit);
        break;
    case CtrlKind::Switch:
        if (auto *b = qobject_cast<QAbstractButton *>(w)) {
            b->setCheckable(true);
            QObject::connect(b, &QAbstractButton::clicked, b, commit);  // operator clicks only
        }
        break;
    case CtrlKind::Ring:
        if (auto *r = qobject_cast<QComboBox *>(w)) QObject::connect(r, &QComboBox::activated, r, commit);
        break;
    case CtrlKind::Table:
        if (auto *t = qobject_cast<QTableWidget *>(w)) {
            for (int r = 0; r < t->rowCount(); r++)
                for (int col = 0; col < t->columnCount(); col++) {
                    QTableWidgetItem *it = t->item(r, col);
                    QVariant v = it ? it->data(Qt::EditRole) : QVariant();
                    bool ok = false;
                    int val = v.toString().trimmed().toInt(&ok);
                    auto *ni = new QTableWidgetItem;
                    ni->setData(Qt::EditRole, ok ? val : 0);  // int data: the editor takes only ints
                    ni->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                    t->setItem(r, col, ni);
                }
            QObject::connect(t, &QTableWidget::cellChanged, t, commit);
        }
        break;
    case CtrlKind::Led:
        c.value = w->property("value").toInt() != 0;
        paintLed(c);
        break;
    case CtrlKind::Text:
        if (auto *l = qobject_cast<QLabel *>(w)) {
            l->setWordWrap(true);
            l->setTextFormat(Qt::RichText);
            l->setTextInteractionFlags(Qt::TextSelectableByMouse);
            c.text = l->text();
            paintText(c);
        }
        break;
    case CtrlKind::Eng:
        if (auto *e = qobject_cast<QLineEdit *>(w)) {
            e->setReadOnly(true);
            c.unit = w->property("unit").toString();
            c.value = w->property("value").toDouble();
            showEng(c);
        }
        break;
    case CtrlKind::Timer: {
        c.interval = w->property("interval").isValid() ? w->property("interval").toDouble() : 1.0;
        c.enabled = w->property("timerEnabled").isValid() ? w->property("timerEnabled").toBool() : true;
        std::string cb = w->property("callback").toString().toStdString();
        auto it = g_callbacks.find(cb);
        c.callback = it == g_callbacks.end() ? nullptr : it->second;
        if (!cb.empty() && !c.callback)
            fprintf(stderr, "panel: timer %s names callback \"%s\", which is not registered\n",
                    c.name.toLocal8Bit().constData(), cb.c_str());
        c.due = Timer() + c.interval;
        w->hide();
        break;
    }
    default:
        break;
    }
}

// Calls the callbacks of the timers whose interval has passed.
void runTimers() {
    double now = Timer();
    for (auto &pk : g_panels) {
        int panel = pk.first;
        for (auto &kv : pk.second->ctrls) {
            UiControl &c = kv.second;
            if (c.kind != CtrlKind::Timer || !c.enabled || now < c.due) continue;
            // One call however late we are; the next interval counts from now.
            c.due = now + std::max(c.interval, 0.001);
            if (c.callback) c.callback(panel, c.id, EVENT_TIMER_TICK, nullptr, 0, 0);
            // The callback may discard the panel; stop walking its controls then.
            if (!g_panels.count(panel)) return;
        }
    }
}

double nextTimerDue() {
    double due = 1e300;
    for (auto &pk : g_panels)
        for (auto &kv : pk.second->ctrls)
            if (kv.second.kind == CtrlKind::Timer && kv.second.enabled) due = std::min(due, kv.second.due);
    return due;
}

// A request to end the program goes ahead of every waiting event, as a QUIT of its own number.
void queueEndRequest() {
    if (g_panels.empty() || !TakeUnqueuedEndRequest()) return;
    UiPanel *p = g_panels.begin()->second;
    UiControl *q = p->findByName("QUIT");
    g_queue.push_front({EVENT_END_REQUEST, p->handle, q ? q->id : 12});
}

// While a modal dialog waits for the operator, an end request closes it as if cancelled.
void rejectOnEndRequest(QDialog *dlg, QTimer *t) {
    QObject::connect(t, &QTimer::timeout, dlg, [dlg]() {
        if (EndRequestReceived()) dlg->reject();
    });
    t->start(50);
}

bool g_pumping = false;
void pump(bool idle) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    queueEndRequest();
    if (g_pumping) return;  // a callback or step re-entered: no nested timers or steps
    g_pumping = true;
    // The scripted operator looks first: a program back in its wait is idle even when a timer
    // is already overdue (a poll slower than its interval), as a person at the panel would see it.
    op_run(idle && g_queue.empty());
    runTimers();
    g_pumping = false;
}

UiControl *ctrl(int panel, int control, int *err) {
    UiPanel *p = ui_panel(panel);
    if (!p) {
        *err = UIEInvalidPanel;
        return nullptr;
    }
    UiControl *c = p->find(control);
    if (!c || !c->w) {
        *err = UIEInvalidControl;
        return nullptr;
    }
    return c;
}

QTableWidget *table(int panel, int control, int *err) {
    UiControl *c = ctrl(panel, control, err);
    if (!c) return nullptr;
    auto *t = qobject_cast<QTableWidget *>(c->w);
    if (!t) *err = UIEInvalidControl;
    return t;
}

CurvePlot *graph(int panel, int control, int *err) {
    UiControl *c = ctrl(panel, control, err);
    if (!c) return nullptr;
    auto *g = qobject_cast<CurvePlot *>(c->w);
    if (!g) *err = UIEInvalidControl;
    return g;
}

// Copies a chosen path into the caller's 300-character buffer; false when it does not fit (a cut
// path would name a different file).
bool putPath(const std::string &s, char path[]) {
    if (!path) return true;
    if (s.size() > 299) {
        fprintf(stderr, "panel: file path longer than 299 characters refused: %s\n", s.c_str());
        path[0] = 0;
        return false;
    }
    memcpy(path, s.c_str(), s.size() + 1);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string ui_eng(double v, const char *unit, int digits) {
    static const char *prefix[] = {"y", "z", "a", "f", "p", "n", "u", "m", "", "k", "M", "G", "T", "P", "E", "Z", "Y"};
    char buf[64];
    if (digits < 1) digits = 1;
    if (digits > 15) digits = 15;
    if (!std::isfinite(v)) {
        snprintf(buf, sizeof buf, "%s %s", std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"), unit);
        return buf;
    }
    if (v == 0) {
        snprintf(buf, sizeof buf, "0 %s", unit);
        return buf;
    }
    int e3 = (int)std::floor(std::log10(std::fabs(v)) / 3.0);
    double m = v / std::pow(10.0, 3 * e3);
    // Rounding to the digits may carry into the next power of a thousand (999.96 -> 1000).
    int intDigits = std::fabs(m) >= 100 ? 3 : std::fabs(m) >= 10 ? 2 : 1;
    int dec = std::max(0, digits - intDigits);
    char tmp[48];
    snprintf(tmp, sizeof tmp, "%.*f", dec, m);
    if (std::fabs(atof(tmp)) >= 1000) {
        e3++;
        m = v / std::pow(10.0, 3 * e3);
        dec = std::max(0, digits - 1);
    }
    if (e3 < -8 || e3 > 8) {
        snprintf(buf, sizeof buf, "%.*e %s", digits - 1, v, unit);
        return buf;
    }
    snprintf(buf, sizeof buf, "%.*f %s%s", dec, m, prefix[e3 + 8], unit);
    return buf;
}

UiPanel *ui_panel(int handle) {
    auto it = g_panels.find(handle);
    return it == g_panels.end() ? nullptr : it->second;
}

void ui_queue_event(int event, int panel, int control) { g_queue.push_back({event, panel, control}); }

bool ui_refuse_outside(UiPanel *p, UiControl *c, double v, QString *message) {
    QString shown, unit;
    double lo, hi;
    if (auto *s = qobject_cast<QSpinBox *>(c->w)) {
        lo = s->minimum(), hi = s->maximum();
        shown = QString::number(s->value());
        unit = s->suffix().trimmed();
    } else if (auto *d = qobject_cast<QDoubleSpinBox *>(c->w)) {
        lo = d->minimum(), hi = d->maximum();
        shown = QString::number(d->value(), 'f', d->decimals());
        unit = d->suffix().trimmed();
    } else {
        return false;  // only numeric fields have limits
    }
    if (v >= lo && v <= hi) {
        clearRefused(c->w);
        return false;
    }
    QString u = unit.isEmpty() ? QString() : " " + unit;
    QString msg = QString("%1: %2 is outside %3 … %4%5; the value stays %6%5")
                      .arg(fieldLabel(p, *c), QString::number(v, 'g', 12), QString::number(lo, 'g', 12),
                           QString::number(hi, 'g', 12), u, shown);
    markRefused(c->w, msg);
    if (message) *message = msg;
    if (g_inputRefused) g_inputRefused(p->handle, c->id, msg.toUtf8().constData());
    return true;
}
int ui_queue_length() { return (int)g_queue.size(); }

int ui_set_value(UiPanel *p, UiControl *c, double v) {
    QWidget *w = c->w;
    if (!w) return UIEInvalidControl;
    QSignalBlocker block(w);
    switch (c->kind) {
    case CtrlKind::NumericInt:
        if (auto *s = qobject_cast<QSpinBox *>(w)) s->setValue(toInt(v));
        break;
    case CtrlKind::NumericDouble:
        if (auto *s = qobject_cast<QDoubleSpinBox *>(w)) s->setValue(v);
        break;
    case CtrlKind::Eng:
        c->value = v;
        showEng(*c);
        break;
    case CtrlKind::Led:
        c->value = v != 0;
        paintLed(*c);
        break;
    case CtrlKind::Switch:
        if (auto *b = qobject_cast<QAbstractButton *>(w)) b->setChecked(v != 0);
        break;
    case CtrlKind::Ring:
        if (auto *r = qobject_cast<QComboBox *>(w)) {
            int idx = r->findData(toInt(v));
            if (idx < 0 && r->itemData(0).isValid()) return UIEOutOfRange;
            if (idx < 0) idx = toInt(v);
            if (idx < 0 || idx >= r->count()) return UIEOutOfRange;
            r->setCurrentIndex(idx);
        }
        break;
    default:
        return UIEInvalidControl;
    }
    // Painted now: the program may block in an instrument call right after writing.
    if (w->isVisible()) w->repaint();
    return 0;
}

bool ui_get_value(const UiControl *c, double *v) {
    QWidget *w = c->w;
    if (!w) return false;
    switch (c->kind) {
    case CtrlKind::NumericInt:
        if (auto *s = qobject_cast<QSpinBox *>(w)) return *v = s->value(), true;
        return false;
    case CtrlKind::NumericDouble:
        if (auto *s = qobject_cast<QDoubleSpinBox *>(w)) return *v = s->value(), true;
        return false;
    case CtrlKind::Eng:
    case CtrlKind::Led:
        *v = c->value;
        return true;
    case CtrlKind::Switch:
        if (auto *b = qobject_cast<QAbstractButton *>(w)) return *v = b->isChecked() ? 1 : 0, true;
        return false;
    case CtrlKind::Ring:
        if (auto *r = qobject_cast<QComboBox *>(w)) {
            QVariant d = r->currentData();
            *v = d.isValid() ? d.toInt() : r->currentIndex();
            return true;
        }
        return false;
    case CtrlKind::Timer:
        *v = c->enabled ? 1 : 0;
        return true;
    default:
        return false;
    }
}

QString ui_value_text(const UiControl *c) {
    double v;
    if (c->kind == CtrlKind::Graph) {
        auto *g = qobject_cast<CurvePlot *>(c->w);
        return g ? QString::number(g->curveCount()) : QString();
    }
    if (c->kind == CtrlKind::MapView) {
        auto *m = qobject_cast<MapView *>(c->w);
        return m ? QString::number(m->points().size()) : QString();
    }
    if (c->kind == CtrlKind::Table) {
        auto *t = qobject_cast<QTableWidget *>(c->w);
        return t ? QString::number(t->rowCount()) : QString();
    }
    if (c->kind == CtrlKind::Text) {
        QString t = c->text;
        if (!c->alert.isEmpty()) t += " | " + c->alert;
        return t.replace("\r\n", " ").replace('\n', ' ').replace('\r', ' ');
    }
    if (!ui_get_value(c, &v)) return QString();
    if (c->kind == CtrlKind::NumericDouble || c->kind == CtrlKind::Eng) return QString::number(v, 'g', 10);
    return QString::number(toInt(v));
}

// ---------------------------------------------------------------------------------------------

Point MakePoint(int x, int y) { return Point{x, y}; }
Rect MakeRect(int top, int left, int height, int width) { return Rect{top, left, height, width}; }

int InitCVIRTEEx(void *, char **, void *) {
    if (QApplication::instance()) return qobject_cast<QApplication *>(QApplication::instance()) ? 1 : 0;
    // Without a display Qt would abort the process; report the failure instead (a scripted
    // operator needs no screen and runs offscreen).
    auto set = [](const char *v) { return v && *v; };
    if (!set(getenv("DISPLAY")) && !set(getenv("WAYLAND_DISPLAY")) && !set(getenv("QT_QPA_PLATFORM"))) {
        if (set(getenv("VRIM_OPERATOR"))) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        } else {
            fprintf(stderr, "panel: no display (set DISPLAY, or QT_QPA_PLATFORM=offscreen)\n");
            return 0;
        }
    }
    static int argc = 1;
    static char name[] = "vrim";
    static char *argv[] = {name, nullptr};
    auto *app = new QApplication(argc, argv);  // kept for the whole run
    return app ? 1 : 0;
}

void RegisterCallback(const char *name, CtrlCallbackPtr fn) {
    if (name) g_callbacks[name] = fn;
}

int LoadPanel(int, const char *fileName, int panelId) {
    if (!qobject_cast<QApplication *>(QApplication::instance())) return UIEInitFailed;
    if (!fileName) return UIEFileNotFound;
    QFile f(QString::fromLocal8Bit(fileName));
    if (!f.exists()) return UIEFileNotFound;
    if (!f.open(QIODevice::ReadOnly)) return UIEPanelNotFound;
    PanelLoader loader;
    QWidget *root = loader.load(&f);
    if (!root) {
        fprintf(stderr, "panel: %s: %s\n", fileName, loader.errorString().toLocal8Bit().constData());
        return UIEPanelNotFound;
    }
    // The file holds one panel; its number is the root's "panelId" (1 when not given).
    QVariant pid = root->property("panelId");
    if ((pid.isValid() ? pid.toInt() : 1) != panelId) {
        delete root;
        return UIEPanelNotFound;
    }
    auto *p = new UiPanel;
    p->handle = g_nextPanel++;
    p->root = root;
    // Graph placeholders first (they are replaced), then every control by its ctrlId.
    for (QWidget *w : root->findChildren<QWidget *>())
        if (w->property("ctrlId").isValid() && w->property("ctrlKind").toString() == "graph") makeGraph(w);
    for (QWidget *w : root->findChildren<QWidget *>())
        if (w->property("ctrlId").isValid() && w->property("ctrlKind").toString() == "mapview") makeMapView(w);
    for (QWidget *w : root->findChildren<QWidget *>()) {
        QVariant id = w->property("ctrlId");
        if (!id.isValid()) continue;
        UiControl c;
        c.id = id.toInt();
        c.name = w->objectName();
        c.kind = kindOf(w);
        c.w = w;
        if (p->ctrls.count(c.id)) {
            fprintf(stderr, "panel: %s: control id %d used twice (%s)\n", fileName, c.id,
                    c.name.toLocal8Bit().constData());
            continue;
        }
        auto &slot = p->ctrls[c.id] = c;
        connectControl(p, slot);
    }
    root->installEventFilter(new CloseToQuit(p->handle, root));  // goes with the panel
    g_panels[p->handle] = p;
    return p->handle;
}

// A panel larger than the screen's free area (a 1366 × 768 laptop) opens at that area's size, down
// to the size its layout needs; the offscreen platform keeps the panel file's size.
static void fitToScreen(QWidget *root) {
    if (QGuiApplication::platformName() == "offscreen") return;
    QScreen *screen = root->screen() ? root->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QSize avail = screen->availableGeometry().size();
    // The window frame (title bar, borders) comes on top of the panel.
    avail -= QSize(16, 40);
    QSize want = root->size().boundedTo(avail).expandedTo(root->minimumSizeHint());
    if (want != root->size()) root->resize(want);
}

int DisplayPanel(int panel) {
    UiPanel *p = ui_panel(panel);
    if (!p || !p->root) return UIEInvalidPanel;
    bool first = !p->root->isVisible();
    if (first) fitToScreen(p->root);
    p->root->show();
    QCoreApplication::processEvents();
    p->root->repaint();
    for (auto &kv : p->ctrls)
        if (auto *g = qobject_cast<CurvePlot *>(kv.second.w)) g->refreshAll();
    const char *script = getenv("VRIM_OPERATOR");
    if (first && script && *script && !op_active()) op_start(panel, script);
    return 0;
}

int DiscardPanel(int panel) {
    UiPanel *p = ui_panel(panel);
    if (!p) return UIEInvalidPanel;
    op_stop_for_panel(panel);
    g_panels.erase(panel);
    if (p->root) {
        p->root->hide();
        delete p->root;
    }
    delete p;
    // Events of the panel that is gone cannot be acted on any more.
    g_queue.erase(std::remove_if(g_queue.begin(), g_queue.end(), [panel](const Event &e) { return e.panel == panel; }),
                  g_queue.end());
    return 0;
}

int GetUserEvent(int wait, int *panel, int *control) {
    for (;;) {
        bool idle = wait && g_queue.empty();
        pump(idle);
        if (!g_queue.empty()) {
            Event e = g_queue.front();
            g_queue.pop_front();
            if (panel) *panel = e.panel;
            if (control) *control = e.control;
            return e.event;
        }
        if (!wait) return 0;
        // Sleep until a window event arrives or a timer or script step may be due, at most 10 ms.
        double untilProgram = std::min(nextTimerDue(), op_next_due()) - Timer();
        int ms = untilProgram > 1e6 ? 10 : std::clamp(clock_real_ms(std::max(untilProgram, 0.0)), 1, 10);
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(ms);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

int QueueUserEvent(int eventNumber, int panel, int control) {
    if (!ui_panel(panel)) return UIEInvalidPanel;
    ui_queue_event(eventNumber, panel, control);
    return 0;
}

int UserEventPending(int panel, int control) {
    for (const Event &e : g_queue)
        if (e.panel == panel && e.control == control) return 1;
    return 0;
}

int ProcessSystemEvents(void) {
    pump(false);
    return 0;
}

template <class T>
static int getVal(int panel, int control, T *value) {
    int err = 0;
    UiControl *c = ctrl(panel, control, &err);
    if (!c) return err;
    double v;
    if (!ui_get_value(c, &v)) return UIEInvalidControl;
    if (value) *value = (T)v;
    return 0;
}
int GetCtrlVal(int panel, int control, int *value) {
    int err = 0;
    UiControl *c = ctrl(panel, control, &err);
    if (!c) return err;
    double v;
    if (!ui_get_value(c, &v)) return UIEInvalidControl;
    if (value) *value = toInt(v);
    return 0;
}
int GetCtrlVal(int panel, int control, float *value) { return getVal(panel, control, value); }
int GetCtrlVal(int panel, int control, double *value) { return getVal(panel, control, value); }

int SetCtrlVal(int panel, int control, int value) { return SetCtrlVal(panel, control, (double)value); }
int SetCtrlVal(int panel, int control, double value) {
    int err = 0;
    UiControl *c = ctrl(panel, control, &err);
    if (!c) return err;
    return ui_set_value(ui_panel(panel), c, value);
}

static UiControl *textCtrl(int panel, int control, int *err) {
    UiControl *c = ctrl(panel, control, err);
    if (c && c->kind != CtrlKind::Text) {
        *err = UIEInvalidControl;
        return nullptr;
    }
    return c;
}

int SetCtrlVal(int panel, int control, const char *text) {
    int err = 0;
    UiControl *c = textCtrl(panel, control, &err);
    if (!c) return err;
    if (!text) return UIEOutOfRange;
    c->text = QString::fromUtf8(text);
    paintText(*c);
    return 0;
}

int GetCtrlVal(int panel, int control, char *text, int size) {
    int err = 0;
    UiControl *c = textCtrl(panel, control, &err);
    if (!c) return err;
    if (!text || size < 1) return UIEOutOfRange;
    QByteArray b = c->text.toUtf8();
    int n = std::min<int>(b.size(), size - 1);
    while (n > 0 && n < b.size() && (b[n] & 0xC0) == 0x80) n--;  // no character cut in half
    memcpy(text, b.constData(), n);
    text[n] = 0;
    return 0;
}

int SetCtrlTextAlert(int panel, int control, const char *alert) {
    int err = 0;
    UiControl *c = textCtrl(panel, control, &err);
    if (!c) return err;
    c->alert = alert ? QString::fromUtf8(alert) : QString();
    paintText(*c);
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    int err = 0;
    UiControl *c = ctrl(panel, control, &err);
    if (!c) return err;
    switch (attribute) {
    case ATTR_ENABLED:
        if (c->kind == CtrlKind::Timer) {
            bool on = value != 0;
            if (on && !c->enabled) c->due = Timer() + c->interval;  // a full interval after switching on
            c->enabled = on;
        } else {
            c->w->setEnabled(value != 0);
        }
        return 0;
    case ATTR_DIMMED:
        if (c->kind == CtrlKind::Timer) return UIEInvalidControl;
        c->w->setEnabled(value == 0);
        if (c->w->isVisible()) c->w->repaint();
        return 0;
    case ATTR_INTERVAL:
        if (c->kind != CtrlKind::Timer || value <= 0) return UIEOutOfRange;
        c->interval = value;
        if (c->enabled) c->due = Timer() + c->interval;
        return 0;
    default:
        return UIEOutOfRange;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int *value) {
    int err = 0;
    UiControl *c = ctrl(panel, control, &err);
    if (!c) return err;
    int v;
    switch (attribute) {
    case ATTR_ENABLED:
        v = c->kind == CtrlKind::Timer ? c->enabled : c->w->isEnabled();
        break;
    case ATTR_DIMMED:
        v = !c->w->isEnabled();
        break;
    case ATTR_INTERVAL:
        if (c->kind != CtrlKind::Timer) return UIEOutOfRange;
        v = (int)std::lround(c->interval);
        break;
    default:
        return UIEOutOfRange;
    }
    if (value) *value = v;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Graphs

static bool readArray(const void *a, int type, int n, std::vector<double> &out) {
    out.resize(n);
    for (int i = 0; i < n; i++) {
        switch (type) {
        case VAL_CHAR: out[i] = ((const char *)a)[i]; break;
        case VAL_INTEGER: out[i] = ((const int *)a)[i]; break;
        case VAL_SHORT_INTEGER: out[i] = ((const short *)a)[i]; break;
        case VAL_FLOAT: out[i] = ((const float *)a)[i]; break;
        case VAL_DOUBLE: out[i] = ((const double *)a)[i]; break;
        default: return false;
        }
    }
    return true;
}

int PlotXY(int panel, int graphId, const void *x, const void *y, int numPoints, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    if (numPoints < 0 || (numPoints > 0 && (!x || !y))) return UIEOutOfRange;
    std::vector<double> xs, ys;
    if (!readArray(x, xType, numPoints, xs) || !readArray(y, yType, numPoints, ys)) return UIEOutOfRange;
    return g->addCurve(xs.data(), ys.data(), numPoints, color, plotStyle, pointStyle, lineStyle);
}

int DeleteGraphPlot(int panel, int graphId, int plotHandle, int refresh) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    return g->removeCurve(plotHandle, refresh != 0) ? 0 : UIEInvalidPlot;
}

int SetPlotAttribute(int panel, int graphId, int plotHandle, int attribute, int value) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    if (attribute != ATTR_TRACE_COLOR) return UIEOutOfRange;
    return g->setCurveColor(plotHandle, value) ? 0 : UIEInvalidPlot;
}

int GetPlotAttribute(int panel, int graphId, int plotHandle, int attribute, int *value) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    if (attribute != ATTR_TRACE_COLOR) return UIEOutOfRange;
    int c;
    if (!g->curveColor(plotHandle, &c)) return UIEInvalidPlot;
    if (value) *value = c;
    return 0;
}

int GetNumPlots(int panel, int graphId, int *count, int *grey) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    if (count) *count = g->curveCount();
    if (grey) *grey = g->greyCount();
    return 0;
}

int RefreshGraph(int panel, int graphId) {
    int err = 0;
    CurvePlot *g = graph(panel, graphId, &err);
    if (!g) return err;
    g->refreshAll();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Table

static QTableWidgetItem *cellItem(QTableWidget *t, Point cell, int *err) {
    if (cell.x < 1 || cell.y < 1 || cell.x > t->columnCount() || cell.y > t->rowCount()) {
        *err = UIEOutOfRange;
        return nullptr;
    }
    QTableWidgetItem *it = t->item(cell.y - 1, cell.x - 1);
    if (!it) {
        QSignalBlocker block(t);
        it = new QTableWidgetItem;
        it->setData(Qt::EditRole, 0);
        t->setItem(cell.y - 1, cell.x - 1, it);
    }
    return it;
}

int GetTableCellVal(int panel, int control, Point cell, int *value) {
    int err = 0;
    QTableWidget *t = table(panel, control, &err);
    if (!t) return err;
    QTableWidgetItem *it = cellItem(t, cell, &err);
    if (!it) return err;
    if (value) *value = it->data(Qt::EditRole).toInt();
    return 0;
}

int SetTableCellVal(int panel, int control, Point cell, int value) {
    int err = 0;
    QTableWidget *t = table(panel, control, &err);
    if (!t) return err;
    QTableWidgetItem *it = cellItem(t, cell, &err);
    if (!it) return err;
    {
        QSignalBlocker block(t);
        it->setData(Qt::EditRole, value);
    }
    if (t->isVisible()) t->viewport()->repaint();
    return 0;
}

int GetNumTableRows(int panel, int control, int *rows) {
    int err = 0;
    QTableWidget *t = table(panel, control, &err);
    if (!t) return err;
    if (rows) *rows = t->rowCount();
    return 0;
}

int SetTableSelection(int panel, int control, Rect s) {
    int err = 0;
    QTableWidget *t = table(panel, control, &err);
    if (!t) return err;
    if (s.height < 1 || s.width < 1 || s.top < 1 || s.left < 1 || s.top + s.height - 1 > t->rowCount() ||
        s.left + s.width - 1 > t->columnCount())
        return UIEOutOfRange;
    QSignalBlocker block(t);
    t->clearSelection();
    t->setRangeSelected(QTableWidgetSelectionRange(s.top - 1, s.left - 1, s.top + s.height - 2, s.left + s.width - 2),
                        true);
    t->scrollToItem(t->item(s.top - 1, s.left - 1));
    if (t->isVisible()) t->viewport()->repaint();
    return 0;
}

int GetTableSelection(int panel, int control, Rect *sel) {
    int err = 0;
    QTableWidget *t = table(panel, control, &err);
    if (!t) return err;
    QList<QTableWidgetSelectionRange> r = t->selectedRanges();
    Rect out{0, 0, 0, 0};
    if (!r.isEmpty()) out = Rect{r[0].topRow() + 1, r[0].leftColumn() + 1, r[0].rowCount(), r[0].columnCount()};
    if (sel) *sel = out;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Popups

int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec, const char *fileTypeList,
                    const char *title, int buttonLabel, int restrictDirectory, int restrictExtension,
                    int allowCancel, int allowMakeDirectory, char path[]) {
    if (path) path[0] = 0;
    std::string chosen;
    if (op_active()) {
        // The scripted operator answers from its queue of file answers.
        int a = op_take_answer('f', &chosen);
        if (a == 'c') return VAL_NO_FILE_SELECTED;
        if (a != 'f') {
            fprintf(stderr, "operator: no file answer queued for \"%s\"; cancelled\n", title ? title : "");
            return VAL_NO_FILE_SELECTED;
        }
    } else {
        QString spec = defaultFileSpec ? QString::fromLocal8Bit(defaultFileSpec) : QString();
        QStringList filters;
        QString types = fileTypeList ? QString::fromLocal8Bit(fileTypeList) : QString();
        QStringList pats;
        if (spec.contains('*')) pats << spec;
        for (const QString &p : types.split(';', Qt::SkipEmptyParts))
            if (!pats.contains(p.trimmed())) pats << p.trimmed();
        if (!pats.isEmpty()) filters << QString("Files (%1)").arg(pats.join(' '));
        filters << "All files (*)";
        QFileDialog dlg(QApplication::activeWindow(), title ? QString::fromLocal8Bit(title) : QString());
        QString dir = defaultDirectory && *defaultDirectory ? QString::fromLocal8Bit(defaultDirectory) : QString(".");
        dlg.setDirectory(dir);
        dlg.setNameFilters(filters);
        if (!spec.isEmpty() && !spec.contains('*')) dlg.selectFile(spec);
        if (buttonLabel == VAL_SAVE_BUTTON) {
            dlg.setAcceptMode(QFileDialog::AcceptSave);
            dlg.setFileMode(QFileDialog::AnyFile);
        } else if (buttonLabel == VAL_SELECT_BUTTON) {
            dlg.setAcceptMode(QFileDialog::AcceptOpen);
            dlg.setFileMode(QFileDialog::AnyFile);
        } else {
            dlg.setAcceptMode(QFileDialog::AcceptOpen);
            dlg.setFileMode(QFileDialog::ExistingFile);
        }
        dlg.setLabelText(QFileDialog::Accept, buttonLabel == VAL_SAVE_BUTTON     ? "Save"
                                              : buttonLabel == VAL_SELECT_BUTTON ? "Select"
                                                                                 : "Load");
        dlg.setOption(QFileDialog::ReadOnly, !allowMakeDirectory);  // no new folders from the dialog
        dlg.setOption(QFileDialog::DontUseNativeDialog);  // labels and patterns as given, on any desktop
        if (restrictExtension && spec.startsWith("*.") && !spec.mid(2).contains('*'))
            dlg.setDefaultSuffix(spec.mid(2));
        QTimer endWatch;
        rejectOnEndRequest(&dlg, &endWatch);
        if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return VAL_NO_FILE_SELECTED;
        chosen = dlg.selectedFiles().first().toLocal8Bit().toStdString();
    }
    if (!putPath(chosen, path)) return VAL_NO_FILE_SELECTED;
    return QFileInfo::exists(QString::fromLocal8Bit(chosen.c_str())) ? VAL_EXISTING_FILE_SELECTED
                                                                      : VAL_NEW_FILE_SELECTED;
}

int MessagePopup(const char *title, const char *message) {
    const char *t = title ? title : "";
    const char *m = message ? message : "";
    if (g_popupObserver) g_popupObserver(t, m);
    if (op_active()) {
        // Acknowledged by the scripted operator: an "answer ok" is used up if one is queued.
        std::string none;
        op_take_answer('o', &none);
        printf("popup: %s: %s\n", t, m);
        fflush(stdout);
        return 0;
    }
    QMessageBox box(QMessageBox::Information, QString::fromLocal8Bit(t), QString::fromLocal8Bit(m), QMessageBox::Ok,
                    QApplication::activeWindow());
    QTimer endWatch;
    rejectOnEndRequest(&box, &endWatch);
    box.exec();
    return 0;
}

int ConfirmPopup(const char *title, const char *message) {
    const char *t = title ? title : "";
    const char *m = message ? message : "";
    if (g_popupObserver) g_popupObserver(t, m);
    if (op_active()) {
        // Answered by the scripted operator's next "answer ok" or "answer cancel"; without one,
        // the question is declined, which never destroys anything.
        std::string none;
        int a = op_take_answer('q', &none);
        printf("popup: %s: %s\nanswer: %s\n", t, m, a == 'o' ? "ok" : a == 'n' ? "cancel" : "cancel (none queued)");
        fflush(stdout);
        return a == 'o' ? 1 : 0;
    }
    if (EndRequestReceived()) return 0;
    QMessageBox box(QMessageBox::Question, QString::fromLocal8Bit(t), QString::fromLocal8Bit(m),
                    QMessageBox::Ok | QMessageBox::Cancel, QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Cancel);
    QTimer endWatch;
    rejectOnEndRequest(&box, &endWatch);
    return box.exec() == QMessageBox::Ok ? 1 : 0;
}

int SetWaitCursor(int on) {
    if (!qobject_cast<QApplication *>(QApplication::instance())) return 0;
    if (on && !g_waitCursor) QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!on && g_waitCursor) QApplication::restoreOverrideCursor();
    g_waitCursor = on != 0;
    return 0;
}

void SetPopupObserver(PopupObserver fn) { g_popupObserver = fn; }
void SetRowDumper(RowDumper fn) { g_rowDumper = fn; }
void SetInputRefusedObserver(InputRefusedObserver fn) { g_inputRefused = fn; }

int SavePanelImage(int panel, const char *path) {
    UiPanel *p = ui_panel(panel);
    if (!p || !p->root) return UIEInvalidPanel;
    if (!path) return UIEOutOfRange;
    return p->root->grab().save(QString::fromLocal8Bit(path), "PNG") ? 0 : UIEOutOfRange;
}
