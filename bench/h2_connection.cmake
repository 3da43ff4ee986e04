# The HTTP/2 client connection against nghttpd (cleartext h2) next to h2load
# against the same server: one waited request at a time, and 100 in flight.
if(TARGET apns_mock_harness)
  add_executable(h2_connection_bench h2_connection_bench.cpp)
  target_link_libraries(h2_connection_bench PRIVATE kfx_http2_connection apns_mock_harness Threads::Threads)
  target_include_directories(h2_connection_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools
                             ${CMAKE_SOURCE_DIR}/tests/http2/client_connection)
endif()
