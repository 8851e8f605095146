// Refused entries: a number typed outside a numeric field's limits is refused whole, the field
// keeps its value and is marked until the next valid entry, and the program hears why.
#include <QAbstractSpinBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QSpinBox>
#include <cmath>
#include <type_traits>

#include "platform/panel/ui_panel.h"

InputRefusedObserver g_inputRefused = nullptr;

namespace {

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

}  // namespace

void ui_clear_refused(QWidget *w) {
    if (!w || !w->property("refusedMark").toBool()) return;
    w->setStyleSheet(w->property("refusedOldStyle").toString());
    w->setToolTip(w->property("refusedOldTip").toString());
    w->setProperty("refusedMark", false);
    if (w->isVisible()) w->repaint();
}

QWidget *ui_make_checked_spin(const QString &className, QWidget *parent) {
    if (className == "QSpinBox") return new CheckedSpin<QSpinBox>(parent);
    if (className == "QDoubleSpinBox") return new CheckedSpin<QDoubleSpinBox>(parent);
    return nullptr;
}

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
        ui_clear_refused(c->w);
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

void SetInputRefusedObserver(InputRefusedObserver fn) { g_inputRefused = fn; }
