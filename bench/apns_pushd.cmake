# apns-pushd taking 100000 notifications through its API onto one APNs
# connection to apns-mock, next to apns-push and h2load:
#   cmake --build build/release --target apns_pushd_bench
if(TARGET apns-pushd AND TARGET apns-push AND TARGET apns-mock)
  add_custom_target(apns_pushd_bench
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/apns_pushd.sh ${CMAKE_BINARY_DIR}
    DEPENDS apns-pushd apns-push apns-mock fixtures
    USES_TERMINAL)
endif()
