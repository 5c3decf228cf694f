// Runs the engine tests inside one QCoreApplication: no display, no widgets.

#include <QCoreApplication>
#include <QLocale>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    // Texts with dates are checked in the locale the examples are written in.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    return RUN_ALL_TESTS();
}
