// Panel loading and its widgets: the run-time, the panels by handle, the panel file read with its
// controls found by identifier and kind, graph and map view placeholders replaced, every
// operator's input connected to the event queue, and display and discard.
#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QScreen>
#include <QSpinBox>
#include <QDoubleSpinBox>
#include <QCheckBox>
#include <QTableWidget>
#include <QUiLoader>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/core/clock.h"
#include "platform/panel/curveplot.h"
#include "platform/panel/mapview.h"
#include "platform/panel/ui_panel.h"

namespace {

std::map<int, UiPanel *> g_panels;
std::map<std::string, CtrlCallbackPtr> g_callbacks;
int g_nextPanel = 1;

std::string g_operatorScript;  // the scripted operator's file, "" for none
int g_quitControl = 0;         // the application's quit control, 0 for none

// Turns the window's close button into a press of the application's quit control, so that the
// program shuts its instruments down in order instead of losing its panel. Without a quit
// control the window closes as any other.
class CloseToQuit : public QObject {
public:
    CloseToQuit(int panel, QObject *owner) : QObject(owner), panel_(panel) {}

protected:
    bool eventFilter(QObject *o, QEvent *e) override {
        if (e->type() == QEvent::Close && g_quitControl > 0) {
            e->ignore();
            ui_queue_event(EVENT_COMMIT, panel_, g_quitControl);
            return true;
        }
        return QObject::eventFilter(o, e);
    }

private:
    int panel_;
};

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

// Makes the panel file's spin boxes checked ones; every other class as the stock loader does.
class PanelLoader : public QUiLoader {
public:
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        QWidget *w = ui_make_checked_spin(className, parent);
        if (!w) return QUiLoader::createWidget(className, parent, name);
        w->setObjectName(name);
        return w;
    }
};

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
                ui_clear_refused(s);
                commit();
            });
        }
        break;
    case CtrlKind::NumericDouble:
        if (auto *s = qobject_cast<QDoubleSpinBox *>(w)) {
            s->setKeyboardTracking(false);
            QObject::connect(s, &QDoubleSpinBox::valueChanged, s, [s, commit]() {
                ui_clear_refused(s);
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
        ui_paint_led(c);
        break;
    case CtrlKind::Text:
        if (auto *l = qobject_cast<QLabel *>(w)) {
            l->setWordWrap(true);
            l->setTextFormat(Qt::RichText);
            l->setTextInteractionFlags(Qt::TextSelectableByMouse);
            c.text = l->text();
            ui_paint_text(c);
        }
        break;
    case CtrlKind::Eng:
        if (auto *e = qobject_cast<QLineEdit *>(w)) {
            e->setReadOnly(true);
            c.unit = w->property("unit").toString();
            c.value = w->property("value").toDouble();
            ui_show_eng(c);
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
}  // namespace

UiPanel *ui_panel(int handle) {
    auto it = g_panels.find(handle);
    return it == g_panels.end() ? nullptr : it->second;
}

const std::map<int, UiPanel *> &ui_panels() { return g_panels; }

int ui_quit_control() { return g_quitControl; }

void SetQuitControl(int control) { g_quitControl = control > 0 ? control : 0; }

void SetOperatorScript(const char *path) { g_operatorScript = path ? path : ""; }

// ---------------------------------------------------------------------------------------------

Point MakePoint(int x, int y) { return Point{x, y}; }
Rect MakeRect(int top, int left, int height, int width) { return Rect{top, left, height, width}; }

int InitCVIRTEEx(void *, char **, void *) {
    if (QApplication::instance()) return qobject_cast<QApplication *>(QApplication::instance()) ? 1 : 0;
    // Without a display Qt would abort the process; report the failure instead (a scripted
    // operator needs no screen and runs offscreen).
    auto set = [](const char *v) { return v && *v; };
    if (!set(getenv("DISPLAY")) && !set(getenv("WAYLAND_DISPLAY")) && !set(getenv("QT_QPA_PLATFORM"))) {
        if (!g_operatorScript.empty()) {
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
    if (first && !g_operatorScript.empty() && !op_active()) op_start(panel, g_operatorScript.c_str());
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
    ui_drop_events(panel);
    return 0;
}

int SavePanelImage(int panel, const char *path) {
    UiPanel *p = ui_panel(panel);
    if (!p || !p->root) return UIEInvalidPanel;
    if (!path) return UIEOutOfRange;
    return p->root->grab().save(QString::fromLocal8Bit(path), "PNG") ? 0 : UIEOutOfRange;
}
