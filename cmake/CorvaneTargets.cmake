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

# corvane_test(name SOURCES ... LINKS ... [LABELS ...] [TIMEOUT s] [RUN_SERIAL]):
# one Qt Test executable registered with CTest.
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
    if(ARG_RUN_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()
