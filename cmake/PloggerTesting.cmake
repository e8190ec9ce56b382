# plogger_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One QtTest executable per class, run headless.
function(plogger_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # The discovery target keeps every test off the broadcast address; a data
    # folder of its own keeps it off the state and pins of whoever runs it.
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PLOGGER_BIN_DIR=${PROJECT_BINARY_DIR};PLOGGER_DISCOVERY_TARGET=127.0.0.1:9;XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/${name}-data")
endfunction()
