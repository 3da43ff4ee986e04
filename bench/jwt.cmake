# ES256 tokens signed by the JWT client next to EVP_DigestSign on the same key.
add_executable(jwt_bench ${CMAKE_CURRENT_LIST_DIR}/jwt_bench.cpp)
target_link_libraries(jwt_bench PRIVATE kfx_jwt OpenSSL::Crypto benchmark::benchmark)
