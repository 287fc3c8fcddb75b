# Test helpers: every test exe runs under Wine in the fresh prefix of this
# CTest run (made by the wine_prefix fixture).
set(HOLLIN_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(HOLLIN_WINE_TEMPLATE ${CMAKE_BINARY_DIR}/wineprefix-template)
set(HOLLIN_WINE_RUN ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)

add_test(NAME wine_prefix_setup
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh setup ${HOLLIN_WINE_PREFIX} ${HOLLIN_WINE_TEMPLATE})
set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
add_test(NAME wine_prefix_teardown
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh teardown ${HOLLIN_WINE_PREFIX})
set_tests_properties(wine_prefix_teardown PROPERTIES FIXTURES_CLEANUP wine_prefix)

# hollin_add_test(<name> SOURCES ... [LIBS ...] [LOCKS ...] [TIMEOUT s])
# One test exe with GoogleTest's main, registered as one CTest test.
function(hollin_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  hollin_register_test(${name} ${name} LOCKS ${T_LOCKS} TIMEOUT ${T_TIMEOUT})
endfunction()

# hollin_register_test(<test name> <exe target> [LOCKS ...] [TIMEOUT s] [ARGS ...])
function(hollin_register_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "LOCKS;ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${name} COMMAND ${HOLLIN_WINE_RUN} $<TARGET_FILE:${target}> ${T_ARGS})
  # Wine's debugger may end a crashed process with exit code 0: its report fails the test.
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    FAIL_REGULAR_EXPRESSION "wine: Unhandled"
    ENVIRONMENT "WINEPREFIX=${HOLLIN_WINE_PREFIX}"
    TIMEOUT ${T_TIMEOUT})
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# hollin_add_test_dir(<prefix> <dir> LIBS ...)
# One test exe per *_test.cpp in <dir>. A line "// ctest-lock: a b" in a test
# file puts its test under those CTest resource locks.
function(hollin_add_test_dir prefix dir)
  cmake_parse_arguments(T "" "" "LIBS;EXTRA_SOURCES" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    file(STRINGS ${src} lockline REGEX "^// ctest-lock:")
    set(locks "")
    if(lockline)
      string(REGEX REPLACE "^// ctest-lock:[ ]*" "" locks "${lockline}")
      separate_arguments(locks)
    endif()
    hollin_add_test(${prefix}_${stem} SOURCES ${src} ${T_EXTRA_SOURCES} LIBS ${T_LIBS} LOCKS ${locks})
  endforeach()
endfunction()
