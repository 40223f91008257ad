# quillon_add_test(<name> SOURCES <files...> LIBS <targets...> [GUI] [LABELS <labels...>])
#
# LABELS threads marks a program whose tests exercise threads: the tsan preset runs those.
#
# One GoogleTest program per folder. Each test case becomes its own CTest entry so
# ctest can run them in parallel; discovery happens when ctest runs, not at build time,
# so building never needs a display or a device.
function(quillon_add_test name)
  cmake_parse_arguments(ARG "GUI" "" "SOURCES;LIBS;LABELS" ${ARGN})
  # Every test program reads the one set of sanitizer suppressions and starts its children
  # with a plain fork in tsan builds (both unused otherwise).
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/src/app/TsanSuppressions.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/PlainForkForChildren.cpp)
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE quillon_test_support_gui)
  else()
    target_link_libraries(${name} PRIVATE quillon_test_support)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test)
  # GoogleTest and the Qt core headers are in every test file: parse them once per program.
  target_precompile_headers(${name} PRIVATE <gtest/gtest.h> <QString> <QByteArray> <QVariant> <QList>)
  set(labels)
  if(ARG_LABELS)
    set(labels LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    # One value per property: the discovery script flattens the list, so a list-valued
    # property here would shift every property after it.
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300 ${labels})
endfunction()
