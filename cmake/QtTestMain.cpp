// main() of the Qt programs' test executables: the application object exists before any test,
// as it does in the programs, so widgets, timers and network replies work inside tests.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // ctest lists the tests (gtest_discover_tests) without the tests' environment: no display then
    // either.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
