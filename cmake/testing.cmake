# Helpers that register the project's own tests with CTest.
#
#   add_unit_test(NAME <ctest name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
#
# builds one GoogleTest executable named after the ctest name (with "::"
# replaced by "_") and registers it once under the given hierarchical name.
# The helpers the unit tests share ("support.hpp": temporary files, child
# processes, panic capture), on the runtime layer only.
add_library(zuno_test_support INTERFACE)
target_include_directories(zuno_test_support INTERFACE ${PROJECT_SOURCE_DIR}/library/test/tests/unit)
target_link_libraries(zuno_test_support INTERFACE zuno::rt)

function(add_unit_test)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
    string(REPLACE "::" "_" target "${ARG_NAME}")
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} zuno_test_support GTest::gtest
                                            GTest::gtest_main)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
    add_test(NAME ${ARG_NAME} COMMAND ${target})
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "unit;${ARG_LABELS}" TIMEOUT 300)
endfunction()

#   add_golden_test(NAME <ctest name> DIR <approved dir> CASE <case> STATUS <exit text>
#                   [SORT] [DEVFULL] [KEEP_LOCATIONS] [TIC <terminfo source>] [ENV NAME=VALUE...]
#                   [UNSET NAME...] COMMAND <program> <args...>)
#
# runs the program through golden_run and compares standard output, standard
# error and exit status with DIR/<case>.stdout.txt and DIR/<case>.stderr.txt.
# Each golden test runs a second time as <ctest name>::reuse_threads (label
# reuse_threads) with ZUNO_TEST_REUSE_THREADS=1: a run on reused worker threads
# must print the same bytes. The two never run at once: they share any files
# the command writes.
function(add_golden_test)
    cmake_parse_arguments(ARG "SORT;DEVFULL;KEEP_LOCATIONS" "NAME;DIR;CASE;STATUS;TIC;EXTRA"
                          "ENV;UNSET;COMMAND;LABELS"
                          ${ARGN})
    set(flags)
    if(ARG_SORT)
        list(APPEND flags --sort-test-lines)
    endif()
    if(ARG_DEVFULL)
        list(APPEND flags --stdout-devfull)
    endif()
    if(ARG_KEEP_LOCATIONS)
        list(APPEND flags --keep-locations)
    endif()
    if(ARG_EXTRA)
        list(APPEND flags --extra-file ${ARG_EXTRA})
    endif()
    if(ARG_TIC)
        list(APPEND flags --tic ${ARG_TIC})
    endif()
    foreach(kv IN LISTS ARG_ENV)
        list(APPEND flags --env ${kv})
    endforeach()
    foreach(name IN LISTS ARG_UNSET)
        list(APPEND flags --unset ${name})
    endforeach()
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/golden)
    add_test(NAME ${ARG_NAME}
             COMMAND golden_run --approved ${ARG_DIR} --case ${ARG_CASE} --status ${ARG_STATUS}
                     ${flags} -- ${ARG_COMMAND}
             WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/golden)
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "golden;threads;${ARG_LABELS}" TIMEOUT 120
                         RESOURCE_LOCK ${ARG_NAME})
    add_test(NAME ${ARG_NAME}::reuse_threads
             COMMAND golden_run --approved ${ARG_DIR} --case ${ARG_CASE} --status ${ARG_STATUS}
                     ${flags} --env ZUNO_TEST_REUSE_THREADS=1 -- ${ARG_COMMAND}
             WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/golden)
    set_tests_properties(${ARG_NAME}::reuse_threads PROPERTIES
                         LABELS "golden;threads;reuse_threads;${ARG_LABELS}" TIMEOUT 120
                         RESOURCE_LOCK ${ARG_NAME})
endfunction()
