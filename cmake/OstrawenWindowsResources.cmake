# What the Windows executables' resource scripts share: the version record's text form, the
# processor architecture their manifests name, and the filling of the templates in resources/.
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

# Writes <outDir>/<name>.rc and <outDir>/<name>.manifest from resources/<name>.rc.in and
# resources/<name>.manifest.in, for the processor architecture as the manifest names it ("X86",
# "amd64"); the .rc path goes to <outVar>. Call it from the directory of the target that compiles
# the script: the script only names the manifest and the icon, so a change to either must compile
# it again, and that is a property of the source in that directory.
function(ostrawen_configure_windows_resources_of name outDir arch outVar)
    set(resourceDir "${PROJECT_SOURCE_DIR}/resources")
    ostrawen_windows_short_version(OSTRAWEN_SHORT_VERSION)
    set(OSTRAWEN_MANIFEST_ARCH "${arch}")
    set(OSTRAWEN_ICON_FILE "${resourceDir}/ostrawen.ico")
    set(OSTRAWEN_MANIFEST_FILE "${outDir}/${name}.manifest")
    configure_file("${resourceDir}/${name}.manifest.in" "${OSTRAWEN_MANIFEST_FILE}" @ONLY)
    configure_file("${resourceDir}/${name}.rc.in" "${outDir}/${name}.rc" @ONLY)
    set_source_files_properties("${outDir}/${name}.rc" PROPERTIES
        OBJECT_DEPENDS "${OSTRAWEN_MANIFEST_FILE};${OSTRAWEN_ICON_FILE}")
    set(${outVar} "${outDir}/${name}.rc" PARENT_SCOPE)
endfunction()

# The window's templates (resources/ostrawen.*.in), as the resource tests compile them for each
# processor.
function(ostrawen_configure_windows_resources outDir arch outVar)
    ostrawen_configure_windows_resources_of(ostrawen "${outDir}" ${arch} rc)
    set(${outVar} "${rc}" PARENT_SCOPE)
endfunction()

# Compiles resources/<name>.rc.in (with its manifest) into `target`, for this build's processor.
# The RC language must be enabled first, at file scope.
function(ostrawen_add_windows_resources target name)
    ostrawen_windows_manifest_arch(arch)
    ostrawen_configure_windows_resources_of(${name} "${CMAKE_CURRENT_BINARY_DIR}" ${arch} rc)
    target_sources(${target} PRIVATE "${rc}")
endfunction()
