// Runs the window tests under the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include "offscreen_fonts.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qdfu::test::PrepareOffscreenFonts();
    QApplication app(argc, argv);
    qdfu::test::UseSystemFont();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
