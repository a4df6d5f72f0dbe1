# The tags of discovery_fixture's table become CTest labels: `ctest -L rows`
# selects exactly the table's rows, under their full names.
#   cmake -DCTEST=... -DTEST_DIR=... -P check_labels.cmake

execute_process(COMMAND "${CTEST}" --test-dir "${TEST_DIR}" -N -L "^rows$"
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "ctest -N -L rows failed (${status}):\n${out}")
endif()
string(REGEX MATCHALL "Test +#[0-9]+: [^\n]*" listed "${out}")
string(REGEX REPLACE "Test +#[0-9]+: " "" listed "${listed}")
set(expected "discovery::table::0;discovery::table::two")
if(NOT listed STREQUAL expected)
    message(FATAL_ERROR "ctest -L rows selects [${listed}], expected [${expected}]:\n${out}")
endif()
