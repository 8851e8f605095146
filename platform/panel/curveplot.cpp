#include "platform/panel/curveplot.h"

#include <algorithm>
#include <cmath>

#include "platform/panel/ui_panel.h"

namespace {

// Wavelength axis: data in tenths of a nanometre, ticks and labels in nanometres.
class TenthsTicker : public QCPAxisTicker {
protected:
    double getTickStep(const QCPRange &range) override {
        return QCPAxisTicker::getTickStep(QCPRange(range.lower / 10.0, range.upper / 10.0)) * 10.0;
    }
    QString getTickLabel(double tick, const QLocale &locale, QChar formatChar, int precision) override {
        return locale.toString(tick / 10.0, 'g', 6);
    }
};

// Current axis: "10 nA", "-2.5 pA".
class EngTicker : public QCPAxisTicker {
public:
    explicit EngTicker(const QString &unit) : unit_(unit.toStdString()) {}

protected:
    QString getTickLabel(double tick, const QLocale &, QChar, int) override {
        // "50 fA" beside "200 fA", not "50.0 fA": drop the trailing zeros of the mantissa.
        QString t = QString::fromStdString(ui_eng(tick, unit_.c_str(), 3));
        int sp = t.indexOf(' ');
        QString m = t.left(sp);
        if (m.contains('.') && !m.contains('e')) {
            while (m.endsWith('0')) m.chop(1);
            if (m.endsWith('.')) m.chop(1);
        }
        return m + t.mid(sp);
    }

private:
    std::string unit_;
};

const int kGrey = 0xC0C0C0;

QColor rgb(int c) { return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF); }

// Clips the segment to [0, w) x [0, h) (Liang-Barsky); false when nothing is left.
bool clipSegment(double &x0, double &y0, double &x1, double &y1, double w, double h) {
    double t0 = 0, t1 = 1, dx = x1 - x0, dy = y1 - y0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0, w - 1 - x0, y0, h - 1 - y0};
    for (int i = 0; i < 4; i++) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        double r = q[i] / p[i];
        if (p[i] < 0) {
            if (r > t1) return false;
            t0 = std::max(t0, r);
        } else {
            if (r < t0) return false;
            t1 = std::min(t1, r);
        }
    }
    double nx0 = x0 + t0 * dx, ny0 = y0 + t0 * dy;
    x1 = x0 + t1 * dx, y1 = y0 + t1 * dy;
    x0 = nx0, y0 = ny0;
    return true;
}

// One-pixel line of one colour (Bresenham) on a clipped segment.
void drawLine(QImage &img, double fx0, double fy0, double fx1, double fy1, quint32 argb) {
    const double W = img.width() - 1, H = img.height() - 1;
    bool inside = fx0 >= 0 && fx0 <= W && fy0 >= 0 && fy0 <= H && fx1 >= 0 && fx1 <= W && fy1 >= 0 && fy1 <= H;
    if (!inside && !clipSegment(fx0, fy0, fx1, fy1, img.width(), img.height())) return;
    int x0 = (int)std::lround(fx0), y0 = (int)std::lround(fy0), x1 = (int)std::lround(fx1), y1 = (int)std::lround(fy1);
    const int w = img.width(), h = img.height();
    const qsizetype stride = img.bytesPerLine() / 4;
    quint32 *bits = reinterpret_cast<quint32 *>(img.bits());
    int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        if ((unsigned)x0 < (unsigned)w && (unsigned)y0 < (unsigned)h) bits[y0 * stride + x0] = argb;
        if (x0 == x1 && y0 == y1) break;
        int e2 = 2 * err;
        if (e2 >= dy) err += dy, x0 += sx;
        if (e2 <= dx) err += dx, y0 += sy;
    }
}

}  // namespace

// Draws every light-grey curve of the plot, all alike, with a plain line rasteriser into an
// image that is kept until the grey set, the axes or the size change: a map of thousands of
// finished curves costs one image copy per redraw.
class GreyBundle : public QCPLayerable {
public:
    GreyBundle(CurvePlot *plot, const QString &layer) : QCPLayerable(plot, layer), plot_(plot) {}

protected:
    void applyDefaultAntialiasingHint(QCPPainter *) const override {}
    void draw(QCPPainter *painter) override {
        QCPAxisRect *ar = plot_->axisRect();
        if (!ar) return;
        QRect r = ar->rect();
        if (r.width() <= 0 || r.height() <= 0) return;
        QCPRange xr = plot_->xAxis->range(), yr = plot_->yAxis->range();
        bool same = r.size() == cachedSize_ && xr == cachedX_ && yr == cachedY_ &&
                    plot_->greyVersion_ == cachedVersion_ && !image_.isNull();
        if (!same) render(r, xr, yr);
        painter->drawImage(r.topLeft(), image_);
    }

private:
    void render(const QRect &r, const QCPRange &xr, const QCPRange &yr) {
        image_ = QImage(r.size(), QImage::Format_ARGB32_Premultiplied);
        image_.fill(Qt::transparent);
        // Linear axes: pixel = a * coordinate + b, relative to the axis rect.
        double xa = (plot_->xAxis->coordToPixel(1) - plot_->xAxis->coordToPixel(0));
        double xb = plot_->xAxis->coordToPixel(0) - r.left();
        double ya = (plot_->yAxis->coordToPixel(1) - plot_->yAxis->coordToPixel(0));
        double yb = plot_->yAxis->coordToPixel(0) - r.top();
        const quint32 argb = 0xFFC0C0C0u;
        for (auto &kv : plot_->curves_) {
            if (kv.second.color != kGrey) continue;
            const QSharedPointer<QCPGraphDataContainer> data = kv.second.g->data();
            bool have = false;
            double px = 0, py = 0;
            for (auto it = data->constBegin(); it != data->constEnd(); ++it) {
                if (!std::isfinite(it->key) || !std::isfinite(it->value)) {
                    have = false;  // a gap, as the live curves show it
                    continue;
                }
                double x = xa * it->key + xb, y = ya * it->value + yb;
                if (have) drawLine(image_, px, py, x, y, argb);
                px = x, py = y, have = true;
            }
        }
        cachedSize_ = r.size();
        cachedX_ = xr;
        cachedY_ = yr;
        cachedVersion_ = plot_->greyVersion_;
    }

    CurvePlot *plot_;
    QImage image_;
    QSize cachedSize_;
    QCPRange cachedX_, cachedY_;
    unsigned cachedVersion_ = ~0u;
};

CurvePlot::CurvePlot(QWidget *parent) : QCustomPlot(parent) {
    // Live curves and finished (grey) curves each keep their own pixel buffer.
    liveLayer_ = layer("main");
    addLayer("grey", liveLayer_, limBelow);
    greyLayer_ = layer("grey");
    greyLayer_->setMode(QCPLayer::lmBuffered);
    liveLayer_->setMode(QCPLayer::lmBuffered);
    setCurrentLayer(liveLayer_);
    setAutoAddPlottableToLegend(false);
    bundle_ = new GreyBundle(this, "grey");
    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    setNotAntialiasedElements(QCP::aePlottables);
    setPlottingHints(QCP::phCacheLabels | QCP::phFastPolylines);
    xAxis->setRange(0, 1);
    yAxis->setRange(0, 1);
    connect(this, &QCustomPlot::afterReplot, this, &CurvePlot::onReplotted);
}

void CurvePlot::setAxes(const QString &xLabel, bool xTenths, const QString &yLabel, bool yEng,
                        const QString &yUnit) {
    xAxis->setLabel(xLabel);
    yAxis->setLabel(yLabel);
    if (xTenths) {
        xAxis->setTicker(QSharedPointer<QCPAxisTicker>(new TenthsTicker));
        xAxis->setRange(2000, 11000);  // 200 to 1100 nm until there are data
    }
    if (yEng) {
        yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new EngTicker(yUnit)));
        yAxis->setRange(0, 1e-9);
    }
    axesChanged_ = true;
}

void CurvePlot::setLegend(const QString &entries) {
    for (LegendEntry &e : legend_) removeGraph(e.sample);
    legend_.clear();
    for (const QString &item : entries.split('|', Qt::SkipEmptyParts)) {
        int eq = item.lastIndexOf('=');
        bool ok = false;
        int color = eq > 0 ? item.mid(eq + 1).trimmed().toInt(&ok, 16) : 0;
        if (!ok) continue;
        LegendEntry e;
        e.color = color & 0xFFFFFF;
        e.sample = new QCPGraph(xAxis, yAxis);
        e.sample->setName(item.left(eq).trimmed());
        e.sample->setPen(QPen(rgb(e.color), 2));
        e.sample->removeFromLegend();
        legend_.push_back(e);
    }
    legend->setFont(QFont(font().family(), 8));
    legend->setBrush(QBrush(QColor(255, 255, 255, 210)));
    legend->setRowSpacing(0);
    axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
    updateLegend();
}

QStringList CurvePlot::legendShown() const {
    QStringList l;
    for (const LegendEntry &e : legend_)
        if (e.shown) l << e.sample->name();
    return l;
}

void CurvePlot::countColour(int c, int delta) {
    int &n = colourCount_[c];
    n += delta;
    if (n <= 0) colourCount_.erase(c);
    if (!legend_.empty()) updateLegend();
}

void CurvePlot::updateLegend() {
    bool any = false, changed = false;
    for (LegendEntry &e : legend_) {
        bool want = colourCount_.count(e.color) != 0;
        if (want != e.shown) {
            // Kept in the order given: the entries after a changed one are put back behind it.
            changed = true;
            e.shown = want;
        }
        any = any || want;
    }
    if (changed) {
        for (LegendEntry &e : legend_) e.sample->removeFromLegend();
        for (LegendEntry &e : legend_)
            if (e.shown) e.sample->addToLegend();
        axesChanged_ = true;  // the legend's layer is drawn with everything else
    }
    if (legend->visible() != any) {
        legend->setVisible(any);
        axesChanged_ = true;
    }
}

void CurvePlot::placeCurve(Curve &c) {
    QPen pen(rgb(c.color));
    pen.setWidth(0);
    QPen old = c.g->pen();
    pen.setStyle(old.style());
    c.g->setPen(pen);
    QCPLayer *want = (c.color == kGrey) ? greyLayer_ : liveLayer_;
    c.g->setVisible(c.color != kGrey);  // the bundle draws the grey ones
    if (c.g->layer() != want) {
        c.g->setLayer(want);
        othersDirty_ = true;  // the grey layer gained or lost a curve
        greyVersion_++;
    }
}

int CurvePlot::addCurve(const double *x, const double *y, int n, int color, int plotStyle, int pointStyle,
                        int lineStyle) {
    if (n < 0) n = 0;
    QVector<double> keys(n), vals(n);
    Curve c;
    bool sorted = true;
    for (int i = 0; i < n; i++) {
        keys[i] = x[i];
        vals[i] = y[i];
        if (i > 0 && x[i] < x[i - 1]) sorted = false;
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) continue;
        if (!c.hasBounds) {
            c.xmin = c.xmax = x[i];
            c.ymin = c.ymax = y[i];
            c.hasBounds = true;
        } else {
            c.xmin = std::min(c.xmin, x[i]);
            c.xmax = std::max(c.xmax, x[i]);
            c.ymin = std::min(c.ymin, y[i]);
            c.ymax = std::max(c.ymax, y[i]);
        }
    }
    c.color = color & 0xFFFFFF;
    c.g = new QCPGraph(xAxis, yAxis);
    c.g->setLayer(c.color == kGrey ? greyLayer_ : liveLayer_);
    c.g->setVisible(c.color != kGrey);
    c.g->setData(keys, vals, sorted);
    QPen pen(rgb(c.color));
    pen.setWidth(0);
    pen.setStyle(lineStyle == VAL_DASH ? Qt::DashLine : lineStyle == VAL_DOT ? Qt::DotLine : Qt::SolidLine);
    c.g->setPen(pen);
    c.g->setLineStyle(plotStyle == VAL_SCATTER ? QCPGraph::lsNone : QCPGraph::lsLine);
    if (plotStyle != VAL_THIN_LINE && pointStyle != VAL_NO_POINT)
        c.g->setScatterStyle(QCPScatterStyle(
            pointStyle == VAL_SOLID_SQUARE ? QCPScatterStyle::ssSquare : QCPScatterStyle::ssSquare,
            rgb(c.color), pointStyle == VAL_SOLID_SQUARE ? rgb(c.color) : Qt::transparent, 4));
    if (c.color == kGrey) othersDirty_ = true, greyVersion_++;
    int h = nextHandle_++;
    if (nextHandle_ <= 0) nextHandle_ = 1;  // handles stay positive over any run
    curves_[h] = c;
    countColour(c.color, +1);
    if (rescaleToData()) axesChanged_ = true;
    drawLiveLayer();
    return h;
}

bool CurvePlot::removeCurve(int handle, bool refresh) {
    auto it = curves_.find(handle);
    if (it == curves_.end()) return false;
    if (it->second.g->layer() != liveLayer_) othersDirty_ = true, greyVersion_++;
    countColour(it->second.color, -1);
    removeGraph(it->second.g);
    curves_.erase(it);
    if (curves_.empty()) fitted_ = false;
    if (refresh)
        drawLiveLayer();
    else
        replot(rpQueuedReplot);
    return true;
}

bool CurvePlot::setCurveColor(int handle, int color) {
    auto it = curves_.find(handle);
    if (it == curves_.end()) return false;
    countColour(it->second.color, -1);
    it->second.color = color & 0xFFFFFF;
    countColour(it->second.color, +1);
    placeCurve(it->second);
    othersDirty_ = true;
    replot(rpQueuedReplot);
    return true;
}

bool CurvePlot::curveColor(int handle, int *color) const {
    auto it = curves_.find(handle);
    if (it == curves_.end()) return false;
    *color = it->second.color;
    return true;
}

int CurvePlot::greyCount() const {
    int n = 0;
    for (auto &kv : curves_)
        if (kv.second.color == kGrey) n++;
    return n;
}

bool CurvePlot::rescaleToData() {
    bool any = false;
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    for (auto &kv : curves_) {
        const Curve &c = kv.second;
        if (!c.hasBounds) continue;
        if (!any) {
            x0 = c.xmin, x1 = c.xmax, y0 = c.ymin, y1 = c.ymax;
            any = true;
        } else {
            x0 = std::min(x0, c.xmin), x1 = std::max(x1, c.xmax);
            y0 = std::min(y0, c.ymin), y1 = std::max(y1, c.ymax);
        }
    }
    if (!any) {
        fitted_ = false;  // the next data set the axes afresh
        return false;
    }
    if (x1 <= x0) x0 -= 1, x1 += 1;
    double span = y1 - y0;
    if (span <= 0) span = std::max(std::fabs(y0) * 0.1, 1e-15);
    y0 -= span * 0.05;
    y1 += span * 0.05;
    // The axes follow the data only while they have to grow: a zoom the operator chose stays
    // until new data fall outside it.
    QCPRange xr = xAxis->range(), yr = yAxis->range();
    bool change = !fitted_ || x0 < xr.lower || x1 > xr.upper || y0 < yr.lower || y1 > yr.upper;
    fitted_ = true;
    if (!change) return false;
    xAxis->setRange(x0, x1);
    yAxis->setRange(y0, y1);
    return true;
}

void CurvePlot::drawLiveLayer() {
    if (axesChanged_ || size() != drawnSize_ || mPaintBuffers.isEmpty()) {
        refreshAll();
        return;
    }
    // The live layer is drawn afresh now; the other layers' buffers keep their pixels (a full
    // replot draws every layer anyway, so clearing the flags hides nothing from it).
    for (auto &pb : mPaintBuffers) pb->setInvalidated(false);
    liveLayer_->replot();
    repaint();
    // Changes of the grey layer (many recoloured or added grey curves in a row) are drawn once,
    // at the next event processing.
    if (othersDirty_) replot(rpQueuedReplot);
}

void CurvePlot::refreshAll() { replot(rpImmediateRefresh); }

void CurvePlot::onReplotted() {
    othersDirty_ = false;
    axesChanged_ = false;
    drawnSize_ = size();
}
