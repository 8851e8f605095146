// Graphs and the table: curves drawn, recoloured and deleted on a graph, and the table of int
// cells with its selection.
#include <QTableWidget>
#include <vector>

#include "platform/panel/curveplot.h"
#include "platform/panel/ui_panel.h"

namespace {

QTableWidget *table(int panel, int control, int *err) {
    UiControl *c = ui_ctrl(panel, control, err);
    if (!c) return nullptr;
    auto *t = qobject_cast<QTableWidget *>(c->w);
    if (!t) *err = UIEInvalidControl;
    return t;
}

CurvePlot *graph(int panel, int control, int *err) {
    UiControl *c = ui_ctrl(panel, control, err);
    if (!c) return nullptr;
    auto *g = qobject_cast<CurvePlot *>(c->w);
    if (!g) *err = UIEInvalidControl;
    return g;
}

}  // namespace

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
