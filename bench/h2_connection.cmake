# The HTTP/2 client connection over TLS against apns-mock, next to h2load
# against the same server in the same run: one waited push at a time, and
# 100 streams in flight.
if(TARGET apns_test_support)
  add_executable(h2_connection_bench h2_connection_bench.cpp)
  target_link_libraries(h2_connection_bench PRIVATE kfx_http2_connection apns_test_support Threads::Threads)
  foreach(needed apns-mock fixtures)
    if(TARGET ${needed})
      add_dependencies(h2_connection_bench ${needed})
    endif()
  endforeach()
endif()
