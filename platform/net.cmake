# Sockets for the client library (one source per OS).
if(SUITE_WINDOWS)
  add_library(lumbra_net STATIC ${CMAKE_CURRENT_LIST_DIR}/net_table.cpp ${CMAKE_CURRENT_LIST_DIR}/net_windows.cpp)
  target_link_libraries(lumbra_net PUBLIC wsock32)
else()
  add_library(lumbra_net STATIC ${CMAKE_CURRENT_LIST_DIR}/net_table.cpp ${CMAKE_CURRENT_LIST_DIR}/net_posix.cpp)
endif()
set_target_properties(lumbra_net PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(lumbra_net PUBLIC ${PROJECT_SOURCE_DIR})
