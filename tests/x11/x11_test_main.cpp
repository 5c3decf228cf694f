// Runs the X11 window tests inside one QApplication on a private Xvfb display.

#include "tests/support/x_server.h"

#include <QApplication>
#include <QLocale>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testing_support::XServer server;
    ::setenv("DISPLAY", server.display().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        result = RUN_ALL_TESTS();
    }
    return result;
}
