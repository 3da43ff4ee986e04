#include "http2/core/kfxHTTP2_Types.h"

const std::array<const char*, 5> h2PseudoHeaders = {":method", ":scheme", ":path", ":authority",
                                                    ":status"};
const std::array<const char*, 5> h2ConnectionHeaders = {"connection", "keep-alive", "proxy-connection",
                                                        "transfer-encoding", "upgrade"};
