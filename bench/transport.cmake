# The transport's receive buffer and loopback throughput through the I/O handler.
add_executable(transport_bench transport_bench.cpp)
target_link_libraries(transport_bench PRIVATE kfx_transport benchmark::benchmark benchmark::benchmark_main)
