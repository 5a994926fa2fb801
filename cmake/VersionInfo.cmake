# Gives an executable a version resource: the project version, product "Karveth", its own description
# and file name. The resource script is generated into the build folder, one per program.
function(karveth_add_version_info target description)
    set(VERSION_DESCRIPTION "${description}")
    set(VERSION_INTERNAL_NAME "${target}")
    set(VERSION_ORIGINAL_FILENAME "${target}${CMAKE_EXECUTABLE_SUFFIX}")
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}Version.rc")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in" "${script}" @ONLY)
    target_sources(${target} PRIVATE "${script}")
endfunction()
