# Lists the test functions of a Qt Test program (its -functions output) and writes one ctest entry per
# function into a file ctest includes: the Qt Test counterpart of gtest_discover_tests. Run after each
# build of the program, through the same launcher as its tests.
#   cmake -D LAUNCHER=... -D PROGRAM=... -D PREFIX=... -D ENVIRONMENT=... -D OUT=... -P QtTestCases.cmake
execute_process(COMMAND ${LAUNCHER} ${PROGRAM} -functions
    RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors TIMEOUT 60)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} -functions failed (${status}): ${errors}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(script "")
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\(\\)$")
        set(name "${CMAKE_MATCH_1}")
        string(APPEND script "add_test([=[${PREFIX}${name}]=] [==[${LAUNCHER}]==] [==[${PROGRAM}]==] ${name})\n")
        string(APPEND script "set_tests_properties([=[${PREFIX}${name}]=] PROPERTIES TIMEOUT 300 ENVIRONMENT [==[${ENVIRONMENT}]==])\n")
    endif()
endforeach()
if(script STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} -functions listed no test function")
endif()
file(WRITE "${OUT}" "${script}")
