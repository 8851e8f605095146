// Optical model of the simulated station: lamp and grating monochromator, the light spot placed
// by the X and Y stages, the reference detector and the sample, and the dark current and noise
// the electrometer sees. Pure functions of their arguments (the noise of a seeded generator), so
// a measurement on the simulated station means the same thing every run.
//
// Units: wavelength in nanometres, positions in stage microsteps, currents in amperes. A
// detector's current is negative under light (electrons flow out of the input), as at the station.
#pragma once
#include <cstdint>

// Which detector the electrometer's cable is on.
enum class Cable { Reference, Sample };

// Where the reference detector sits and how large it is, microsteps.
constexpr int kOpticsRefX = 30000;
constexpr int kOpticsRefY = 124000;
constexpr double kOpticsRefRadius = 8000;
// The sample's active area, microsteps: a square with softened edges over most of the default
// grid (its first sample position included); the grid's last column and top row lie off it.
constexpr double kOpticsSampleX = 195000;  // centre
constexpr double kOpticsSampleY = 180000;
constexpr double kOpticsSampleHalf = 70000;  // half the side
// Mean dark current of the electrometer input, A.
constexpr double kOpticsDark = -2e-13;
// Noise of one reading (standard deviation), A.
constexpr double kOpticsNoise = 3e-15;

// Photon current (e x photons/s, in A) that leaves the exit slit at this wavelength through this
// grating (1, 2 or 3; others pass nothing). Zero at and below 200 nm: parked at 100.0 nm the
// monochromator passes no light, which is where dark offsets are taken.
double optics_beam(double wavelengthNm, int grating);
// Relative efficiency of a grating at a wavelength, 0 ... 1.
double optics_grating_efficiency(double wavelengthNm, int grating);
// Known QE of the reference detector (the curve the shipped reference table holds).
double optics_reference_qe(double wavelengthNm);
// QE of the sample at a point of its face; zero off the active area.
double optics_sample_qe(double wavelengthNm, double x, double y);
// Fraction of the light spot that falls on the reference detector with the spot at (x, y).
double optics_reference_coverage(double x, double y);
// Noise-free current on the cable's detector, A (negative under light, dark current included).
double optics_current(double wavelengthNm, int grating, double x, double y, Cable cable);

// Seeded, reproducible reading noise.
class OpticsNoise {
public:
    explicit OpticsNoise(std::uint64_t seed = 20261210) : state_(seed ? seed : 1) {}
    // One normally distributed value with this standard deviation.
    double next(double sigma);

private:
    std::uint64_t state_;
    double uniform();
};
