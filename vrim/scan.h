// What a scan runs with, read from the panel once when it starts and handed to the measuring loop,
// its progress, the map record and the start log line: the scan's settings, and for a map the
// positions it visits. Plain values; the procedures read them (vrim/procedures/procedures.h).
#pragma once
#include <array>
#include <vector>

struct ScanSettings {
    float darkWait = 0;   // minutes (DARK_WAIT)
    float pointWait = 0;  // seconds (POINT_WAIT)
    int nrefPanel = 0;    // points (NREF as the panel holds it)
    int tablePoints = 0;  // points of the reference table held in row 0
    int points = 0;       // points a sample position measures: NREF held to 0 … tablePoints
    int range = 0;        // CURRENT_RANGE
    int grating = 0;      // GRATING
    float vsource = 0;    // volts (VSOURCE_VALUE)
    int operate = 0;      // VSOURCE_OPERATE: 1 while the source operates
    int position = 0;     // POSITION_INDEX
    int wlFirst = 0;      // tenths of a nanometre: first point of the quick scan (WL_FIRST)
    int wlStep = 0;       // tenths of a nanometre (WL_STEP)
    int wlCount = 0;      // points of the quick scan (WL_COUNT held to the store's points)
};

// One position a scan measures: the store row it fills and where the stages go.
struct ScanPosition {
    int index = 0;  // store row (0 = reference detector)
    int x = 0;      // microsteps, requested
    int y = 0;      // microsteps, requested
};

// The positions of a map in visiting order: POSITIONS rows 2 … up to the first with X <= 0 and
// Y <= 0, at most the store's sample rows; position k (from 1) fills store row k.
struct MapPlan {
    std::vector<ScanPosition> positions;
    int end = 0;  // store row of the table row that ended the list; 0 when the table ran out first
    int count() const { return (int)positions.size(); }
    // The X, Y pairs (microsteps) in visiting order.
    std::vector<std::array<int, 2>> xy() const {
        std::vector<std::array<int, 2>> v;
        v.reserve(positions.size());
        for (const ScanPosition &p : positions) v.push_back({p.x, p.y});
        return v;
    }
};
