# Version blocks for the Windows programs and DLLs, from the project's version:
#   sorvel_version_resource(TARGET "File description")
# compiles a version block made from resources/VersionInfo.rc.in into TARGET: file and product
# version, product name, publisher, the description, and the file's own name as its original
# file name. A target that carries a resource script of its own must not have a version block in
# it: a file holds one.

set(sorvel_version_rc_template ${CMAKE_CURRENT_LIST_DIR}/../resources/VersionInfo.rc.in)

function(sorvel_version_resource target description)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(sorvel_rc_file_type VFT_APP)
    elseif(type STREQUAL "SHARED_LIBRARY")
        set(sorvel_rc_file_type VFT_DLL)
    else()
        message(FATAL_ERROR "sorvel_version_resource: ${target} is no program or DLL")
    endif()
    set(sorvel_rc_target ${target})
    set(sorvel_rc_description "${description}")
    # First the project's values, then the target's file names, which only the generator knows.
    set(dir ${PROJECT_BINARY_DIR}/generated/version)
    configure_file(${sorvel_version_rc_template} ${dir}/${target}.rc.in @ONLY)
    file(GENERATE OUTPUT ${dir}/${target}.rc INPUT ${dir}/${target}.rc.in)
    target_sources(${target} PRIVATE ${dir}/${target}.rc)
endfunction()
