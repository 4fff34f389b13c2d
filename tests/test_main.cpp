// SPDX-License-Identifier: MIT
#include <QGuiApplication>

#include <gtest/gtest.h>

// Shared entry point: a QGuiApplication (offscreen platform) so that tests
// can use fonts and painters, then GoogleTest.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
