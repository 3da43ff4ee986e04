# Queued-write round trips of the TCP client next to a plain blocking socket.
add_executable(tcp_client_bench tcp_client_bench.cpp)
target_link_libraries(tcp_client_bench PRIVATE kfx_tcp_client apns_test_support Threads::Threads)
