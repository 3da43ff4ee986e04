// The request log: one JSON object per line and request, e.g.
//   {"conn":1,"stream":1,"headers":[[":method","POST"],...],"body_length":23,
//    "auth":"token","token_hash":"1f2e...","status":200,"reason":"",
//    "apns_id":"...","at_ms":1234}
// "status" 0 means the request was not answered (see "reason").
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/apns-mock/resources.h"

namespace apns_mock {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct LogEntry {
  uint64_t connection = 0;
  int32_t stream = 0;
  const HeaderList* headers = nullptr;
  size_t body_length = 0;
  const std::string* body = nullptr;  // null: the line carries no body
  std::string_view auth;        // "certificate", "token" or "none"
  std::string_view token_hash;  // empty: no token
  int status = 0;
  std::string_view reason;
  std::string_view apns_id;
  int64_t at_ms = 0;  // when the request had arrived, in ms since the server started
};

// Writes lines into a buffer; Flush() hands them to the file. The server
// flushes once per turn of its event loop so a reader sees each line soon.
class RequestLog {
 public:
  // file "-" is standard output. Throws std::runtime_error if it cannot be opened.
  explicit RequestLog(const std::string& file);

  void Write(const LogEntry& entry);
  void Flush();

 private:
  std::unique_ptr<FILE, FreeWith<fclose>> owned_;
  FILE* file_ = nullptr;
  std::string buffer_;
};

}  // namespace apns_mock
