# platform_memory: the libraries' heap blocks and session memory, behind one table.
if(SUITE_WINDOWS)
  set(platform_memory_os ${CMAKE_CURRENT_LIST_DIR}/memory_windows.cpp)
else()
  set(platform_memory_os ${CMAKE_CURRENT_LIST_DIR}/memory_posix.cpp)
endif()
add_library(platform_memory STATIC ${CMAKE_CURRENT_LIST_DIR}/memory_table.cpp ${platform_memory_os})
set_target_properties(platform_memory PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(platform_memory PUBLIC ${PROJECT_SOURCE_DIR})
