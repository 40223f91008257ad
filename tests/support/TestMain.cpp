#include "TestHome.h"

#include <gtest/gtest.h>

#include <memory>

#ifdef QUILLON_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Listing tests must not create a home folder per discovery run.
    std::unique_ptr<TestHome> home;
    if (!::testing::GTEST_FLAG(list_tests))
        home = std::make_unique<TestHome>();
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
