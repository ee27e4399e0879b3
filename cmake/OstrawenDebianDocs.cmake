# What Debian's policy asks of every binary package beside its programs: the copyright file and the
# changelog in /usr/share/doc/<package>/, manual pages compressed, and programs without the
# compiler's .comment section (as dh_strip leaves them). Linux only.
include(GNUInstallDirs)

# The changelog as Debian ships it, once for every package: gzip -9n (no name or time stamp inside,
# so that the package is reproducible).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(OSTRAWEN_DEBIAN_CHANGELOG "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
if(NOT TARGET ostrawen-debian-changelog)
    add_custom_command(OUTPUT "${OSTRAWEN_DEBIAN_CHANGELOG}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/packaging"
        COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$2\"" "${GZIP_EXECUTABLE}"
                "${CMAKE_SOURCE_DIR}/packaging/changelog" "${OSTRAWEN_DEBIAN_CHANGELOG}"
        DEPENDS "${CMAKE_SOURCE_DIR}/packaging/changelog" VERBATIM)
    add_custom_target(ostrawen-debian-changelog ALL DEPENDS "${OSTRAWEN_DEBIAN_CHANGELOG}")
endif()

# Installs the copyright file, the changelog and the lintian overrides of `package`, whose files CPack
# takes from `component`.
function(ostrawen_debian_docs component package)
    set(docDir "${CMAKE_INSTALL_DATADIR}/doc/${package}")
    install(FILES "${CMAKE_SOURCE_DIR}/packaging/copyright" DESTINATION "${docDir}" COMPONENT ${component})
    install(FILES "${OSTRAWEN_DEBIAN_CHANGELOG}" DESTINATION "${docDir}" COMPONENT ${component})
    # The lintian tags we accept, each with the reason beside it.
    install(FILES "${CMAKE_SOURCE_DIR}/packaging/lintian/${package}"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" COMPONENT ${component})
endfunction()

# Installs the manual page `source` (a roff file named <name>.<section>) gzip -9n compressed into
# its section's folder, for `component`.
function(ostrawen_install_man_page source component)
    get_filename_component(name "${source}" NAME)
    string(REGEX MATCH "[0-9]$" section "${name}")
    set(page "${CMAKE_CURRENT_BINARY_DIR}/${name}.gz")
    add_custom_command(OUTPUT "${page}"
        COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$2\"" "${GZIP_EXECUTABLE}" "${source}" "${page}"
        DEPENDS "${source}" VERBATIM)
    add_custom_target(${name}-man ALL DEPENDS "${page}")
    install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}" COMPONENT ${component})
endfunction()

# Drops the .comment section (the compilers' version strings, nothing the program uses) from the
# installed `program`, after the install step has stripped it.
function(ostrawen_drop_comment_section program component)
    if(NOT CMAKE_OBJCOPY)
        return()
    endif()
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                  RESULT_VARIABLE result)
                  if(NOT result EQUAL 0)
                      message(FATAL_ERROR \"objcopy could not drop .comment from ${program}\")
                  endif()" COMPONENT ${component})
endfunction()
