# What the Windows executables' resource scripts share: the version record's text form.
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
