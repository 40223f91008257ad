# quillon_add_test(<name> SOURCES <files...> LIBS <targets...> [GUI])
#
# One GoogleTest program per folder. Each test case becomes its own CTest entry so
# ctest can run them in parallel; discovery happens when ctest runs, not at build time,
# so building never needs a display or a device.
function(quillon_add_test name)
  cmake_parse_arguments(ARG "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE quillon_test_support_gui)
  else()
    target_link_libraries(${name} PRIVATE quillon_test_support)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE
    QUILLON_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures"
    QUILLON_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QUILLON_TEST=1" TIMEOUT 300)
endfunction()
