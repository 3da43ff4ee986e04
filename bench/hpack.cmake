# HPACK encoding and decoding next to libnghttp2 doing the same work.
add_executable(hpack_bench ${CMAKE_CURRENT_LIST_DIR}/hpack_bench.cpp)
target_link_libraries(hpack_bench PRIVATE kfx_http2_core PkgConfig::NGHTTP2 benchmark::benchmark)
