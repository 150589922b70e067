# Warnings, sanitizers and helpers shared by every target of the project.

function(corvane_warnings target)
    # -Wshadow=local is GCC's; clang (the fuzz build) would warn about the option itself.
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                                             $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
                                             -Wnon-virtual-dtor -Wcast-align -Wformat=2)
    if(CORVANE_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# corvane_library(name SOURCES ... LINKS ...): a static library of one folder of src/.
function(corvane_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                                              ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
    corvane_warnings(${name})
endfunction()

# About how many seconds the long suites take (normal build). CTest starts the costly ones
# first; a fresh checkout has no timings of earlier runs, and a long suite started last would
# run on alone at the end.
set(CORVANE_TEST_COSTS
    fault_campaign_ci 80 fault_campaign_asan 40 fault_campaign_fast 30 tst_programming_sim 110
    tst_e2e_auto 88 tst_e2e_outcome 70 tst_e2e_closing 66 tst_e2e_signals 55
    tst_updater_flow 45 tst_e2e_cli 34 tst_e2e_cpu1 31 tst_e2e_cpu1_fast 29 tst_station 34
    tst_e2e_auto_fast 25 tst_e2e_full 24 tst_json_streams 28)

# corvane_test_cost(name): the test's COST from the table above, if it is there. Called in the
# folder that adds the test (test properties are set where the test is).
function(corvane_test_cost name)
    list(FIND CORVANE_TEST_COSTS ${name} at)
    if(at GREATER_EQUAL 0)
        math(EXPR at "${at} + 1")
        list(GET CORVANE_TEST_COSTS ${at} seconds)
        set_tests_properties(${name} PROPERTIES COST ${seconds})
    endif()
endfunction()

# corvane_test(name SOURCES ... LINKS ... [LABELS ...] [TIMEOUT s] [RUN_SERIAL]):
# one Qt Test executable registered with CTest. RUN_SERIAL is for suites that time the link or
# a delay to within a few hundred milliseconds: nothing else runs beside them.
function(corvane_test name)
    cmake_parse_arguments(ARG "RUN_SERIAL" "TIMEOUT" "SOURCES;LINKS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LINKS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
    corvane_warnings(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                                            ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
    corvane_test_cost(${name})
    if(ARG_RUN_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()
