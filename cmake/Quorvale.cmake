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

# Records a library (or the program) for the include-order check: its folder below src/, the
# libraries it links and, where it holds only some of its folder's files, those files.
function(qv_layer target folder)
    cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
    set_property(GLOBAL APPEND PROPERTY QV_LAYERS "${target}")
    set_property(GLOBAL PROPERTY "QV_LAYER_${target}_FOLDER" "${folder}")
    set_property(GLOBAL PROPERTY "QV_LAYER_${target}_LIBS" "${ARG_LIBS}")
    set_property(GLOBAL PROPERTY "QV_LAYER_${target}_SOURCES" "${ARG_SOURCES}")
endfunction()

# Writes what qv_layer recorded, in the order recorded, as a script that sets the same names.
function(qv_write_layers file)
    get_property(layers GLOBAL PROPERTY QV_LAYERS)
    set(text "# Written by qv_write_layers: the libraries of src/, their folders, their links.\n")
    string(APPEND text "set(QV_LAYERS \"${layers}\")\n")
    foreach(layer IN LISTS layers)
        foreach(field FOLDER LIBS SOURCES)
            get_property(value GLOBAL PROPERTY "QV_LAYER_${layer}_${field}")
            string(APPEND text "set(QV_LAYER_${layer}_${field} \"${value}\")\n")
        endforeach()
    endforeach()
    file(WRITE "${file}" "${text}")
endfunction()

# One static library per source folder. Sources are picked up from the folder itself, so adding
# a file needs no edit here; CONFIGURE_DEPENDS re-runs the glob on every build. A folder split
# between two libraries names each one's files instead (SOURCES, paths below the folder).
function(qv_library target folder)
    cmake_parse_arguments(ARG "" "" "LIBS;DEFINES;SOURCES" ${ARGN})
    if(ARG_SOURCES)
        list(TRANSFORM ARG_SOURCES PREPEND "${folder}/")
        list(TRANSFORM ARG_SOURCES PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/" OUTPUT_VARIABLE sources)
    else()
        file(GLOB sources CONFIGURE_DEPENDS
            "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h"
            "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.ui"
            "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.qrc")
        list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
    endif()
    qv_layer(${target} ${folder} LIBS ${ARG_LIBS} SOURCES ${ARG_SOURCES})
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
