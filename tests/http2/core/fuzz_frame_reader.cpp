// Arbitrary octets read by a client frame reader that has opened streams
// 1..99, in pieces cut where the input says: the first octet picks the
// delivery mode and the piece size. Errors end the connection; nothing else may.
#include <cstddef>
#include <cstdint>
#include <span>

#include "http2/core/kfxHTTP2_Frame_Handler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1) return 0;
  TkfxHTTP2_Frame reader;
  reader.SetFrameRole(Th2FrameRole::h2frClientRead);
  reader.MaxConcurrentStreams = aData[0] & 0x80 ? 2 : h2MaxInt32;
  reader.FragmentedData = static_cast<Th2FragmentedData>((aData[0] >> 5) % 3);
  reader.MaxHeaderBlockSize = 1 << 16;
  size_t written = 0, events = 0;
  reader.OnWriteBytes = [&written](TObject*, const TIdBytes& aBytes) { written += aBytes.size(); };
  reader.OnReadStreamResponse = [&events, &reader](TObject*, TkfxHTTP2_StreamResponse* aStream) {
    ++events;
    // Like the connection: a finished answer is released.
    const int32_t id = aStream->StreamIdentifier;
    reader.ReleaseStream(id);
    reader.AddClosedStream(id);
  };
  reader.OnReadStreamResponseFragment = [&events](TObject*, TkfxHTTP2_StreamResponse*, const TIdBytes& aBytes) {
    events += aBytes.size();
  };
  const Th2Methods method = (aData[0] & 1) ? Th2Methods::h2meHead : Th2Methods::h2mePost;
  for (int32_t id = 1; id < 100; id += 2) reader.AddStreamRequest(id, method);
  const size_t piece = (aData[0] & 0x1F) + 1;
  try {
    for (size_t pos = 1; pos < aSize; pos += piece)
      reader.ReadBytes(std::span<const uint8_t>(aData + pos, std::min(piece, aSize - pos)));
  } catch (const Exception&) {
  }
  return written + events > (1u << 31) ? 1 : 0;
}
