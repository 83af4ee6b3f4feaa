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
    ::testing::InitGoogleTest(&argc, argv);
    // ctest lists the tests before their environment applies (no platform plugin chosen yet):
    // listing needs no application object.
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
