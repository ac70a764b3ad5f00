# fpk_unit_test(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS l ...] [ENV K=V ...] [TIMEOUT s])
# One GoogleTest executable; every test case becomes a CTest test.
function(fpk_unit_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Discovery hands properties on as one flat list, which splits multi-value
  # ones; labels and variables are set on the discovered tests afterwards.
  if(T_LABELS OR T_ENV)
    set(extra ${CMAKE_CURRENT_BINARY_DIR}/${name}_props.cmake)
    file(GENERATE OUTPUT ${extra} CONTENT
"if(${name}_TESTS)
  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\" ENVIRONMENT \"${T_ENV}\")
endif()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${extra})
  endif()
endfunction()
