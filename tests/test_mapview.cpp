// The map view's values, grid and figures: the values shown equal the blocks' at the chosen
// wavelength for a regular grid and for an irregular list of positions, the live view shows k
// positions after k blocks, the quantities and the signal threshold of the uniformity figures,
// the faults of the record, and the picture written.
#include <gtest/gtest.h>

#include <QApplication>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/panel/mapview.h"
#include "support/app_run.h"
#include "formats/mapdata.h"

namespace {

MapBlock block(int index, int x, int y, std::vector<float> qe, int version = 3) {
    MapBlock b{};
    b.hdr.version = version;
    b.hdr.index = index;
    b.hdr.xReq = x;
    b.hdr.yReq = y;
    b.hdr.xRead = x + 3;  // read back differs: the view draws the requested position
    b.hdr.yRead = y - 2;
    for (size_t i = 0; i < qe.size(); i++) {
        MapRecord r{};
        r.wl = 5000.0f + 1000.0f * i;
        r.sampleQe = qe[i];
        r.sampleCur = qe[i] * 1e-9f;
        b.rec.push_back(r);
    }
    return b;
}

}  // namespace

TEST(MapView, ValuesAtTheWavelengthOnRegularAndIrregularPositions) {
    // A 3 × 2 grid, then an irregular list (uneven gaps, negative coordinates, one far off).
    for (bool irregular : {false, true}) {
        std::vector<MapBlock> bl;
        for (int k = 0; k < 6; k++) {
            int x = irregular ? (int[]){-700, 0, 130, 5000, 130, 2222}[k] : 1000 * (k % 3);
            int y = irregular ? (int[]){40, -9000, 40, 40, 311, 77777}[k] : 500 * (k / 3);
            bl.push_back(block(k + 1, x, y, {0.1f * k, 0.5f + 0.01f * k, 0.2f}));
        }
        MapView v;
        v.setMap(bl, nullptr);
        EXPECT_EQ(v.setWavelengthNm(598), 6000.0f);  // nearest of 500, 600, 700 nm
        ASSERT_EQ(v.points().size(), 6u);
        for (int k = 0; k < 6; k++) {
            const MapPoint &p = v.points()[(size_t)k];
            EXPECT_EQ(p.index, k + 1);
            EXPECT_EQ(p.x, bl[(size_t)k].hdr.xReq);
            EXPECT_EQ(p.y, bl[(size_t)k].hdr.yReq);
            EXPECT_EQ((float)p.value, bl[(size_t)k].rec[1].sampleQe);
        }
        // Every position has a cell of its own unless two positions share coordinates.
        MapGrid g = mapgrid_make(v.points());
        EXPECT_LE(g.nx, MAPGRID_MAX_CELLS);
        EXPECT_LE(g.ny, MAPGRID_MAX_CELLS);
        if (!irregular) {
            EXPECT_EQ(g.nx, 3);
            EXPECT_EQ(g.ny, 2);
            EXPECT_EQ(mapgrid_cell(2000, g.x0, g.dx, g.nx), 2);
        }
        std::string dump = "/tmp/vrim-test-mapview.txt";
        ASSERT_EQ(v.dump(dump.c_str()), 0);
        std::vector<std::string> lines = app_lines(app_read_text(dump));
        ASSERT_EQ(lines.size(), 6u);
        int idx, x, y;
        float val;
        ASSERT_EQ(sscanf(lines[4].c_str(), "%d %d %d %f", &idx, &x, &y, &val), 4);
        EXPECT_EQ(idx, 5);
        EXPECT_EQ(x, bl[4].hdr.xReq);
        EXPECT_EQ(val, bl[4].rec[1].sampleQe);
        unlink(dump.c_str());
    }
}

TEST(MapView, LiveBlocksQuantitiesAndFigures) {
    MapView v;
    EXPECT_EQ(v.setWavelengthNm(500), 0.0f);  // no map yet; the wish is kept
    for (int k = 0; k < 5; k++) {
        // Position 5 has almost no signal (below 1 % of the largest) and is left out of the figures.
        float q = k == 4 ? 0.001f : 0.2f + 0.1f * k;
        v.addBlock(block(k + 1, 100 * k, 0, {q, q}), k == 2 ? 3 : 0);
        EXPECT_EQ(v.points().size(), (size_t)k + 1);
    }
    EXPECT_EQ(v.wavelength(), 5000.0f);
    const MapStats &s = v.stats();
    EXPECT_EQ(s.total, 5);
    EXPECT_EQ(s.n, 4);
    double mean = (0.2 + 0.3 + 0.4 + 0.5) / 4;
    EXPECT_NEAR(s.mean, mean, 1e-6);
    EXPECT_NEAR(s.sd, std::sqrt((0.15 * 0.15 * 2 + 0.05 * 0.05 * 2) / 4), 1e-6);
    EXPECT_NEAR(s.min, 0.2, 1e-6);
    EXPECT_NEAR(s.max, 0.5, 1e-6);
    EXPECT_NEAR(s.spread, 0.3 / mean, 1e-6);
    EXPECT_EQ(v.points()[2].faults, 3);
    EXPECT_NE(v.describe(2).toStdString().find("3 faults"), std::string::npos);

    // Responsivity: QE × λ / 1239.84 nm; current as stored.
    v.setQuantity(MAPQ_RESPONSIVITY);
    EXPECT_NEAR(v.points()[1].value, 0.3 * 500.0 / 1239.84, 1e-7);
    v.setQuantity(MAPQ_CURRENT);
    EXPECT_NEAR(v.points()[1].value, 0.3e-9, 1e-15);
    v.clear();
    EXPECT_TRUE(v.points().empty());
    EXPECT_EQ(v.stats().n, 0);
}

TEST(MapView, RecordFaultsMatchBlocksByIndexAndPictureIsWritten) {
    std::vector<MapBlock> bl = {block(1, 0, 0, {0.4f}), block(2, 10, 0, {0.5f}), block(3, 20, 0, {0.6f}, 2)};
    MapRecordDoc rec;
    MapRecordBlock rb;
    rb.index = 2;
    rb.faults = 1;
    rec.blocks.push_back(rb);
    rb.index = 7;  // a block the file does not hold
    rec.blocks.push_back(rb);
    MapView v;
    v.setMap(bl, &rec);
    EXPECT_EQ(v.points()[0].faults, 0);
    EXPECT_EQ(v.points()[1].faults, 1);
    EXPECT_EQ(v.points()[2].faults, 0);
    // A version 2 block has no requested position: it is drawn where it was read back.
    EXPECT_EQ(v.points()[2].x, 23);
    v.selectBlock(1);
    EXPECT_EQ(v.selectedBlock(), 1);
    std::string png = "/tmp/vrim-test-mapview.png";
    ASSERT_EQ(v.savePng(png.c_str()), 0);
    QImage img(QString::fromStdString(png));
    EXPECT_GE(img.width(), 200);
    unlink(png.c_str());
}

// The graphs' legends: an entry shows while a curve of its colour is on the graph, in the order
// given, and the legend hides with the last curve.
#include "platform/panel/curveplot.h"

TEST(CurvePlotLegend, EntriesFollowTheColoursOnTheGraph) {
    CurvePlot p;
    p.setLegend("reference=000000|current position=0000FF|earlier positions=C0C0C0|bad entry");
    EXPECT_TRUE(p.legendShown().isEmpty());
    EXPECT_FALSE(p.legend->visible());
    double x[3] = {4000, 5000, 6000}, y[3] = {0.1, 0.2, 0.3};
    int blue = p.addCurve(x, y, 3, 0x0000FF, 0, 0, 0);
    int ref = p.addCurve(x, y, 3, 0x000000, 0, 0, 0);
    EXPECT_EQ(p.legendShown(), (QStringList{"reference", "current position"}));
    EXPECT_TRUE(p.legend->visible());
    p.setCurveColor(blue, 0xC0C0C0);  // greyed: no current position any more
    EXPECT_EQ(p.legendShown(), (QStringList{"reference", "earlier positions"}));
    p.removeCurve(ref, true);
    int blue2 = p.addCurve(x, y, 3, 0x0000FF, 0, 0, 0);
    EXPECT_EQ(p.legendShown(), (QStringList{"current position", "earlier positions"}));
    p.removeCurve(blue2, true);
    p.removeCurve(blue, true);
    EXPECT_TRUE(p.legendShown().isEmpty());
    EXPECT_FALSE(p.legend->visible());
    EXPECT_EQ(p.curveCount(), 0);
}

// Hovering names the position under the mouse; a click chooses it for the spectra; outside the
// cells nothing is named.
#include <QMouseEvent>
#include <qcustomplot.h>

TEST(MapView, HoverAndClickFindThePositionUnderTheMouse) {
    MapView v;
    v.resize(900, 560);
    v.show();
    std::vector<MapBlock> bl = {block(1, 0, 0, {0.4f}), block(2, 1000, 0, {0.5f}), block(3, 0, 1000, {0.6f})};
    v.setMap(bl, nullptr);
    QCoreApplication::processEvents();
    QCustomPlot *plot = v.findChildren<QCustomPlot *>().value(0);
    ASSERT_TRUE(plot);
    plot->replot(QCustomPlot::rpImmediateRefresh);
    auto at = [&](double x, double y) {
        return QPointF(plot->xAxis->coordToPixel(x), plot->yAxis->coordToPixel(y));
    };
    auto send = [&](QEvent::Type t, QPointF p) {
        QMouseEvent e(t, p, plot->mapToGlobal(p), t == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      t == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &e);
    };
    send(QEvent::MouseMove, at(1100, 80));  // inside the cell of position 2
    EXPECT_EQ(v.hoverText().toStdString(), "position 2: X 1000, Y 0, sample QE 0.5");
    send(QEvent::MouseMove, at(1000, 1000));  // the grid's empty cell
    EXPECT_EQ(v.hoverText().toStdString().rfind("Hover over", 0), 0u);
    send(QEvent::MouseButtonPress, at(-50, 950));
    EXPECT_EQ(v.selectedBlock(), 2);
    EXPECT_EQ(v.data().blocks()[(size_t)v.selectedBlock()].hdr.index, 3);
}
