# platform_system: the reference server's calls for open-file limits, private files and scratch
# files (host builds only).
if(SUITE_HOST)
  add_library(platform_system STATIC ${CMAKE_CURRENT_LIST_DIR}/system_posix.cpp)
  target_include_directories(platform_system PUBLIC ${PROJECT_SOURCE_DIR})
endif()
