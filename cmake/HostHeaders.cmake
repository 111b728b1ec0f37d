# A headers-only library of the build machine for the Windows build: target (an imported
# interface library) sees the folder /usr/include/<folder> through a folder of its own under the
# build tree, so that no other header of the build machine reaches the cross compiler.
function(sorvel_host_headers target folder)
    set(include ${CMAKE_BINARY_DIR}/host-headers/${folder})
    file(MAKE_DIRECTORY ${include})
    file(CREATE_LINK /usr/include/${folder} ${include}/${folder} SYMBOLIC)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    target_include_directories(${target} INTERFACE ${include})
endfunction()
