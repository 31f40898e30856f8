// Runs every test of a program inside one application object: a QApplication on the offscreen
// platform (unless told otherwise) for the window's tests, a QCoreApplication for the logic's.
#ifdef QUINDLE_TEST_WIDGETS
#include "app/Fonts.h"

#include <QApplication>
#else
#include <QCoreApplication>
#endif

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
#ifdef QUINDLE_TEST_WIDGETS
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    quindle::installFontSubstitutions();
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
