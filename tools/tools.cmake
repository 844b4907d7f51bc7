# The host's project-function record, stood in for: for the tests and a command-line host.
add_library(tessarin_host_api_standin STATIC host_api_standin/host_api_standin.cpp)
target_include_directories(tessarin_host_api_standin PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
