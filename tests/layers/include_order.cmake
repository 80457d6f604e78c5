# Fails when a file of src/ includes a header of a library that its own library does not link,
# directly or through the libraries it links: an arrow against the link order that
# src/CMakeLists.txt gives. Also fails on a file that belongs to no library.
#
#   cmake -DLAYERS=<build>/layers.cmake -DSRC=<source>/src -P include_order.cmake
#
# The project's includes name a path below src/ ("peer/PeerSchema.h") or one beside the
# including file ("ChatLog.h"); anything else (Qt, the generated ui_*.h) is not a project header.
# A designed layout's custom widgets name their headers in <header> elements, which count as
# includes of the layout's library.

cmake_minimum_required(VERSION 3.21)

if(NOT LAYERS OR NOT SRC)
    message(FATAL_ERROR "usage: cmake -DLAYERS=<layers.cmake> -DSRC=<src folder> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()
include("${LAYERS}")

# Which library each file belongs to: its own list, else its folder's.
foreach(layer IN LISTS QV_LAYERS)
    if(QV_LAYER_${layer}_SOURCES)
        foreach(file IN LISTS QV_LAYER_${layer}_SOURCES)
            set("QVO_${file}" ${layer})
        endforeach()
    else()
        set("QVF_${QV_LAYER_${layer}_FOLDER}" ${layer})
    endif()
endforeach()

function(owner_of file out)
    get_filename_component(dir "${file}" DIRECTORY)
    if(DEFINED "QVO_${file}")
        set(${out} "${QVO_${file}}" PARENT_SCOPE)
    elseif(DEFINED "QVF_${dir}")
        set(${out} "${QVF_${dir}}" PARENT_SCOPE)
    else()
        set(${out} "" PARENT_SCOPE)
    endif()
endfunction()

# What each library may include: itself and every library it links, followed through the links.
foreach(layer IN LISTS QV_LAYERS)
    set(reach ${layer})
    set(work ${layer})
    while(work)
        list(POP_FRONT work next)
        foreach(lib IN LISTS QV_LAYER_${next}_LIBS)
            if(DEFINED QV_LAYER_${lib}_FOLDER AND NOT lib IN_LIST reach)
                list(APPEND reach ${lib})
                list(APPEND work ${lib})
            endif()
        endforeach()
    endwhile()
    set("QVR_${layer}" ${reach})
endforeach()

file(GLOB_RECURSE files RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cpp" "${SRC}/*.ui")
set(faults 0)
foreach(file IN LISTS files)
    owner_of("${file}" layer)
    if(NOT layer)
        message("src/${file}: belongs to no library of src/CMakeLists.txt")
        math(EXPR faults "${faults} + 1")
        continue()
    endif()
    get_filename_component(dir "${file}" DIRECTORY)
    if(file MATCHES "\\.ui$")
        file(STRINGS "${SRC}/${file}" lines REGEX "<header>[^<]+</header>")
        list(TRANSFORM lines REPLACE ".*<header>([^<]+)</header>.*" "\\1")
    else()
        file(STRINGS "${SRC}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
        list(TRANSFORM lines REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1")
    endif()
    foreach(name IN LISTS lines)
        if(EXISTS "${SRC}/${name}")
            set(target "${name}")
        elseif(dir AND EXISTS "${SRC}/${dir}/${name}")
            set(target "${dir}/${name}")
        else()
            continue()
        endif()
        owner_of("${target}" to)
        if(to AND NOT to IN_LIST "QVR_${layer}")
            message("src/${file}: includes ${target} of ${to}, which ${layer} does not link")
            math(EXPR faults "${faults} + 1")
        endif()
    endforeach()
endforeach()

list(LENGTH files count)
if(count EQUAL 0)
    message(FATAL_ERROR "no source files under ${SRC}")
endif()
if(faults GREATER 0)
    message(FATAL_ERROR "${faults} include(s) against the link order of src/CMakeLists.txt")
endif()
message("${count} files of src/ include only what their libraries link")
