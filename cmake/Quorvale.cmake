# With Ninja, moc re-runs only when a file it read last time changes, so a header added to an
# existing build tree would never be moc'ed. When a target's file list changes, drop the moc
# step's stamp so that it runs again.
function(qv_rerun_moc_on_new_files target sources)
    set(list_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_sources.txt")
    set(old_list "")
    if(EXISTS "${list_file}")
        file(READ "${list_file}" old_list)
    endif()
    if(NOT old_list STREQUAL sources)
        file(WRITE "${list_file}" "${sources}")
        file(REMOVE "${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp")
    endif()
endfunction()

# One static library per source folder. Sources are picked up from the folder itself, so adding
# a file needs no edit here; CONFIGURE_DEPENDS re-runs the glob on every build.
# ONLY and EXCLUDE (regular expressions on the file's path) split one folder between two
# libraries.
function(qv_library target folder)
    cmake_parse_arguments(ARG "" "ONLY;EXCLUDE" "LIBS;DEFINES" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
        "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp"
        "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h"
        "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.ui"
        "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.qrc")
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
    if(ARG_ONLY)
        list(FILTER sources INCLUDE REGEX "${ARG_ONLY}")
    endif()
    if(ARG_EXCLUDE)
        list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
    endif()
    if(NOT sources)
        # Interface-only until the folder has code of its own.
        add_library(${target} INTERFACE)
        target_link_libraries(${target} INTERFACE ${ARG_LIBS})
        target_compile_definitions(${target} INTERFACE ${ARG_DEFINES})
        return()
    endif()
    add_library(${target} STATIC ${sources})
    qv_rerun_moc_on_new_files(${target} "${sources}")
    target_include_directories(${target} PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
    target_link_libraries(${target} PUBLIC ${ARG_LIBS})
    target_compile_definitions(${target} PUBLIC ${ARG_DEFINES})
endfunction()

# Every tests/<folder>/tst_*.cpp becomes one QtTest executable registered with CTest. Each test
# gets a HOME of its own under the build tree, so nothing ever touches the real home directory.
function(qv_tests folder)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/tst_*.cpp")
    foreach(src IN LISTS tests)
        get_filename_component(name "${src}" NAME_WE)
        string(REPLACE "/" "_" prefix "${folder}")
        set(target "${prefix}_${name}")
        add_executable(${target} "${src}")
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} Qt6::Test)
        set(home "${CMAKE_BINARY_DIR}/test-home/${target}")
        file(MAKE_DIRECTORY "${home}")
        add_test(NAME "${folder}/${name}" COMMAND ${target})
        set_tests_properties("${folder}/${name}" PROPERTIES
            ENVIRONMENT "HOME=${home};QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${home}"
            TIMEOUT 300)
    endforeach()
endfunction()
