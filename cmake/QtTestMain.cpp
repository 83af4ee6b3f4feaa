// main() of the Qt programs' test executables: the application object exists before any test,
// as it does in the programs, so widgets, timers and network replies work inside tests.
#include <QApplication>
#include <gtest/gtest.h>

// LeakSanitizer reads its options here too, so Qt's own leaks are suppressed however the test
// is started.
extern "C" const char* __lsan_default_options() {
    return "suppressions=" TETHER_QT_LEAK_SUPPRESSIONS;
}

int main(int argc, char** argv) {
    // Run by hand without a display, the tests still work.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (ctest does it at build time) needs no application object.
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
