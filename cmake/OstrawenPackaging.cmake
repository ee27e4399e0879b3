# `make package`: on Linux two Debian packages from one build, `ostrawen`, the window with its desktop
# entry and icons, and `ostrawen-cli`, the command line and its manual page. They are separate so that
# a server installs no GUI library: dpkg-shlibdeps derives each package's dependencies from its own
# binaries only. On Windows one zip, ostrawen-windows-x64.zip, that a player unpacks and runs.

set(CPACK_PACKAGE_NAME ostrawen)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_PACKAGE_CONTACT "Ostrawen developers <ostrawen@users.noreply.github.com>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Everything installed, at the zip's top level: Explorer's "Extract All" already makes a folder
    # named after the zip, and the programs may be unpacked straight beside war3.exe.
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_PACKAGE_FILE_NAME ostrawen-windows-x86)
    else()
        set(CPACK_PACKAGE_FILE_NAME ostrawen-windows-x64)
    endif()
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
    include(CPack)
    return()
endif()

set(CPACK_GENERATOR DEB)
# Each package's description starts with its own summary line; CPack would put the project-wide one
# in front of both unless the summary is left at CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(OSTRAWEN_HAVE_GUI)
    list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# utils, not games: both programs live in /usr/bin, where a script or a player finds them on any
# PATH, and neither is a game itself (Debian keeps games for what /usr/games holds).
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SOURCE ostrawen)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME ostrawen)
set(CPACK_DEBIAN_GUI_DESCRIPTION "Warcraft III archive personaliser
Edits files inside one of Warcraft III's MPQ archives: the LAN game name, the
race of the mouse cursor, the menu music, fonts and menu-background models,
and compacts the archive. Every write is crash-safe.")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME ostrawen-cli)
set(CPACK_DEBIAN_CLI_DESCRIPTION "Warcraft III archive personaliser, command line
The scripting twin of ostrawen: status, LAN game name, cursor race, resources
and compaction from a shell, with JSON output and idempotent edits for fleet
tools. It needs no GUI library.")

include(GNUInstallDirs)
include(OstrawenDebianDocs)
ostrawen_debian_docs(cli ostrawen-cli)
ostrawen_drop_comment_section(ostrawen-cli cli)
if(OSTRAWEN_HAVE_GUI)
    ostrawen_debian_docs(gui ostrawen)
endif()

# The command line's completion, where bash-completion and zsh look for it.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/completions/ostrawen-cli.bash"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME ostrawen-cli COMPONENT cli)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/completions/_ostrawen-cli"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions" COMPONENT cli)

include(CPack)
