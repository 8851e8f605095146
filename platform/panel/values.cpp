// Control values and attributes: what the program reads and writes (writes raise no event and
// paint at once), the text of a value for the scripted operator's dumps, and how numeric
// indicators, lamps and text indicators are painted.
#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/core/clock.h"
#include "platform/panel/curveplot.h"
#include "platform/panel/mapview.h"
#include "platform/panel/ui_panel.h"

// A double held to the int range and rounded (an absurd value must not become an undefined one).
int ui_to_int(double v) {
    if (std::isnan(v)) return 0;
    return (int)std::lround(std::clamp(v, -2147483648.0, 2147483647.0));
}

void ui_paint_led(UiControl &c) {
    auto *l = qobject_cast<QLabel *>(c.w);
    if (!l) return;
    QString on = c.w->property("onColor").toString();
    if (on.isEmpty()) on = "#30d040";
    QString col = c.value != 0 ? on : QString("#404040");
    l->setStyleSheet(QString("background-color: %1; border: 1px solid #202020; border-radius: %2px;")
                         .arg(col)
                         .arg(std::min(l->width(), l->height()) / 2));
}

void ui_show_eng(UiControl &c) {
    auto *e = qobject_cast<QLineEdit *>(c.w);
    if (!e) return;
    int digits = c.w->property("digits").isValid() ? c.w->property("digits").toInt() : 4;
    e->setText(QString::fromStdString(ui_eng(c.value, c.unit.toStdString().c_str(), digits)));
    e->setCursorPosition(0);
}

void ui_paint_text(UiControl &c) {
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


UiControl *ui_ctrl(int panel, int control, int *err) {
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


int ui_set_value(UiPanel *p, UiControl *c, double v) {
    QWidget *w = c->w;
    if (!w) return UIEInvalidControl;
    QSignalBlocker block(w);
    switch (c->kind) {
    case CtrlKind::NumericInt:
        if (auto *s = qobject_cast<QSpinBox *>(w)) s->setValue(ui_to_int(v));
        break;
    case CtrlKind::NumericDouble:
        if (auto *s = qobject_cast<QDoubleSpinBox *>(w)) s->setValue(v);
        break;
    case CtrlKind::Eng:
        c->value = v;
        ui_show_eng(*c);
        break;
    case CtrlKind::Led:
        c->value = v != 0;
        ui_paint_led(*c);
        break;
    case CtrlKind::Switch:
        if (auto *b = qobject_cast<QAbstractButton *>(w)) b->setChecked(v != 0);
        break;
    case CtrlKind::Ring:
        if (auto *r = qobject_cast<QComboBox *>(w)) {
            int idx = r->findData(ui_to_int(v));
            if (idx < 0 && r->itemData(0).isValid()) return UIEOutOfRange;
            if (idx < 0) idx = ui_to_int(v);
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
    return QString::number(ui_to_int(v));
}

template <class T>
static int getVal(int panel, int control, T *value) {
    int err = 0;
    UiControl *c = ui_ctrl(panel, control, &err);
    if (!c) return err;
    double v;
    if (!ui_get_value(c, &v)) return UIEInvalidControl;
    if (value) *value = (T)v;
    return 0;
}
int GetCtrlVal(int panel, int control, int *value) {
    int err = 0;
    UiControl *c = ui_ctrl(panel, control, &err);
    if (!c) return err;
    double v;
    if (!ui_get_value(c, &v)) return UIEInvalidControl;
    if (value) *value = ui_to_int(v);
    return 0;
}
int GetCtrlVal(int panel, int control, float *value) { return getVal(panel, control, value); }
int GetCtrlVal(int panel, int control, double *value) { return getVal(panel, control, value); }

int SetCtrlVal(int panel, int control, int value) { return SetCtrlVal(panel, control, (double)value); }
int SetCtrlVal(int panel, int control, double value) {
    int err = 0;
    UiControl *c = ui_ctrl(panel, control, &err);
    if (!c) return err;
    return ui_set_value(ui_panel(panel), c, value);
}

static UiControl *textCtrl(int panel, int control, int *err) {
    UiControl *c = ui_ctrl(panel, control, err);
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
    ui_paint_text(*c);
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
    ui_paint_text(*c);
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    int err = 0;
    UiControl *c = ui_ctrl(panel, control, &err);
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
    UiControl *c = ui_ctrl(panel, control, &err);
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
