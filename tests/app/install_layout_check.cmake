# Installs the build into a fresh prefix and checks that the program, its icons, its desktop entry,
# its AppStream metadata and its manual page land where a freedesktop system looks for them.
#   cmake -DBUILD_DIR=<build> -DPREFIX=<empty dir> -P install_layout_check.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()

set(expected
    bin/ostrawen
    share/icons/hicolor/48x48/apps/ostrawen.png
    share/icons/hicolor/32x32/apps/ostrawen.png
    share/icons/hicolor/16x16/apps/ostrawen.png
    share/icons/hicolor/scalable/apps/ostrawen.svg
    share/applications/io.github.ostrawen.Ostrawen.desktop
    share/metainfo/io.github.ostrawen.Ostrawen.metainfo.xml
    share/man/man1/ostrawen.1.gz)
foreach(path IN LISTS expected)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()

# Each size directory holds the image of that size: PNG width and height sit at bytes 16 to 23.
foreach(size 48 32 16)
    file(READ "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/ostrawen.png" header LIMIT 24 HEX)
    string(SUBSTRING "${header}" 32 16 dimensions)
    math(EXPR hexSize "${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(REPLACE "0x" "" hexSize "${hexSize}")
    string(LENGTH "${hexSize}" length)
    while(length LESS 8)
        string(PREPEND hexSize "0")
        string(LENGTH "${hexSize}" length)
    endwhile()
    if(NOT dimensions STREQUAL "${hexSize}${hexSize}")
        message(FATAL_ERROR "${size}x${size}/apps/ostrawen.png is not ${size} px square (${dimensions})")
    endif()
endforeach()

# The desktop entry starts the installed program and names the installed icon.
set(desktopEntry "${PREFIX}/share/applications/io.github.ostrawen.Ostrawen.desktop")
file(STRINGS "${desktopEntry}" entry)
foreach(line "[Desktop Entry]" "Type=Application" "Exec=ostrawen" "Icon=ostrawen")
    if(NOT line IN_LIST entry)
        message(FATAL_ERROR "desktop entry lacks ${line}")
    endif()
endforeach()
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
    execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${desktopEntry}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "desktop-file-validate: ${out}")
    endif()
endif()
