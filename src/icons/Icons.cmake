# The program's images, read from Debian's packages at configure time into one compiled-in
# resource: the icons named in icons.table (tango-icon-theme) as ":/icons/<name>", and every
# 16x11 country flag (famfamfam-flag-png) as ":/resources/flags/<code>.png".

set(QV_TANGO_DIR "/usr/share/icons/Tango" CACHE PATH "Where the Tango icon theme is installed")
set(QV_FLAGS_DIR "/usr/share/flags/countries/16x11" CACHE PATH
    "Where the 16x11 country flag images are installed")

set(QV_ICON_TABLE "${CMAKE_CURRENT_LIST_DIR}/icons.table")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QV_ICON_TABLE}")

# Sets <out_var> to the Tango file (below a size folder) of one table entry.
function(qv_icon_file name out_var)
    file(STRINGS "${QV_ICON_TABLE}" lines REGEX "^${name}[ \t]")
    if(NOT lines)
        message(FATAL_ERROR "icons.table has no entry ${name}")
    endif()
    string(REGEX REPLACE "^[a-z_]+[ \t]+" "" file "${lines}")
    set(${out_var} "${file}" PARENT_SCOPE)
endfunction()

# Adds the resource "qv_images" to target (a static library: Icons::InitResources registers it).
function(qv_add_image_resources target)
    set(missing "")
    set(qrc "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/\">\n")
    file(STRINGS "${QV_ICON_TABLE}" lines REGEX "^[^#]")
    foreach(line IN LISTS lines)
        if(NOT line MATCHES "^([a-z_]+)[ \t]+([A-Za-z0-9_./-]+)[ \t]*$")
            message(FATAL_ERROR "icons.table: cannot read the line \"${line}\"")
        endif()
        set(file "${QV_TANGO_DIR}/16x16/${CMAKE_MATCH_2}")
        if(NOT EXISTS "${file}")
            list(APPEND missing "${file}")
        endif()
        string(APPEND qrc "  <file alias=\"icons/${CMAKE_MATCH_1}\">${file}</file>\n")
    endforeach()

    file(GLOB flags "${QV_FLAGS_DIR}/*.png")
    if(NOT flags)
        list(APPEND missing "${QV_FLAGS_DIR}/*.png")
    endif()
    foreach(flag IN LISTS flags)
        get_filename_component(name "${flag}" NAME)
        string(APPEND qrc "  <file alias=\"resources/flags/${name}\">${flag}</file>\n")
    endforeach()
    string(APPEND qrc "</qresource>\n</RCC>\n")

    if(missing)
        list(JOIN missing "\n  " missing_text)
        message(FATAL_ERROR "Images not found (bash scripts/install-deps.sh installs "
            "tango-icon-theme and famfamfam-flag-png):\n  ${missing_text}")
    endif()

    # Rewritten only when the list changes, so that a reconfigure rebuilds nothing.
    set(qrc_file "${CMAKE_CURRENT_BINARY_DIR}/qv_images.qrc")
    file(CONFIGURE OUTPUT "${qrc_file}" CONTENT "${qrc}")
    qt_add_resources(rcc_sources "${qrc_file}")
    target_sources(${target} PRIVATE ${rcc_sources})
endfunction()
