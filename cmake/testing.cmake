# Helpers that register the project's own tests with CTest.
#
#   add_unit_test(NAME <ctest name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
#
# builds one GoogleTest executable named after the ctest name (with "::"
# replaced by "_") and registers it once under the given hierarchical name.
function(add_unit_test)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
    string(REPLACE "::" "_" target "${ARG_NAME}")
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${ARG_NAME} COMMAND ${target})
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "unit;${ARG_LABELS}" TIMEOUT 300)
endfunction()
