# Qt programs: moc on demand, and GoogleTest executables whose main() creates the application
# object first, run without a display and with Qt's own leaks suppressed under LeakSanitizer.
set(TETHER_QT_LEAK_SUPPRESSIONS ${CMAKE_CURRENT_LIST_DIR}/qt-leaks.supp)

if(TETHER_BUILD_TESTS)
  add_library(tether_qt_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp)
  target_link_libraries(tether_qt_test_main PUBLIC Qt6::Widgets GTest::gtest GTest::gmock)
  target_compile_definitions(tether_qt_test_main PRIVATE
    TETHER_QT_LEAK_SUPPRESSIONS="${TETHER_QT_LEAK_SUPPRESSIONS}")
  tether_warnings(tether_qt_test_main)
endif()

# One GoogleTest executable per test source file, as tether_add_tests, with a QApplication.
function(tether_add_qt_tests)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  foreach(src IN LISTS T_SOURCES)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${T_LIBS} tether_qt_test_main Qt6::Test)
    tether_warnings(${name})
    # One variable per property: gtest_discover_tests takes a list value apart. The leak
    # suppressions come with the test main.
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES ENVIRONMENT "TETHER_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}"
                 ENVIRONMENT_MODIFICATION "QT_QPA_PLATFORM=set:offscreen")
  endforeach()
endfunction()
