# qv_add_tests([LIBRARIES lib...]): every tst_<name>.cpp in the calling folder is one
# QtTest program, registered with CTest under <name>. Tests sit beside the code they
# check; the shared helpers are in coagulation/core/testsupport.

# Tests that drive the library from several threads at once, and the simulator's
# hand-overs between its thread and the test's: the ThreadSanitizer run
# (./qv test --tsan) runs only these.
set(QV_CONCURRENCY_TESTS chaos concurrency filewriteconcurrency modbusclient modulereply monitor profile simulator)

function(qv_add_tests)
    cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
    foreach(source ${sources})
        get_filename_component(stem ${source} NAME_WE)
        string(REGEX REPLACE "^tst_" "" name ${stem})
        add_executable(${stem} ${source})
        target_link_libraries(${stem} PRIVATE qvcore qvtestsupport qvsimulator Qt::Test ${ARG_LIBRARIES})
        # lupdate and lrelease of the Qt the build uses.
        target_compile_definitions(${stem} PRIVATE
            QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
            QV_BINARY_DIR="${PROJECT_BINARY_DIR}"
            QV_LUPDATE="$<TARGET_FILE:Qt::lupdate>"
            QV_LRELEASE="$<TARGET_FILE:Qt::lrelease>")
        add_test(NAME ${name} COMMAND ${stem})
        set_tests_properties(${name} PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FATAL_CRITICALS=0"
            TIMEOUT 120)
        if(name IN_LIST QV_CONCURRENCY_TESTS)
            set_tests_properties(${name} PROPERTIES LABELS concurrency)
        endif()
        if(name STREQUAL "soak")
            # Bounded by QV_SOAK_SECONDS itself (a few seconds unless ./qv soak asks for more).
            set_tests_properties(${name} PROPERTIES TIMEOUT 86400 LABELS soak)
        endif()
    endforeach()
endfunction()
