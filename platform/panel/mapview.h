// The QE map view: the value of every position of a map at one wavelength, drawn on the grid of
// cells the positions span (QCustomPlot colour map with a labelled colour scale, axes in
// microsteps), with the quantity and wavelength chosen on the view, the uniformity figures of the
// positions with signal, marks on positions with faults, the position under the mouse, and the
// spectra of a clicked position in a small plot beside the map. The same widget draws the panel's
// view and the offscreen pictures of the map tool.
#pragma once

#include <QRectF>
#include <QWidget>
#include <string>

#include "formats/mapdata.h"

class QCustomPlot;
class QCPColorMap;
class QCPColorScale;
class QCPGraph;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSlider;

class MapView : public QWidget {
    Q_OBJECT
public:
    explicit MapView(QWidget *parent = nullptr);

    // Forgets the map; the view shows "no map".
    void clear();
    // Adds one block (a map being measured) with the faults of its position; redraws at the next
    // event processing.
    void addBlock(const MapBlock &b, int faults);
    // Shows a whole map (blocks of a file; faults from its record when rec is not null).
    void setMap(const std::vector<MapBlock> &blocks, const MapRecordDoc *rec);
    // Chooses the wavelength nearest to nm among the map's; returns the one chosen in tenths of a
    // nanometre, 0 when the map is empty (the wish is kept for the next map).
    float setWavelengthNm(double nm);
    void setQuantity(int quantity);
    // The position whose spectra the small plot shows (block order), -1 for none.
    void selectBlock(int block);
    // Shows or hides the small plot of the selected position's spectra (shown by default).
    void setSpectraShown(bool on);

    const MapData &data() const { return data_; }
    float wavelength() const { return wl_; }  // tenths of a nanometre, 0 with no map
    int quantity() const { return quantity_; }
    int selectedBlock() const { return selected_; }
    // The positions as shown and their uniformity figures.
    const std::vector<MapPoint> &points() const { return pts_; }
    const MapStats &stats() const { return stats_; }
    // Text of the position under the mouse, as the view shows it (a hint when none is).
    QString hoverText() const;
    // Describes block b at the view's wavelength, as hovering over it shows it.
    QString describe(int block) const;

    // Writes one line "index x y value" per position shown. Returns 0, or -1 when the file
    // cannot be written.
    int dump(const char *path) const;
    // Redraws everything now and saves a PNG of the view. Returns 0, or -1 on failure.
    int savePng(const char *path);

signals:
    void blockClicked(int block);

protected:
    bool eventFilter(QObject *obj, QEvent *ev) override;
    void showEvent(QShowEvent *ev) override;

private:
    void rebuild();         // points, grid, cells, marks, stats and labels from data_
    void showSpectra();     // the small plot of the selected position
    void syncControls();    // slider and field from wl_
    void fitAxes();         // axes over extent_, one microstep as long on X as on Y
    int blockAt(const QPoint &pixel) const;  // block under a pixel of the map plot, -1 for none

    MapData data_;
    std::vector<MapPoint> pts_;
    MapStats stats_;
    MapGrid grid_;
    QRectF extent_;            // microsteps: the cells' outer edges
    float wl_ = 0;             // tenths of a nanometre
    double wantNm_ = 650.0;    // nm, the wavelength asked for (kept across maps)
    int quantity_ = MAPQ_QE;
    int selected_ = -1;
    int hover_ = -1;
    bool syncing_ = false;     // the controls are being set from the view
    bool spectraShown_ = true; // the small plot shows once a position is chosen

    QCustomPlot *plot_ = nullptr;
    QCPColorMap *map_ = nullptr;
    QCPColorScale *scale_ = nullptr;
    QCPGraph *faultMarks_ = nullptr;
    QCPGraph *selMark_ = nullptr;
    QCustomPlot *spectra_ = nullptr;
    QCPGraph *specQe_ = nullptr;
    QCPGraph *specCur_ = nullptr;
    QComboBox *quantityBox_ = nullptr;
    QSlider *wlSlider_ = nullptr;
    QDoubleSpinBox *wlField_ = nullptr;
    QLabel *statsLabel_ = nullptr;
    QLabel *hoverLabel_ = nullptr;
};

// Panel access for the program: the map view is a control of kind "mapview" on the panel. Each
// returns 0, or UIEInvalidPanel / UIEInvalidControl when there is no such panel or view.
int MapViewClear(int panel, int control);
int MapViewAddBlock(int panel, int control, const MapBlock *b, int faults);
int MapViewSetMap(int panel, int control, const std::vector<MapBlock> *blocks, const MapRecordDoc *rec);
int MapViewSetWavelength(int panel, int control, double nm);
// Brings the view to the front when it sits on a tab of the panel.
int MapViewBringForward(int panel, int control);
// -1 when the image or the file cannot be written.
int MapViewSavePng(int panel, int control, const char *path);
int MapViewDump(int panel, int control, const char *path);
// The panel's first map view, or null (the scripted operator's map actions use it).
MapView *mapview_of_panel(int panel);
