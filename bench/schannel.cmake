# Handshake plus 1 MiB from nginx on loopback: the SChannel session and
# handler next to OpenSSL on a socket and the OpenSSL handler.
add_executable(schannel_bench ${CMAKE_CURRENT_LIST_DIR}/schannel_bench.cpp)
target_link_libraries(schannel_bench PRIVATE kfx_schannel_io kfx_openssl_io apns_test_support
                      benchmark::benchmark benchmark::benchmark_main)
