// A graph of the panel: curves by handle on a QCustomPlot, with the light-grey (finished) curves
// kept on their own buffered layer so that drawing a new curve over thousands of old ones repaints
// only the layer of the live curves.
#pragma once

#include <qcustomplot.h>

#include <map>
#include <vector>

class GreyBundle;

class CurvePlot : public QCustomPlot {
    Q_OBJECT
public:
    // xTenths: the x data are tenths of a nanometre, the axis shows nanometres.
    // yEng: y tick labels in engineering notation with yUnit ("A").
    explicit CurvePlot(QWidget *parent = nullptr);
    void setAxes(const QString &xLabel, bool xTenths, const QString &yLabel, bool yEng, const QString &yUnit);
    // Legend of the curves by colour: "text=RRGGBB|text=RRGGBB|…". An entry shows while at least
    // one curve of its colour is on the graph; the legend hides when none does. "" removes it.
    void setLegend(const QString &entries);
    // Texts of the legend entries shown now, in the order given.
    QStringList legendShown() const;

    // Adds a curve drawn from the given points; returns its handle (> 0). Draws at once.
    int addCurve(const double *x, const double *y, int n, int color, int plotStyle, int pointStyle,
                 int lineStyle);
    // False when there is no such curve. refresh: redraw now (else at the next event processing).
    bool removeCurve(int handle, bool refresh);
    // Recolours the curve; the redraw waits for the next event processing or refreshAll().
    bool setCurveColor(int handle, int color);
    bool curveColor(int handle, int *color) const;
    bool hasCurve(int handle) const { return curves_.count(handle) != 0; }
    int curveCount() const { return (int)curves_.size(); }
    int greyCount() const;
    // Full redraw of every layer, painted before returning.
    void refreshAll();

private:
    struct Curve {
        QCPGraph *g = nullptr;
        int color = 0;  // 0xRRGGBB
        double xmin = 0, xmax = 0, ymin = 0, ymax = 0;
        bool hasBounds = false;
    };
    // Moves the curve to the layer of its colour (grey curves are all alike and never change).
    void placeCurve(Curve &c);
    // Counts a curve of colour c in (+1) or out (-1) and shows the legend entries that have curves.
    void countColour(int c, int delta);
    void updateLegend();
    // New data range over all curves; true when the axes had to change.
    bool rescaleToData();
    // Repaints only the layer of the live curves when nothing else changed, else everything.
    void drawLiveLayer();

    friend class GreyBundle;
    std::map<int, Curve> curves_;
    GreyBundle *bundle_ = nullptr;
    unsigned greyVersion_ = 0;  // counts changes of the set of grey curves
    int nextHandle_ = 1;
    QCPLayer *greyLayer_ = nullptr;
    QCPLayer *liveLayer_ = nullptr;
    void onReplotted();
    bool othersDirty_ = true;  // the grey layer needs drawing
    bool axesChanged_ = true;  // ranges, labels or ticks changed: every layer needs drawing
    QSize drawnSize_;          // viewport of the last full redraw
    struct LegendEntry {
        int color = 0;          // 0xRRGGBB
        QCPGraph *sample = nullptr;  // an empty curve that carries the entry's pen and text
        bool shown = false;
    };
    std::vector<LegendEntry> legend_;
    std::map<int, int> colourCount_;  // curves on the graph by colour
    bool fitted_ = false;      // the axes have been fitted to data at least once
};
