include(GoogleTest)

# quorvin_test(NAME LABEL unit|integration|gui SOURCES ... LIBS ... [LAUNCHER cmd args...])
# One executable per group of related cases; CTest sees every case with the label.
# LAUNCHER wraps every run of the executable (listing and each case), e.g. with-keyring.
function(quorvin_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS;LAUNCHER" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE quorvin_options ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE QUORVIN_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
                                             QUORVIN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(ARG_LAUNCHER)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${ARG_LAUNCHER}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
endfunction()
