# apns-push sending 100000 notifications to apns-mock next to h2load against
# the same server, with apns-push's peak memory:
#   cmake --build build/release --target apns_push_bench
if(TARGET apns-push AND TARGET apns-mock)
  add_custom_target(apns_push_bench
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/apns_push.sh ${CMAKE_BINARY_DIR}
    DEPENDS apns-push apns-mock fixtures
    USES_TERMINAL)
endif()
