# Runs the console program's tests under Wine, then checks every --json
# stream they kept against the documented schema.
# Usage: cmake -DWINE=wine -DTEST_EXECUTABLE=path -DPYTHON=python3
#              -DVALIDATOR=validate_json_stream.py -DSCHEMA=schema.json -P run_cli_console_tests.cmake
set(streams ${CMAKE_CURRENT_BINARY_DIR}/cli-json-streams)
file(REMOVE_RECURSE ${streams})
file(MAKE_DIRECTORY ${streams})
# A folder of the working directory: Wine maps it to the same place.
set(ENV{OMBRIX_JSON_STREAMS} cli-json-streams)
execute_process(COMMAND ${WINE} ${TEST_EXECUTABLE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "tests_cli_windows failed (${result})")
endif()
file(GLOB kept ${streams}/*.jsonl)
if(NOT kept)
    message(FATAL_ERROR "the tests kept no --json stream to check")
endif()
foreach(stream IN LISTS kept)
    execute_process(COMMAND ${PYTHON} ${VALIDATOR} ${SCHEMA} ${stream} RESULT_VARIABLE valid)
    if(NOT valid EQUAL 0)
        message(FATAL_ERROR "${stream} does not follow the schema")
    endif()
endforeach()
message(STATUS "${TEST_EXECUTABLE}: passed; the --json streams kept follow the schema")
