# Runs the window tests under Wine. Without a window manager (Xvfb), Wine
# waits two seconds for a manager to withdraw every window that is hidden or
# closed; the test executable's windows are therefore left unmanaged.
# Usage: cmake -DWINE=wine -DTEST_EXECUTABLE=path -P run_window_tests.cmake
get_filename_component(test_name ${TEST_EXECUTABLE} NAME)
execute_process(
    COMMAND ${WINE} reg add "HKCU\\Software\\Wine\\AppDefaults\\${test_name}\\X11 Driver"
            /v Managed /d N /f
    OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${WINE} ${TEST_EXECUTABLE} ${TEST_ARGUMENTS} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${test_name} failed (${result})")
endif()
