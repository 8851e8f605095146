#include "sim/station/optics.h"

#include <cmath>

namespace {
double gauss(double v, double centre, double width) {
    double d = (v - centre) / width;
    return std::exp(-d * d);
}
// Smooth step from 1 (inside r0) to 0 over about `edge`.
double smooth_edge(double r, double r0, double edge) { return 1.0 / (1.0 + std::exp((r - r0) / edge)); }
}  // namespace

double optics_grating_efficiency(double nm, int grating) {
    switch (grating) {
    case 1:  // blazed in the blue
        return 0.05 + 0.80 * gauss(nm, 450, 220);
    case 2:  // blazed in the red
        return 0.05 + 0.75 * gauss(nm, 750, 300);
    case 3:  // near infrared
        return 0.05 + 0.70 * gauss(nm, 1000, 350);
    default:
        return 0.0;
    }
}

double optics_beam(double nm, int grating) {
    if (nm <= 200.0) return 0.0;
    // Halogen-like lamp: nothing below 250 nm, a broad maximum near 900 nm.
    double lamp = 1.0 - std::exp(-(nm - 200.0) / 180.0);
    lamp *= gauss(nm, 900, 700);
    return 5e-9 * lamp * optics_grating_efficiency(nm, grating);
}

double optics_reference_qe(double nm) {
    // Photocathode response: peak about 0.25 near 400 nm, falling into the red.
    if (nm < 200.0 || nm > 1000.0) return 0.0;
    return 0.25 * gauss(nm, 400, 260) + 0.01 * gauss(nm, 800, 120);
}

double optics_sample_qe(double nm, double x, double y) {
    double inside = smooth_edge(std::fabs(x - kOpticsSampleX), kOpticsSampleHalf, 1500.0) *
                    smooth_edge(std::fabs(y - kOpticsSampleY), kOpticsSampleHalf, 1500.0);
    if (inside < 1e-6) return 0.0;
    double spectral = 0.8 * gauss(nm, 650, 280);
    // A gentle tilt across the face and a weaker patch off centre: a visible non-uniformity.
    double tilt = 1.0 + 0.25 * (x - kOpticsSampleX) / kOpticsSampleHalf;
    double patch = 1.0 - 0.35 * gauss(std::hypot(x - 230000.0, y - 165000.0), 0.0, 20000.0);
    return spectral * tilt * patch * inside;
}

double optics_reference_coverage(double x, double y) {
    double r = std::hypot(x - kOpticsRefX, y - kOpticsRefY);
    return smooth_edge(r, kOpticsRefRadius, 500.0);
}

double optics_current(double nm, int grating, double x, double y, Cable cable) {
    double beam = optics_beam(nm, grating);
    double q = cable == Cable::Reference ? optics_reference_qe(nm) * optics_reference_coverage(x, y)
                                         : optics_sample_qe(nm, x, y);
    return kOpticsDark - beam * q;
}

double OpticsNoise::uniform() {
    // xorshift64*: fast, seeded, the same sequence on every platform.
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    std::uint64_t v = state_ * 2685821657736338717ULL;
    return ((v >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

double OpticsNoise::next(double sigma) {
    double u1 = uniform(), u2 = uniform();
    return sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}
