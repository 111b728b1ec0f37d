# The upload-file format (UploadFormat.h) as a small static library that needs only the platform
# layer: the engine, sorvel-config and the box simulator all read and write upload files through
# it. Included by engine/CMakeLists.txt, and by tools/boxsim when the build has no engine (the
# build machine's tools of a Windows build, SORVEL_HOST_TOOLS).
add_library(sorvel_upload_format STATIC ${CMAKE_CURRENT_LIST_DIR}/UploadFormat.cpp
                                        ${CMAKE_CURRENT_LIST_DIR}/UploadFormatWriter.cpp)
target_include_directories(sorvel_upload_format PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sorvel_upload_format PUBLIC sorvel_platform)
