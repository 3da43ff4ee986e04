# The HTTP/2 client component pushing to apns-mock next to h2load against the
# same server: synchronous and queued pushes, and peak memory for 100000
# queued pushes.
if(TARGET apns_test_support AND TARGET apns-mock)
  add_executable(h2_client_bench h2_client_bench.cpp)
  target_link_libraries(h2_client_bench PRIVATE kfx_http2_client apns_test_support Threads::Threads)
  target_compile_definitions(h2_client_bench PRIVATE APNS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(h2_client_bench apns-mock fixtures)
endif()
