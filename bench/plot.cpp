// Drawing cost on one graph of the panel: a new curve, a replaced curve and a full redraw with
// 0, 500 and 2,000 light-grey curves of 1,000 points already there, and the greying of 999 rows.
// Usage: bench_plot [panel file] [screenshot.png]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/panel/userint.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

namespace {

const int kPoints = 1000;
int g_x[kPoints];     // tenths of a nanometre
float g_y[kPoints];   // amperes

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void makeCurve(int k, double scale = 1) {
    for (int i = 0; i < kPoints; i++) {
        g_x[i] = 2000 + 10 * i;
        double s = std::sin(i * 0.01 + k * 0.37);
        g_y[i] = (float)(scale * 1e-9 * (0.5 + 0.4 * s * std::exp(-((i - 500) * (i - 500)) / 2e5)));
    }
}

int plot(int panel, int color, int k, double scale = 1) {
    makeCurve(k, scale);
    return PlotXY(panel, GRAPH_QE, g_x, g_y, kPoints, VAL_INTEGER, VAL_FLOAT, VAL_THIN_LINE, VAL_EMPTY_SQUARE,
                  VAL_SOLID, 1, color);
}

// Median of a few runs of f, in milliseconds.
template <class F>
double timeMs(F f, int runs = 5) {
    std::vector<double> t;
    for (int r = 0; r < runs; r++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        t.push_back(ms_since(t0));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int noTimer(int, int, int, void *, int, int) { return 0; }

int main(int argc, char **argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!InitCVIRTEEx(nullptr, argv, nullptr)) return 1;
    RegisterCallback("cb_timer", noTimer);
    std::string file = argc > 1 ? argv[1] : "vrim_ui.uir";
    const char *shot = argc > 2 ? argv[2] : nullptr;
    int failures = 0;
    for (int grey : {0, 500, 2000}) {
        int p = LoadPanel(0, file.c_str(), PANEL);
        if (p < 0) {
            fprintf(stderr, "cannot load %s\n", file.c_str());
            return 1;
        }
        DisplayPanel(p);
        for (int k = 0; k < grey; k++) SetPlotAttribute(p, GRAPH_QE, plot(p, VAL_BLUE, k), ATTR_TRACE_COLOR, VAL_LT_GRAY);
        RefreshGraph(p, GRAPH_QE);
        ProcessSystemEvents();
        int h = 0;
        double tNew = timeMs([&] {
            if (h) DeleteGraphPlot(p, GRAPH_QE, h, 0);
            h = plot(p, VAL_RED, 1);
        });
        double tReplace = timeMs([&] {
            DeleteGraphPlot(p, GRAPH_QE, h, 1);
            h = plot(p, VAL_RED, 2);
        });
        double tFull = timeMs([&] { RefreshGraph(p, GRAPH_QE); });
        // A curve beyond the axes: they grow, and every layer, grey curves included, is drawn anew.
        double scale = 1;
        double tGrow = timeMs([&] {
            DeleteGraphPlot(p, GRAPH_QE, h, 0);
            scale *= 1.5;
            h = plot(p, VAL_RED, 3, scale);
        });
        printf("%5d grey curves: new curve %6.2f ms  replace curve %6.2f ms  redraw %6.2f ms  "
               "full redraw (axes grow) %6.2f ms\n",
               grey, tNew, tReplace, tFull, tGrow);
        if (tNew > 15 || tReplace > 15 || tFull > 15 || tGrow > 100) failures++;
        if (shot && grey == 500) {
            int q = plot(p, VAL_BLUE, 5);
            (void)q;
            SavePanelImage(p, shot);
        }
        DiscardPanel(p);
    }
    // Greying a whole map: 999 coloured curves turned light grey, then one redraw.
    int p = LoadPanel(0, file.c_str(), PANEL);
    DisplayPanel(p);
    std::vector<int> hs;
    for (int k = 0; k < 999; k++) hs.push_back(plot(p, VAL_BLUE, k));
    double tGrey = timeMs(
        [&] {
            for (int h : hs) SetPlotAttribute(p, GRAPH_QE, h, ATTR_TRACE_COLOR, VAL_LT_GRAY);
            RefreshGraph(p, GRAPH_QE);
        },
        1);
    printf("grey 999 rows and redraw: %6.2f ms\n", tGrey);
    DiscardPanel(p);
    printf("%s\n", failures ? "targets missed (15 ms draw, 100 ms full redraw)" : "targets met");
    return 0;
}
