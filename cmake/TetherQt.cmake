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
# ENVIRONMENT: more VAR=value entries for these tests' environment only.
function(tether_add_qt_tests)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  foreach(src IN LISTS T_SOURCES)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${T_LIBS} tether_qt_test_main Qt6::Test)
    tether_warnings(${name})
    set(environment
      "TETHER_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}" "QT_QPA_PLATFORM=offscreen" ${T_ENVIRONMENT})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
    # gtest_discover_tests (CMake 3.25) hands a list-valued property on split into separate
    # arguments, so only its first element would arrive. The environment is set instead by a file
    # that ctest reads after the discovered tests, whose names are in ${name}_TESTS.
    set(environment_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
    file(WRITE ${environment_file}
      "if(${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT [==[${environment}]==])\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${environment_file})
  endforeach()
endfunction()
