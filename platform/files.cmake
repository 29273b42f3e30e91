# platform_files: the file calls of the libraries (open, read, write, close, remove,
# writing a file beside its target and replacing the target atomically), behind a table.
if(SUITE_WINDOWS)
  set(platform_files_os ${CMAKE_CURRENT_LIST_DIR}/files_windows.cpp)
else()
  set(platform_files_os ${CMAKE_CURRENT_LIST_DIR}/files_posix.cpp)
endif()
add_library(platform_files STATIC ${CMAKE_CURRENT_LIST_DIR}/files_table.cpp ${platform_files_os})
target_include_directories(platform_files PUBLIC ${PROJECT_SOURCE_DIR})
