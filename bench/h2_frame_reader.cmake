# The HTTP/2 frame reader next to an nghttp2 session reading the same bytes.
add_executable(h2_frame_reader_bench ${CMAKE_CURRENT_LIST_DIR}/h2_frame_reader_bench.cpp)
target_link_libraries(h2_frame_reader_bench PRIVATE kfx_http2_core PkgConfig::NGHTTP2 benchmark::benchmark)
