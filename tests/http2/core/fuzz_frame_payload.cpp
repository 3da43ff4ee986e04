// Arbitrary payloads read into the frame objects: the first octet picks the
// frame type (and the reading role), the second the flags, the third the
// stream identifier; the rest is the payload. Written objects go out again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "http2/core/kfxHTTP2_Frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 3) return 0;
  const Th2FrameRole role = aData[0] & 0x80 ? Th2FrameRole::h2frServerRead : Th2FrameRole::h2frClientRead;
  TkfxHTTP2_HPACK hpack;
  TkfxHTTP2_StreamIdentifierCounter counter(role);
  std::unique_ptr<TkfxHTTP2_Frame_Base> frame;
  switch ((aData[0] & 0x7F) % 10) {
    case 0: frame = std::make_unique<TkfxHTTP2_Frame_Data>(role); break;
    case 1: frame = std::make_unique<TkfxHTTP2_Frame_Headers>(&hpack, &counter, role); break;
    case 2: frame = std::make_unique<TkfxHTTP2_Frame_Priority>(role); break;
    case 3: frame = std::make_unique<TkfxHTTP2_Frame_RSTStream>(role); break;
    case 4: frame = std::make_unique<TkfxHTTP2_Frame_Settings>(role); break;
    case 5: frame = std::make_unique<TkfxHTTP2_Frame_PushPromise>(&hpack, &counter, role); break;
    case 6: frame = std::make_unique<TkfxHTTP2_Frame_Ping>(role); break;
    case 7: frame = std::make_unique<TkfxHTTP2_Frame_GoAway>(role); break;
    case 8: frame = std::make_unique<TkfxHTTP2_Frame_WindowUpdate>(role); break;
    default: frame = std::make_unique<TkfxHTTP2_Frame_Continuation>(role); break;
  }
  size_t written = 0;
  frame->OnWriteBytes = [&written](TObject*, const TIdBytes& aBytes) { written += aBytes.size(); };
  frame->ReadFlags(aData[1]);
  frame->StreamIdentifier = aData[2];
  try {
    frame->ReadPayload(std::span<const uint8_t>(aData + 3, aSize - 3));
    if (auto* data = dynamic_cast<TkfxHTTP2_Frame_Data*>(frame.get())) {
      if (data->SendData(aData[2] * 97) < 0) __builtin_trap();
    } else {
      frame->WriteBytes();
    }
  } catch (const Exception&) {
  }
  return written > (1u << 30) ? 1 : 0;
}
