# Handshake plus 1 MiB through the SChannel session against nginx on loopback,
# next to the same work done by OpenSSL directly on a socket.
add_executable(schannel_bench ${CMAKE_CURRENT_LIST_DIR}/schannel_bench.cpp)
target_link_libraries(schannel_bench PRIVATE kfx_schannel tls_test_support
                      benchmark::benchmark benchmark::benchmark_main)
