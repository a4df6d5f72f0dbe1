# Lists the tests of a program built on the zuno harness and writes one
# add_test() per test into a file that CTest includes. Run with
#   cmake -DZUNO_PARAMS=<file> -P zunoAddTests.cmake
# by zuno_discover_tests (or included at ctest time); the parameters file sets
# ZUNO_TARGET, ZUNO_EXECUTABLE, ZUNO_CTEST_FILE, ZUNO_TEST_PREFIX,
# ZUNO_TEST_SUFFIX, ZUNO_EXTRA_ARGS, ZUNO_PROPERTIES, ZUNO_DISCOVERY_TIMEOUT,
# ZUNO_WORKING_DIRECTORY and ZUNO_CMAKE_COMMAND. Included without
# ZUNO_PARAMS (as zunoDiscoverTests.cmake does), it only defines _zuno_quote.

# `text` as a bracket argument that no "]=]" inside it can end early.
function(_zuno_quote out text)
    set(eq "=")
    while(text MATCHES "]${eq}]")
        string(APPEND eq "=")
    endwhile()
    set(${out} "[${eq}[${text}]${eq}]" PARENT_SCOPE)
endfunction()

if(NOT DEFINED ZUNO_PARAMS)
    return()
endif()
include("${ZUNO_PARAMS}")

# The JSON listing is an experimental format: it needs -Z unstable-options
# and ZUNOC_BOOTSTRAP in the environment.
execute_process(
    COMMAND "${ZUNO_CMAKE_COMMAND}" -E env ZUNOC_BOOTSTRAP=1
            "${ZUNO_EXECUTABLE}" --list -Z unstable-options --format json
    WORKING_DIRECTORY "${ZUNO_WORKING_DIRECTORY}"
    TIMEOUT ${ZUNO_DISCOVERY_TIMEOUT}
    OUTPUT_VARIABLE listing
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE "${ZUNO_CTEST_FILE}")
    message(FATAL_ERROR
        "Listing the tests of ${ZUNO_TARGET} failed (${status}):\n"
        "  ${ZUNO_EXECUTABLE} --list -Z unstable-options --format json\n"
        "${errors}${listing}")
endif()

set(command_line "")
foreach(arg IN LISTS ZUNO_EXTRA_ARGS)
    _zuno_quote(quoted "${arg}")
    string(APPEND command_line " ${quoted}")
endforeach()
set(properties "")
foreach(item IN LISTS ZUNO_PROPERTIES)
    _zuno_quote(quoted "${item}")
    string(APPEND properties " ${quoted}")
endforeach()
# The LABELS among PROPERTIES (name value pairs), which a test's tags extend.
set(given_labels "")
list(LENGTH ZUNO_PROPERTIES property_count)
set(i 0)
while(i LESS property_count)
    list(GET ZUNO_PROPERTIES ${i} property)
    math(EXPR i "${i} + 1")
    if(property STREQUAL "LABELS" AND i LESS property_count)
        list(GET ZUNO_PROPERTIES ${i} given_labels)
    endif()
    math(EXPR i "${i} + 1")
endwhile()
_zuno_quote(executable "${ZUNO_EXECUTABLE}")
_zuno_quote(working_directory "${ZUNO_WORKING_DIRECTORY}")

# Walk the listing line by line without turning it into a CMake list: names
# may hold ";" and brackets, which list splitting would mangle.
set(script "# Generated from the listing of ${ZUNO_TARGET}; do not edit.\n")
string(LENGTH "${listing}" remaining)
while(remaining GREATER 0)
    string(FIND "${listing}" "\n" eol)
    if(eol EQUAL -1)
        set(line "${listing}")
        set(listing "")
    else()
        string(SUBSTRING "${listing}" 0 ${eol} line)
        math(EXPR next "${eol} + 1")
        string(SUBSTRING "${listing}" ${next} -1 listing)
    endif()
    string(LENGTH "${listing}" remaining)

    string(JSON kind ERROR_VARIABLE not_json GET "${line}" type)
    if(not_json OR NOT kind STREQUAL "test")
        continue()  # suite lines, benchmarks, anything else the program printed
    endif()
    string(JSON event GET "${line}" event)
    if(NOT event STREQUAL "discovered")
        continue()
    endif()
    string(JSON name GET "${line}" name)
    string(JSON ignored GET "${line}" ignore)

    _zuno_quote(test_name "${ZUNO_TEST_PREFIX}${name}${ZUNO_TEST_SUFFIX}")
    _zuno_quote(quoted_name "${name}")
    string(APPEND script
        "add_test(${test_name} ${executable} --exact --fail-if-no-tests${command_line} -- "
        "${quoted_name})\n"
        "set_tests_properties(${test_name} PROPERTIES WORKING_DIRECTORY ${working_directory}"
        "${properties})\n")
    if(ignored)
        string(APPEND script "set_tests_properties(${test_name} PROPERTIES DISABLED TRUE)\n")
    endif()
    # The test's tags (zuno::tags) become CTest labels, after any LABELS
    # given in PROPERTIES.
    string(JSON tag_count ERROR_VARIABLE no_tags LENGTH "${line}" tags)
    if(NOT no_tags AND tag_count GREATER 0)
        set(labels "${given_labels}")
        math(EXPR last "${tag_count} - 1")
        foreach(i RANGE ${last})
            string(JSON tag GET "${line}" tags ${i})
            list(APPEND labels "${tag}")
        endforeach()
        _zuno_quote(quoted_labels "${labels}")
        string(APPEND script
            "set_tests_properties(${test_name} PROPERTIES LABELS ${quoted_labels})\n")
    endif()
endwhile()

file(WRITE "${ZUNO_CTEST_FILE}" "${script}")
