// Test entry point: in the full build a Qt application object exists for the whole run
// (offscreen when there is no display), so serial ports, panels and timers behave as they do in
// the programs.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/core/env.h"
#ifdef VRIM_WITH_QT
#include <QApplication>
#endif

int main(int argc, char **argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Tests find the shipped data files (panel file, reference table) in the source tree.
    setenv("VRIM_SOURCE_DIR", VRIM_SOURCE_DIR_DEFAULT, 0);
#ifdef VRIM_WITH_QT
    QApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
