// Enumerations of the HTTP/2 protocol core: frame types, the roles a frame
// handler plays, how received DATA is delivered, the reading state and the
// stream states.
#pragma once

#include <array>
#include <cstdint>

enum class Th2FrameType {
  h2ftDATA, h2ftHEADERS, h2ftPRIORITY, h2ftRST_STREAM, h2ftSETTINGS, h2ftPUSH_PROMISE,
  h2ftPING, h2ftGOAWAY, h2ftWINDOW_UPDATE, h2ftCONTINUATION, h2ftUNKNOWN
};
enum class Th2FrameRole { h2frClientRead, h2frClientWrite, h2frServerRead, h2frServerWrite };
enum class Th2FragmentedData { h2fdOnlyBuffer, h2fdOnlyFragmented, h2fdAll };
enum class TkfxHTTP2ReadState { h2rsHeader, h2rsPayload, h2rsHeaderWait, h2rsPayloadWait };
enum class Th2StreamState {
  h2ssIdle, h2ssReservedLocal, h2ssReservedRemote, h2ssOpen, h2ssHalfClosedLocal,
  h2ssHalfClosedRemote, h2ssClosed
};

// Frame flags on the wire.
namespace h2flags {
constexpr uint8_t END_STREAM = 0x1;
constexpr uint8_t ACK = 0x1;
constexpr uint8_t END_HEADERS = 0x4;
constexpr uint8_t PADDED = 0x8;
constexpr uint8_t PRIORITY = 0x20;
}  // namespace h2flags

// Every frame begins with a header of this many octets.
constexpr int h2FrameHeaderLength = 9;
// The largest payload a frame is written with, whatever the peer allows.
constexpr int h2DefaultMaxFrameSize = 16384;
constexpr int32_t h2MaxInt32 = 2147483647;

inline bool IsReadingRole(Th2FrameRole aRole) {
  return aRole == Th2FrameRole::h2frClientRead || aRole == Th2FrameRole::h2frServerRead;
}

extern const std::array<const char*, 5> h2PseudoHeaders;
extern const std::array<const char*, 5> h2ConnectionHeaders;
