# What the Windows executables' resource scripts share: the version record's text form and the
# processor architecture their manifests name.
include_guard(GLOBAL)

# Gives project(VERSION ...) as the version records show it, major and two-digit minor: 2.0 -> "2.00".
function(ostrawen_windows_short_version outVar)
    set(minor "${PROJECT_VERSION_MINOR}")
    string(LENGTH "${minor}" minorLength)
    if(minorLength LESS 2)
        set(minor "0${minor}")
    endif()
    set(${outVar} "${PROJECT_VERSION_MAJOR}.${minor}" PARENT_SCOPE)
endfunction()

# The manifest's name for this build's processor: "X86" for 32-bit, "amd64" for 64-bit.
function(ostrawen_windows_manifest_arch outVar)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(${outVar} X86 PARENT_SCOPE)
    else()
        set(${outVar} amd64 PARENT_SCOPE)
    endif()
endfunction()
