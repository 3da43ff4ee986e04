# apns-pushd as one and as three instances over one redis-server, 100000
# notifications through the API onto apns-mock:
#   cmake --build build/release --target apns_pushd_fleet_bench
if(TARGET apns-pushd AND TARGET apns-mock)
  add_custom_target(apns_pushd_fleet_bench
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/apns_pushd_fleet.sh ${CMAKE_BINARY_DIR}
    DEPENDS apns-pushd apns-mock fixtures
    USES_TERMINAL)
endif()
