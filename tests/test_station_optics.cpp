// The simulated station's optical model: a measurement on it must mean something, so its shape
// (dark at the parking wavelength, light only where a detector is, a sample with a non-uniform
// face) and the shipped reference table have to agree with it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/station/optics.h"

static const double kGridCentreX = 205000, kGridCentreY = 190000;  // microsteps

TEST(StationOptics, DarkAtParkingWavelengthAndOffTheDetectors) {
    for (int g = 1; g <= 3; g++) {
        EXPECT_EQ(optics_beam(100.0, g), 0.0);
        EXPECT_DOUBLE_EQ(optics_current(100.0, g, kOpticsRefX, kOpticsRefY, Cable::Reference), kOpticsDark);
        EXPECT_DOUBLE_EQ(optics_current(100.0, g, kGridCentreX, kGridCentreY, Cable::Sample), kOpticsDark);
    }
    // Spot on the sample, cable on the reference detector: only its dark current.
    EXPECT_NEAR(optics_current(500, 1, kGridCentreX, kGridCentreY, Cable::Reference), kOpticsDark, 1e-16);
    // Spot on the reference detector, cable on the sample: the sample is not lit.
    EXPECT_NEAR(optics_current(500, 1, kOpticsRefX, kOpticsRefY, Cable::Sample), kOpticsDark, 1e-16);
    // The grid's far corner lies outside the active area; its first sample position inside.
    EXPECT_EQ(optics_sample_qe(500, 280000, 265000), 0.0);
    EXPECT_GT(optics_sample_qe(500, 130000, 115000), 0.1);
}

TEST(StationOptics, LitDetectorsGiveNegativeCurrentsWellAboveTheQeThreshold) {
    for (double nm = 300; nm <= 900; nm += 10) {
        double ref = optics_current(nm, 1, kOpticsRefX, kOpticsRefY, Cable::Reference);
        double smp = optics_current(nm, 1, kGridCentreX, kGridCentreY, Cable::Sample);
        // Stored current = offset - reading, so these come out positive and far above 1e-12 A.
        EXPECT_LT(ref - kOpticsDark, -2e-12) << nm;
        EXPECT_GT(ref - kOpticsDark, -1e-7) << nm;
        EXPECT_LT(smp - kOpticsDark, -1e-11) << nm;
    }
}

TEST(StationOptics, GratingsDifferAndSampleFaceIsNonUniform) {
    // Each grating has its own curve: the red one wins in the red, the blue one in the blue.
    EXPECT_GT(optics_beam(850, 2), 1.3 * optics_beam(850, 1));
    EXPECT_GT(optics_beam(350, 1), 1.3 * optics_beam(350, 2));
    EXPECT_EQ(optics_beam(500, 0), 0.0);

    // QE ratio sample/reference is what the program computes; it must vary across the face.
    double a = optics_sample_qe(600, 160000, 190000), b = optics_sample_qe(600, 250000, 190000);
    double c = optics_sample_qe(600, 230000, 165000);  // the weak patch
    EXPECT_GT(a, 0);
    EXPECT_GT(std::fabs(a - b) / std::max(a, b), 0.1);
    EXPECT_LT(c, 0.85 * optics_sample_qe(600, 205000, 230000));
    // Smooth over the face: neighbouring grid points (15000 microsteps apart) differ little.
    double p = optics_sample_qe(600, 190000, 190000), q = optics_sample_qe(600, 205000, 190000);
    EXPECT_LT(std::fabs(p - q) / q, 0.15);
}

TEST(StationOptics, ShippedReferenceTableHoldsTheReferenceCurve) {
    const char *src = std::getenv("VRIM_SOURCE_DIR");
    std::string path = src ? std::string(src) + "/vrim/refqe.txt" : std::string("refqe.txt");  // bin's copy
    FILE *f = std::fopen(path.c_str(), "r");
    ASSERT_TRUE(f) << path;
    int w, n = 0, last = 0;
    float q;
    while (std::fscanf(f, " %d %f", &w, &q) == 2) {
        EXPECT_NEAR(q, optics_reference_qe(w / 10.0), 1e-4) << w;
        if (n > 0) {
            EXPECT_EQ(w - last, 100);
        }
        last = w;
        n++;
    }
    std::fclose(f);
    EXPECT_EQ(n, 61);
}

TEST(StationOptics, NoiseIsSeededAndOfTheGivenSize) {
    OpticsNoise a(7), b(7);
    double sum2 = 0;
    for (int i = 0; i < 20000; i++) {
        double x = a.next(1.0);
        ASSERT_EQ(x, b.next(1.0));
        sum2 += x * x;
    }
    EXPECT_NEAR(std::sqrt(sum2 / 20000), 1.0, 0.05);
}
