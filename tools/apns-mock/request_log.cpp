#include "tools/apns-mock/request_log.h"

#include <stdexcept>

#include "tools/apns-mock/json.h"

namespace apns_mock {

RequestLog::RequestLog(const std::string& file) {
  if (file == "-") {
    file_ = stdout;
  } else {
    owned_.reset(std::fopen(file.c_str(), "a"));
    if (!owned_) throw std::runtime_error("cannot open log file \"" + file + "\"");
    file_ = owned_.get();
  }
}

void RequestLog::Write(const LogEntry& entry) {
  std::string& out = buffer_;
  out += "{\"conn\":";
  out += std::to_string(entry.connection);
  out += ",\"stream\":";
  out += std::to_string(entry.stream);
  out += ",\"headers\":[";
  if (entry.headers) {
    bool first = true;
    for (const auto& [name, value] : *entry.headers) {
      if (!first) out += ',';
      first = false;
      out += '[';
      AppendJsonString(out, name);
      out += ',';
      AppendJsonString(out, value);
      out += ']';
    }
  }
  out += "],\"body_length\":";
  out += std::to_string(entry.body_length);
  if (entry.body) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += ",\"body_hex\":\"";
    for (const char c : *entry.body) {
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[static_cast<unsigned char>(c) & 0x0F];
    }
    out += '"';
  }
  out += ",\"auth\":";
  AppendJsonString(out, entry.auth);
  out += ",\"token_hash\":";
  if (entry.token_hash.empty()) {
    out += "null";
  } else {
    AppendJsonString(out, entry.token_hash);
  }
  out += ",\"status\":";
  out += std::to_string(entry.status);
  out += ",\"reason\":";
  AppendJsonString(out, entry.reason);
  out += ",\"apns_id\":";
  AppendJsonString(out, entry.apns_id);
  out += ",\"at_ms\":";
  out += std::to_string(entry.at_ms);
  out += "}\n";
}

void RequestLog::Flush() {
  if (buffer_.empty()) return;
  std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
  std::fflush(file_);
  buffer_.clear();
}

}  // namespace apns_mock
