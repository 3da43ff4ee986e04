# The request side of the HTTP/2 frame handler: HEADERS and DATA of APNs-like
# requests, CPU time per request.
add_executable(h2_frame_writer_bench ${CMAKE_CURRENT_LIST_DIR}/h2_frame_writer_bench.cpp)
target_link_libraries(h2_frame_writer_bench PRIVATE kfx_http2_core benchmark::benchmark)
