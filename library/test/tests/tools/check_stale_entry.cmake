# A CTest entry whose test the program no longer has must fail. Takes the
# entries discovery wrote for discovery_fixture (TESTS_FILE), runs the one for
# "plain" with ctest (it passes), then renames "plain" in the file as if the
# test had been renamed since the listing, and runs it again (it must fail).
#   cmake -DTESTS_FILE=... -DWORK_DIR=... -DCTEST=... -P check_stale_entry.cmake

file(READ "${TESTS_FILE}" entries)
set(name_arg " -- [=[plain]=])")
string(FIND "${entries}" "${name_arg}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "no entry for the test plain in ${TESTS_FILE}:\n${entries}")
endif()

function(run_entry label contents expect_pass)
    file(REMOVE_RECURSE "${WORK_DIR}/${label}")
    file(WRITE "${WORK_DIR}/${label}/CTestTestfile.cmake" "${contents}")
    execute_process(COMMAND "${CTEST}" --test-dir "${WORK_DIR}/${label}" -R "^discovery::plain$"
                    --output-on-failure
                    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
    if(expect_pass AND NOT status EQUAL 0)
        message(FATAL_ERROR "the ${label} entry failed:\n${out}")
    elseif(NOT expect_pass AND status EQUAL 0)
        message(FATAL_ERROR "the ${label} entry passed with no test run:\n${out}")
    endif()
    message(STATUS "${label} entry: ${status}")
endfunction()

run_entry(current "${entries}" TRUE)
string(REPLACE "${name_arg}" " -- [=[plain_renamed]=])" stale "${entries}")
run_entry(stale "${stale}" FALSE)
