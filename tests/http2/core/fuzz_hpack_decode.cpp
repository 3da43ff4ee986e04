// Arbitrary octets as a run of header blocks on one decoding context. The
// first octet picks the table limit; 0xFF 0xFE separates blocks. A block that
// decodes is encoded again with our encoder and must decode to the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "http2/core/kfxHTTP2_HPACK.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1) return 0;
  TkfxHTTP2_HPACK decoder, encoder, mirror;
  decoder.SetDynamicTableSizeLimit(aData[0] * 64);
  encoder.SetHuffmanStrategy(static_cast<TkfxHPackHuffmanStrategy>(aData[0] % 3));
  std::vector<uint8_t> input(aData + 1, aData + aSize);
  size_t start = 0;
  for (int blocks = 0; start <= input.size() && blocks < 64; ++blocks) {
    size_t end = start;
    while (end + 1 < input.size() && !(input[end] == 0xFF && input[end + 1] == 0xFE)) ++end;
    if (end + 1 >= input.size()) end = input.size();
    TStringList headers;
    try {
      decoder.Decode(input, static_cast<int>(start), static_cast<int>(end), headers);
    } catch (const Exception&) {
      return 0;  // the connection would end here
    }
    std::vector<TkfxHTTP2_TableEntry> fields;
    for (const std::string& line : headers.Lines()) {
      const size_t eq = line.find('=');
      fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    TIdBytes block;
    int used = 0, count = 0;
    encoder.Encode(block, 0, fields, used, count);
    TStringList again;
    try {
      mirror.Decode(block, 0, used, again);
    } catch (const Exception&) {
      // A decoded name holding "=" splits differently; anything else is a fault.
      bool equalsInName = false;
      for (const std::string& line : headers.Lines()) equalsInName |= line.find('=') == 0;
      if (!equalsInName) abort();
      return 0;
    }
    if (again.Lines() != headers.Lines()) abort();
    start = end + 2;
  }
  return 0;
}
