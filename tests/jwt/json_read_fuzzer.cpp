// Reads arbitrary octets as a JSON document and writes it again: the reader
// must end on any input, and whatever it keeps must write as valid JSON that
// reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "jwt/kfxJSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  TkfxJSONPtr json = NewJSONDocument();
  json->Read(text);
  const std::string written = json->Text();
  if (!IsValidJSON(written)) std::abort();
  json->Read(written);
  if (json->Text() != written) std::abort();
  // Looking nodes up and reading their values never fails either.
  for (int i = 0; i < json->Count(); ++i) JSONValueText(json->Item(i)->Value());
  return 0;
}
