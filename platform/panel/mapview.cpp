// The QE map view on QCustomPlot's colour map.
#include "platform/panel/mapview.h"

#include <qcustomplot.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QStackedWidget>
#include <QTabWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

#include "platform/panel/ui_panel.h"

namespace {

QString value_text(double v, int quantity) {
    if (!std::isfinite(v)) return "no value";
    if (quantity == MAPQ_CURRENT) return QString::fromStdString(ui_eng(v, "A", 4));
    if (quantity == MAPQ_RESPONSIVITY) return QString::number(v, 'g', 4) + " A/W";
    return QString::number(v, 'g', 4);
}

QString figure(double v, int quantity) {
    return std::isfinite(v) ? value_text(v, quantity) : QString("–");
}

}  // namespace

MapView::MapView(QWidget *parent) : QWidget(parent) {
    plot_ = new QCustomPlot(this);
    plot_->setMinimumSize(260, 200);
    plot_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    plot_->xAxis->setLabel("X (microsteps)");
    plot_->yAxis->setLabel("Y (microsteps)");
    plot_->xAxis->ticker()->setTickCount(4);
    plot_->yAxis->ticker()->setTickCount(4);
    map_ = new QCPColorMap(plot_->xAxis, plot_->yAxis);
    map_->setInterpolate(false);
    map_->setTightBoundary(false);
    scale_ = new QCPColorScale(plot_);
    plot_->plotLayout()->addElement(0, 1, scale_);
    scale_->setType(QCPAxis::atRight);
    scale_->axis()->ticker()->setTickCount(5);
    map_->setColorScale(scale_);
    QCPColorGradient grad(QCPColorGradient::gpJet);
    grad.setNanHandling(QCPColorGradient::nhTransparent);
    map_->setGradient(grad);
    auto *group = new QCPMarginGroup(plot_);
    plot_->axisRect()->setMarginGroup(QCP::msBottom | QCP::msTop, group);
    scale_->setMarginGroup(QCP::msBottom | QCP::msTop, group);

    faultMarks_ = plot_->addGraph();
    faultMarks_->setLineStyle(QCPGraph::lsNone);
    faultMarks_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCross, QPen(Qt::red, 2), Qt::NoBrush, 9));
    selMark_ = plot_->addGraph();
    selMark_->setLineStyle(QCPGraph::lsNone);
    selMark_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(Qt::black, 2), Qt::NoBrush, 13));

    spectra_ = new QCustomPlot(this);
    spectra_->setMinimumSize(200, 160);
    spectra_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    spectra_->xAxis->setLabel("wavelength (nm)");
    spectra_->yAxis->setLabel("sample QE");
    spectra_->yAxis2->setLabel("sample current (A)");
    spectra_->yAxis2->setVisible(true);
    spectra_->yAxis2->setTickLabels(true);
    specQe_ = spectra_->addGraph(spectra_->xAxis, spectra_->yAxis);
    specQe_->setPen(QPen(QColor(0x00, 0x00, 0xFF)));
    specQe_->setName("QE");
    specCur_ = spectra_->addGraph(spectra_->xAxis, spectra_->yAxis2);
    specCur_->setPen(QPen(QColor(0xFF, 0x00, 0x00)));
    specCur_->setName("current");
    spectra_->legend->setVisible(true);
    spectra_->legend->setFont(QFont(font().family(), 8));
    spectra_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
    spectra_->plotLayout()->insertRow(0);
    spectra_->plotLayout()->addElement(0, 0, new QCPTextElement(spectra_, "", QFont(font().family(), 9)));

    quantityBox_ = new QComboBox(this);
    quantityBox_->addItem("sample QE", MAPQ_QE);
    quantityBox_->addItem("sample current (A)", MAPQ_CURRENT);
    quantityBox_->addItem("responsivity (A/W)", MAPQ_RESPONSIVITY);
    quantityBox_->setToolTip("Quantity shown at each position");
    wlSlider_ = new QSlider(Qt::Horizontal, this);
    wlSlider_->setRange(0, 0);
    wlSlider_->setToolTip("Wavelength among the map's");
    wlField_ = new QDoubleSpinBox(this);
    wlField_->setRange(0, 100000);
    wlField_->setDecimals(1);
    wlField_->setSuffix(" nm");
    wlField_->setKeyboardTracking(false);
    wlField_->setToolTip("Wavelength shown; a typed value goes to the nearest of the map's");
    statsLabel_ = new QLabel(this);
    statsLabel_->setWordWrap(true);
    statsLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hoverLabel_ = new QLabel(this);
    hoverLabel_->setMinimumHeight(hoverLabel_->fontMetrics().height());

    auto *controls = new QHBoxLayout;
    controls->addWidget(new QLabel("Show", this));
    controls->addWidget(quantityBox_);
    controls->addSpacing(8);
    controls->addWidget(new QLabel("at", this));
    controls->addWidget(wlSlider_, 1);
    controls->addWidget(wlField_);
    auto *plots = new QHBoxLayout;
    plots->addWidget(plot_, 3);
    plots->addWidget(spectra_, 2);
    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(2, 2, 2, 2);
    v->setSpacing(2);
    v->addLayout(controls);
    v->addLayout(plots, 1);
    v->addWidget(statsLabel_);
    v->addWidget(hoverLabel_);

    connect(quantityBox_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this](int i) {
        if (!syncing_) setQuantity(quantityBox_->itemData(i).toInt());
    });
    connect(wlSlider_, &QSlider::valueChanged, this, [this](int i) {
        if (syncing_) return;
        std::vector<float> w = data_.wavelengths();
        if (i >= 0 && i < (int)w.size()) setWavelengthNm(w[(size_t)i] / 10.0);
    });
    connect(wlField_, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this](double nm) {
        if (!syncing_) setWavelengthNm(nm);
    });
    plot_->setMouseTracking(true);
    plot_->installEventFilter(this);
    rebuild();
}

void MapView::clear() {
    data_.clear();
    selected_ = hover_ = -1;
    rebuild();
}

void MapView::addBlock(const MapBlock &b, int faults) {
    data_.addBlock(b);
    data_.setBlockFaults(data_.blockCount() - 1, faults);
    rebuild();
}

void MapView::setMap(const std::vector<MapBlock> &blocks, const MapRecordDoc *rec) {
    data_.setBlocks(blocks);
    if (rec) data_.setRecord(*rec);
    selected_ = hover_ = -1;
    rebuild();
}

float MapView::setWavelengthNm(double nm) {
    wantNm_ = nm;
    rebuild();
    return wl_;
}

void MapView::setQuantity(int quantity) {
    if (quantity < MAPQ_QE || quantity > MAPQ_RESPONSIVITY) quantity = MAPQ_QE;
    quantity_ = quantity;
    rebuild();
}

void MapView::selectBlock(int block) {
    selected_ = block >= 0 && block < data_.blockCount() ? block : -1;
    rebuild();
}

void MapView::setSpectraShown(bool on) {
    spectraShown_ = on;
    showSpectra();
}

void MapView::syncControls() {
    syncing_ = true;
    std::vector<float> w = data_.wavelengths();
    wlSlider_->setRange(0, w.empty() ? 0 : (int)w.size() - 1);
    for (size_t i = 0; i < w.size(); i++)
        if (w[i] == wl_) {
            wlSlider_->setValue((int)i);
            break;
        }
    wlField_->setValue(wl_ / 10.0);
    quantityBox_->setCurrentIndex(quantityBox_->findData(quantity_));
    syncing_ = false;
}

void MapView::rebuild() {
    wl_ = data_.nearestWavelength(wantNm_ * 10.0);
    pts_ = data_.points(wl_, quantity_);
    stats_ = mapstats_of(pts_);
    // The grid follows the positions: a block that lands outside it or between its cells changes it.
    MapGrid g = mapgrid_make(pts_);
    grid_ = g;
    QCPColorMapData *d = map_->data();
    int nx = std::max(g.nx, 1), ny = std::max(g.ny, 1);
    if (d->keySize() != nx || d->valueSize() != ny) d->setSize(nx, ny);
    // One cell per axis has no extent of its own: it spans one step of the other axis.
    double other = g.dx > 1 ? g.dx : (g.dy > 1 ? g.dy : 1000);
    double hx = g.nx > 1 ? 0 : 0.5 * (g.dy > 1 ? g.dy : other);
    double hy = g.ny > 1 ? 0 : 0.5 * (g.dx > 1 ? g.dx : other);
    d->setRange(QCPRange(g.x0 - hx, g.x0 + (g.nx - 1) * g.dx + hx), QCPRange(g.y0 - hy, g.y0 + (g.ny - 1) * g.dy + hy));
    d->fill(NAN);
    QVector<double> fx, fy;
    for (const MapPoint &p : pts_) {
        d->setCell(mapgrid_cell(p.x, g.x0, g.dx, g.nx), mapgrid_cell(p.y, g.y0, g.dy, g.ny), p.value);
        if (p.faults > 0) {
            fx.push_back(p.x);
            fy.push_back(p.y);
        }
    }
    faultMarks_->setData(fx, fy, true);
    QVector<double> sx, sy;
    if (selected_ >= 0 && selected_ < (int)pts_.size()) {
        sx.push_back(pts_[(size_t)selected_].x);
        sy.push_back(pts_[(size_t)selected_].y);
    }
    selMark_->setData(sx, sy, true);

    // Colour scale over the finite values (a flat map gets a small span around its value).
    double lo = INFINITY, hi = -INFINITY;
    for (const MapPoint &p : pts_)
        if (std::isfinite(p.value)) {
            lo = std::min(lo, p.value);
            hi = std::max(hi, p.value);
        }
    if (!(lo <= hi)) lo = 0, hi = 1;
    if (hi == lo) {
        double pad = lo == 0 ? 1e-12 : std::fabs(lo) * 0.01;
        lo -= pad;
        hi += pad;
    }
    scale_->setDataRange(QCPRange(lo, hi));
    QString wlText = wl_ > 0 ? QString::number(wl_ / 10.0, 'f', 1) + " nm" : QString("–");
    scale_->axis()->setLabel(QString("%1 at %2").arg(mapq_label(quantity_), wlText));
    if (pts_.empty()) {
        extent_ = QRectF(0, 0, 1, 1);
    } else {
        double ex = g.nx > 1 ? 0.5 * g.dx : hx, ey = g.ny > 1 ? 0.5 * g.dy : hy;
        extent_ = QRectF(g.x0 - ex, g.y0 - ey, (g.nx - 1) * g.dx + 2 * ex, (g.ny - 1) * g.dy + 2 * ey);
    }
    fitAxes();

    if (pts_.empty()) {
        statsLabel_->setText("No map: a map scan fills this view as it runs; \"Open map…\" shows a map file.");
    } else {
        int faulty = 0;
        for (const MapPoint &p : pts_) faulty += p.faults > 0;
        QString s = QString("%1 positions, %2 with signal (above 1 % of the largest)").arg(pts_.size()).arg(stats_.n);
        if (stats_.n > 0)
            s += QString(": mean %1, s.d. %2, min %3, max %4, (max − min) / mean %5 %")
                     .arg(figure(stats_.mean, quantity_), figure(stats_.sd, quantity_), figure(stats_.min, quantity_),
                          figure(stats_.max, quantity_))
                     .arg(stats_.spread * 100.0, 0, 'f', 2);
        if (faulty) s += QString("; %1 with faults (red crosses)").arg(faulty);
        statsLabel_->setText(s);
    }
    hoverLabel_->setText(hoverText());
    syncControls();
    showSpectra();
    // A view on a tab not shown draws when it is shown (or saved), not at every block.
    if (isVisible()) plot_->replot(QCustomPlot::rpQueuedReplot);
}

void MapView::showEvent(QShowEvent *ev) {
    QWidget::showEvent(ev);
    fitAxes();
    plot_->replot(QCustomPlot::rpQueuedReplot);
    spectra_->replot(QCustomPlot::rpQueuedReplot);
}

void MapView::fitAxes() {
    // One microstep is as long on X as on Y, so the map keeps the shape of the detector's face.
    QRect r = plot_->axisRect()->rect();
    double w = std::max(r.width(), 1), h = std::max(r.height(), 1);
    double scale = std::max(extent_.width() / w, extent_.height() / h);  // microsteps per pixel
    QPointF c = extent_.center();
    plot_->xAxis->setRange(c.x() - 0.5 * scale * w, c.x() + 0.5 * scale * w);
    plot_->yAxis->setRange(c.y() - 0.5 * scale * h, c.y() + 0.5 * scale * h);
}

void MapView::showSpectra() {
    QVector<double> x, q, c;
    QString title;
    if (selected_ >= 0 && selected_ < data_.blockCount()) {
        const MapBlock &b = data_.blocks()[(size_t)selected_];
        for (const MapRecord &r : b.rec) {
            x.push_back(r.wl / 10.0);
            q.push_back(r.sampleQe);
            c.push_back(r.sampleCur);
        }
        title = QString("position %1 (X %2, Y %3)").arg(b.hdr.index).arg(pts_[(size_t)selected_].x).arg(pts_[(size_t)selected_].y);
    }
    specQe_->setData(x, q, true);
    specCur_->setData(x, c, true);
    if (auto *t = qobject_cast<QCPTextElement *>(spectra_->plotLayout()->element(0, 0))) t->setText(title);
    // Until a position is chosen the map has the whole width.
    bool have = !x.isEmpty();
    spectra_->setVisible(have && spectraShown_);
    if (have) {
        specQe_->rescaleAxes();
        specCur_->rescaleAxes();
    }
    if (isVisible()) spectra_->replot(QCustomPlot::rpQueuedReplot);
}

QString MapView::describe(int block) const {
    if (block < 0 || block >= (int)pts_.size()) return QString();
    const MapPoint &p = pts_[(size_t)block];
    QString s = QString("position %1: X %2, Y %3, %4 %5").arg(p.index).arg(p.x).arg(p.y).arg(mapq_label(quantity_), value_text(p.value, quantity_));
    if (p.faults > 0) s += QString(", %1 fault%2 in the record").arg(p.faults).arg(p.faults == 1 ? "" : "s");
    return s;
}

QString MapView::hoverText() const {
    if (hover_ < 0 && !pts_.empty() && selected_ < 0) return "Hover over a position for its values; click it for its spectra.";
    return describe(hover_);
}

int MapView::blockAt(const QPoint &pixel) const {
    if (pts_.empty()) return -1;
    double x = plot_->xAxis->pixelToCoord(pixel.x()), y = plot_->yAxis->pixelToCoord(pixel.y());
    int cx = mapgrid_cell(x, grid_.x0, grid_.dx, grid_.nx), cy = mapgrid_cell(y, grid_.y0, grid_.dy, grid_.ny);
    // Inside the map's cells only, and the last position drawn into the cell wins, as drawn.
    if (!plot_->axisRect()->rect().contains(pixel)) return -1;
    for (int b = (int)pts_.size() - 1; b >= 0; b--) {
        const MapPoint &p = pts_[(size_t)b];
        if (mapgrid_cell(p.x, grid_.x0, grid_.dx, grid_.nx) == cx && mapgrid_cell(p.y, grid_.y0, grid_.dy, grid_.ny) == cy) {
            double ex = grid_.nx > 1 ? grid_.dx : 1e300, ey = grid_.ny > 1 ? grid_.dy : 1e300;
            if (std::fabs(x - p.x) <= ex && std::fabs(y - p.y) <= ey) return b;
        }
    }
    return -1;
}

bool MapView::eventFilter(QObject *obj, QEvent *ev) {
    if (obj == plot_) {
        if (ev->type() == QEvent::Resize) {
            // The axis rect gets its new size in the next layout pass, which the replot runs.
            plot_->plotLayout()->update(QCPLayoutElement::upLayout);
            fitAxes();
            plot_->replot(QCustomPlot::rpQueuedReplot);
        } else if (ev->type() == QEvent::MouseMove) {
            auto *me = static_cast<QMouseEvent *>(ev);
            int b = blockAt(me->pos());
            if (b != hover_) {
                hover_ = b;
                hoverLabel_->setText(hoverText());
                if (b >= 0)
                    QToolTip::showText(me->globalPosition().toPoint(), hoverText(), plot_);
                else
                    QToolTip::hideText();
            }
        } else if (ev->type() == QEvent::Leave) {
            hover_ = -1;
            hoverLabel_->setText(QString());
        } else if (ev->type() == QEvent::MouseButtonPress) {
            auto *me = static_cast<QMouseEvent *>(ev);
            int b = blockAt(me->pos());
            if (b >= 0) {
                selectBlock(b);
                emit blockClicked(b);
            }
        }
    }
    return QWidget::eventFilter(obj, ev);
}

int MapView::dump(const char *path) const {
    FILE *f = fopen(path, "w");
    if (!f) return -1;
    for (const MapPoint &p : pts_) fprintf(f, "%d %d %d %.9g\n", p.index, p.x, p.y, p.value);
    return fclose(f) == 0 ? 0 : -1;
}

int MapView::savePng(const char *path) {
    plot_->plotLayout()->update(QCPLayoutElement::upLayout);
    // A view never shown (offscreen tool, a tab not opened yet) lays itself out first.
    if (!isVisible()) {
        // On a tab not shown, the page keeps the size of its first layout: it takes the size of
        // the page shown, as the operator would see it.
        QWidget *page = this;
        while (page->parentWidget() && !qobject_cast<QStackedWidget *>(page->parentWidget())) page = page->parentWidget();
        if (auto *stack = qobject_cast<QStackedWidget *>(page->parentWidget())) {
            page->resize(stack->size());
            if (page->layout()) page->layout()->activate();
        } else if (width() < 200 || height() < 150) {
            resize(900, 560);
        }
        if (layout()) layout()->activate();
    }
    plot_->plotLayout()->update(QCPLayoutElement::upLayout);
    fitAxes();
    plot_->replot(QCustomPlot::rpImmediateRefresh);
    spectra_->replot(QCustomPlot::rpImmediateRefresh);
    return grab().save(QString::fromLocal8Bit(path), "PNG") ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------

namespace {
MapView *view(int panel, int control, int *err) {
    UiPanel *p = ui_panel(panel);
    if (!p) {
        *err = UIEInvalidPanel;
        return nullptr;
    }
    UiControl *c = p->find(control);
    auto *v = c ? qobject_cast<MapView *>(c->w) : nullptr;
    *err = v ? 0 : UIEInvalidControl;
    return v;
}
}  // namespace

int MapViewClear(int panel, int control) {
    int err;
    if (MapView *v = view(panel, control, &err)) v->clear();
    return err;
}

int MapViewAddBlock(int panel, int control, const MapBlock *b, int faults) {
    int err;
    if (MapView *v = view(panel, control, &err)) v->addBlock(*b, faults);
    return err;
}

int MapViewSetMap(int panel, int control, const std::vector<MapBlock> *blocks, const MapRecordDoc *rec) {
    int err;
    if (MapView *v = view(panel, control, &err)) v->setMap(*blocks, rec);
    return err;
}

int MapViewSetWavelength(int panel, int control, double nm) {
    int err;
    if (MapView *v = view(panel, control, &err)) v->setWavelengthNm(nm);
    return err;
}

int MapViewBringForward(int panel, int control) {
    int err;
    MapView *v = view(panel, control, &err);
    if (!v) return err;
    for (QWidget *w = v; w && w->parentWidget(); w = w->parentWidget()) {
        // A tab's page sits in the tab widget's stack, whose parent is the tab widget.
        if (auto *tabs = qobject_cast<QTabWidget *>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr)) {
            int i = tabs->indexOf(w);
            if (i >= 0) tabs->setCurrentIndex(i);
        }
    }
    return 0;
}

int MapViewSavePng(int panel, int control, const char *path) {
    int err;
    MapView *v = view(panel, control, &err);
    if (!v) return err;
    return v->savePng(path);
}

int MapViewDump(int panel, int control, const char *path) {
    int err;
    MapView *v = view(panel, control, &err);
    if (!v) return err;
    return v->dump(path);
}

MapView *mapview_of_panel(int panel) {
    UiPanel *p = ui_panel(panel);
    if (!p) return nullptr;
    for (auto &kv : p->ctrls)
        if (auto *v = qobject_cast<MapView *>(kv.second.w)) return v;
    return nullptr;
}
