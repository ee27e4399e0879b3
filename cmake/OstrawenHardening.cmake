# The hardening Debian builds its packages with, for the Linux build that `make package` ships: the
# compiler and linker flags dpkg-buildflags gives with hardening=+all (stack protector,
# _FORTIFY_SOURCE, format checks, full RELRO and bind-now; PIE is the compiler's default there), read
# once at configure time. Optimisation and debug information stay the build type's. Not for the
# mingw-w64 build, whose toolchain dpkg-buildflags does not describe, nor for the sanitizer and fuzz
# builds: _FORTIFY_SOURCE's checked copies bypass the address sanitizer's own interceptors.
option(OSTRAWEN_HARDENING "Build with Debian's hardening flags (Linux, not with sanitizers)" ON)
if(NOT OSTRAWEN_HARDENING OR WIN32 OR OSTRAWEN_SANITIZE)
    return()
endif()
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
    message(STATUS "dpkg-buildflags not found: built without Debian's hardening flags")
    return()
endif()

# The flags of one kind (CPPFLAGS, CXXFLAGS, LDFLAGS) as a list, without those the build type owns.
function(ostrawen_dpkg_buildflags kind outVar)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            "${DPKG_BUILDFLAGS}" --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|f(file|debug|macro)-prefix-map=.*)$")
    set(${outVar} "${flags}" PARENT_SCOPE)
endfunction()

ostrawen_dpkg_buildflags(CPPFLAGS hardeningPreprocessor)
ostrawen_dpkg_buildflags(CXXFLAGS hardeningCompile)
ostrawen_dpkg_buildflags(LDFLAGS hardeningLink)
# glibc refuses _FORTIFY_SOURCE without optimisation, which a Debug build has not.
foreach(flag IN LISTS hardeningPreprocessor)
    if(flag MATCHES "^-D_FORTIFY_SOURCE")
        add_compile_options("$<$<NOT:$<CONFIG:Debug>>:${flag}>")
    else()
        add_compile_options("${flag}")
    endif()
endforeach()
add_compile_options(${hardeningCompile})
add_link_options(${hardeningLink})
message(STATUS "Hardening from dpkg-buildflags: ${hardeningPreprocessor} ${hardeningCompile} ${hardeningLink}")
