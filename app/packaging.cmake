# Resources, packaging and the demo: the application icon, the Windows resource script, install rules
# and the demo's archive maker. Included from app/CMakeLists.txt.

include(GNUInstallDirs)
include(OstrawenWindowsResources)

set(OSTRAWEN_RESOURCE_DIR "${CMAKE_SOURCE_DIR}/resources")

target_sources(ostrawen_gui PRIVATE about.h)

if(WIN32)
    enable_language(RC)
    ostrawen_add_windows_resources(ostrawen ostrawen)
    if(MSVC)
        # The manifest comes from the resource script; a second one from the linker would clash.
        target_link_options(ostrawen PRIVATE /MANIFEST:NO)
    endif()
endif()

install(TARGETS ostrawen RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT gui)
if(NOT WIN32)
    include(OstrawenDebianDocs)
    ostrawen_drop_comment_section(ostrawen gui)
    ostrawen_install_man_page("${CMAKE_CURRENT_SOURCE_DIR}/ostrawen.1" gui)
    foreach(size 16 32 48)
        install(FILES "${OSTRAWEN_RESOURCE_DIR}/ostrawen-${size}.png"
                DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
                RENAME ostrawen.png COMPONENT gui)
    endforeach()
    install(FILES "${OSTRAWEN_RESOURCE_DIR}/ostrawen.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps" COMPONENT gui)
    # The desktop entry and the AppStream metadata share the application's id, as software centres
    # expect: <id>.desktop, <id>.metainfo.xml.
    set(appId io.github.ostrawen.Ostrawen)
    install(FILES "${OSTRAWEN_RESOURCE_DIR}/${appId}.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications"
            COMPONENT gui)
    install(FILES "${OSTRAWEN_RESOURCE_DIR}/${appId}.metainfo.xml" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo"
            COMPONENT gui)
endif()

add_subdirectory(demo)
