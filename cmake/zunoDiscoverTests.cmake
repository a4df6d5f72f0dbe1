# zuno_discover_tests: one CTest test per test of a program built on the zuno
# harness.
#
#   zuno_discover_tests(<target>
#                       [TEST_PREFIX <prefix>] [TEST_SUFFIX <suffix>]
#                       [EXTRA_ARGS <args>...]
#                       [PROPERTIES <name> <value>...]
#                       [DISCOVERY_MODE POST_BUILD|PRE_TEST]
#                       [DISCOVERY_TIMEOUT <seconds>]
#                       [WORKING_DIRECTORY <dir>])
#
# The program's tests are read from its JSON listing (run with --list in the
# working directory). Each becomes the CTest test "<prefix><name><suffix>",
# whose command is
#
#   <program> --exact --fail-if-no-tests [EXTRA_ARGS...] -- <name>
#
# The name is an argument of its own, never a pattern, so any character works.
# --fail-if-no-tests makes a CTest entry whose test no longer exists (renamed
# or removed since the last listing) fail instead of passing with nothing run.
# Ignored tests are registered DISABLED; benchmarks are not registered.
# PROPERTIES are set on every test (say LABELS or TIMEOUT); a test's tags
# (zuno::tags) are added to its LABELS, so `ctest -L <tag>` selects it.
#
# POST_BUILD (the default, or ZUNO_DISCOVERY_MODE) lists the tests each time
# the program is linked; PRE_TEST lists them when ctest starts, if the program
# changed since the last listing (for programs that cannot run on the build
# host at build time). DISCOVERY_TIMEOUT bounds the listing (default 5 s).

function(zuno_discover_tests target)
    cmake_parse_arguments(PARSE_ARGV 1 arg ""
        "TEST_PREFIX;TEST_SUFFIX;DISCOVERY_MODE;DISCOVERY_TIMEOUT;WORKING_DIRECTORY"
        "EXTRA_ARGS;PROPERTIES")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "zuno_discover_tests: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT TARGET ${target})
        message(FATAL_ERROR "zuno_discover_tests: ${target} is not a target")
    endif()
    if(NOT arg_WORKING_DIRECTORY)
        set(arg_WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
    endif()
    if(NOT arg_DISCOVERY_TIMEOUT)
        set(arg_DISCOVERY_TIMEOUT 5)
    endif()
    if(NOT arg_DISCOVERY_MODE)
        if(ZUNO_DISCOVERY_MODE)
            set(arg_DISCOVERY_MODE "${ZUNO_DISCOVERY_MODE}")
        else()
            set(arg_DISCOVERY_MODE POST_BUILD)
        endif()
    endif()
    if(NOT arg_DISCOVERY_MODE MATCHES "^(POST_BUILD|PRE_TEST)$")
        message(FATAL_ERROR
            "zuno_discover_tests: DISCOVERY_MODE must be POST_BUILD or PRE_TEST, "
            "not ${arg_DISCOVERY_MODE}")
    endif()

    # Several calls for one target each get their own files.
    get_property(count TARGET ${target} PROPERTY ZUNO_DISCOVER_TESTS_COUNT)
    if(NOT count)
        set(count 0)
    endif()
    math(EXPR count "${count} + 1")
    set_property(TARGET ${target} PROPERTY ZUNO_DISCOVER_TESTS_COUNT ${count})
    set(base "${CMAKE_CURRENT_BINARY_DIR}/${target}_zuno_${count}")
    set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/zunoAddTests.cmake")

    # The arguments reach the listing script through a file, so that lists,
    # quotes and semicolons arrive intact; $<CONFIG> keeps one file per
    # configuration of a multi-config generator.
    set(params "")
    foreach(var IN ITEMS TEST_PREFIX TEST_SUFFIX DISCOVERY_TIMEOUT WORKING_DIRECTORY)
        _zuno_quote(quoted "${arg_${var}}")
        string(APPEND params "set(ZUNO_${var} ${quoted})\n")
    endforeach()
    foreach(var IN ITEMS EXTRA_ARGS PROPERTIES)
        string(APPEND params "set(ZUNO_${var}")
        foreach(item IN LISTS arg_${var})
            _zuno_quote(quoted "${item}")
            string(APPEND params " ${quoted}")
        endforeach()
        string(APPEND params ")\n")
    endforeach()
    _zuno_quote(cmake_command "${CMAKE_COMMAND}")
    string(APPEND params "set(ZUNO_CMAKE_COMMAND ${cmake_command})\n"
                         "set(ZUNO_TARGET [==[${target}]==])\n"
                         "set(ZUNO_EXECUTABLE [==[$<TARGET_FILE:${target}>]==])\n"
                         "set(ZUNO_CTEST_FILE [==[${base}_tests-$<CONFIG>.cmake]==])\n")
    file(GENERATE OUTPUT "${base}_params-$<CONFIG>.cmake" CONTENT "${params}")

    set(include_file "${base}_include.cmake")
    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    if(multi_config)
        set(config [=[${CTEST_CONFIGURATION_TYPE}]=])
    else()
        set(config "${CMAKE_BUILD_TYPE}")
    endif()
    set(tests_file "${base}_tests-${config}.cmake")
    set(params_file "${base}_params-${config}.cmake")

    if(arg_DISCOVERY_MODE STREQUAL "POST_BUILD")
        add_custom_command(TARGET ${target} POST_BUILD
            BYPRODUCTS "${base}_tests-$<CONFIG>.cmake"
            COMMAND "${CMAKE_COMMAND}" "-DZUNO_PARAMS=${base}_params-$<CONFIG>.cmake"
                    -P "${script}"
            VERBATIM)
        file(WRITE "${include_file}"
            "if(EXISTS \"${tests_file}\")\n"
            "    include(\"${tests_file}\")\n"
            "else()\n"
            "    add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
            "endif()\n")
    else()
        # At ctest time: list again when the program is newer than the listing.
        file(WRITE "${include_file}"
            "include(\"${params_file}\")\n"
            "if(NOT EXISTS \"\${ZUNO_EXECUTABLE}\")\n"
            "    add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
            "else()\n"
            "    if(NOT EXISTS \"${tests_file}\" OR\n"
            "       \"\${ZUNO_EXECUTABLE}\" IS_NEWER_THAN \"${tests_file}\")\n"
            "        set(ZUNO_PARAMS \"${params_file}\")\n"
            "        include(\"${script}\")\n"
            "    endif()\n"
            "    include(\"${tests_file}\")\n"
            "endif()\n")
    endif()
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()

# The listing script, included without parameters, only defines its helpers
# (_zuno_quote, which the function above uses).
include("${CMAKE_CURRENT_LIST_DIR}/zunoAddTests.cmake")
