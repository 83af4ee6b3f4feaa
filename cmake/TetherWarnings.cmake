# Warnings as errors on the project's own targets (never on third-party code).
function(tether_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports false -Wrestrict positives inside std::string at -O2 and above (GCC bug 105329).
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

# One GoogleTest executable per test source file: NameTest.cpp -> NameTest.
function(tether_add_tests)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  foreach(src IN LISTS T_SOURCES)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    tether_warnings(${name})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES ENVIRONMENT "TETHER_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endfunction()
