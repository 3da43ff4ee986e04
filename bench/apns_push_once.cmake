# One notification as a whole process, apns-push next to curl against the
# same apns-mock (median and p90 wall and CPU time):
#   cmake --build build/release --target apns_push_once_bench
if(TARGET apns-push AND TARGET apns-mock)
  add_custom_target(apns_push_once_bench
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/apns_push_once.sh ${CMAKE_BINARY_DIR}
    DEPENDS apns-push apns-mock fixtures
    USES_TERMINAL)
endif()
