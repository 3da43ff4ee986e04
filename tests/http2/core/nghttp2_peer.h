// Small RAII wrappers around libnghttp2, the independent HTTP/2 and HPACK
// implementation the core is checked against.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace peer {

using Field = std::pair<std::string, std::string>;
using Fields = std::vector<Field>;

inline std::vector<uint8_t> Hex(const std::string& aText) {
  std::vector<uint8_t> out;
  int nibble = -1;
  for (char c : aText) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (nibble < 0) nibble = v;
    else {
      out.push_back(static_cast<uint8_t>(nibble << 4 | v));
      nibble = -1;
    }
  }
  return out;
}

inline std::vector<nghttp2_nv> ToNv(const Fields& aFields, bool aNoIndex = false) {
  std::vector<nghttp2_nv> nva;
  for (const auto& [n, v] : aFields)
    nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(n.data())),
                   reinterpret_cast<uint8_t*>(const_cast<char*>(v.data())), n.size(), v.size(),
                   static_cast<uint8_t>(aNoIndex ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE)});
  return nva;
}

class Deflater {
 public:
  explicit Deflater(size_t aTableSize = 4096) { nghttp2_hd_deflate_new(&FDeflater, aTableSize); }
  ~Deflater() { nghttp2_hd_deflate_del(FDeflater); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  std::vector<uint8_t> Deflate(const Fields& aFields) {
    auto nva = ToNv(aFields);
    std::vector<uint8_t> out(nghttp2_hd_deflate_bound(FDeflater, nva.data(), nva.size()));
    const ssize_t n = nghttp2_hd_deflate_hd(FDeflater, out.data(), out.size(), nva.data(), nva.size());
    if (n < 0) throw std::runtime_error("nghttp2 deflate failed");
    out.resize(static_cast<size_t>(n));
    return out;
  }
  void ChangeTableSize(size_t aSize) { nghttp2_hd_deflate_change_table_size(FDeflater, aSize); }
  nghttp2_hd_deflater* Get() { return FDeflater; }

 private:
  nghttp2_hd_deflater* FDeflater = nullptr;
};

class Inflater {
 public:
  Inflater() { nghttp2_hd_inflate_new(&FInflater); }
  ~Inflater() { nghttp2_hd_inflate_del(FInflater); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // The fields of one complete block; throws when nghttp2 refuses it.
  Fields Inflate(const std::vector<uint8_t>& aBlock) {
    Fields out;
    const uint8_t* in = aBlock.data();
    size_t left = aBlock.size();
    for (size_t guard = 0; guard <= aBlock.size() + 1; ++guard) {
      nghttp2_nv nv;
      int flags = 0;
      const ssize_t r = nghttp2_hd_inflate_hd2(FInflater, &nv, &flags, in, left, 1);
      if (r < 0) throw std::runtime_error("nghttp2 inflate failed: " + std::to_string(r));
      in += r;
      left -= static_cast<size_t>(r);
      if (flags & NGHTTP2_HD_INFLATE_EMIT)
        out.emplace_back(std::string(reinterpret_cast<char*>(nv.name), nv.namelen),
                         std::string(reinterpret_cast<char*>(nv.value), nv.valuelen));
      if (flags & NGHTTP2_HD_INFLATE_FINAL) {
        nghttp2_hd_inflate_end_headers(FInflater);
        return out;
      }
    }
    throw std::runtime_error("nghttp2 inflate did not finish");
  }
  // The largest table size our side may announce.
  void SetLimit(size_t aSize) { nghttp2_hd_inflate_change_table_size(FInflater, aSize); }
  size_t TableSize() { return nghttp2_hd_inflate_get_dynamic_table_size(FInflater); }

 private:
  nghttp2_hd_inflater* FInflater = nullptr;
};

// An in-memory nghttp2 session (server or client) that records what it
// receives: frame types with their flags, header fields and body octets per
// stream. Feed it with Receive; Send drains what it wants to write.
class Session {
 public:
  struct Frame {
    uint8_t type;
    uint8_t flags;
    int32_t stream;
    size_t length;
  };

  explicit Session(bool aServer, bool aAutoWindowUpdate = true, bool aPadding = false) {
    nghttp2_session_callbacks* cb;
    nghttp2_session_callbacks_new(&cb);
    // Padding: HEADERS and DATA frames get 13 octets more where they fit.
    if (aPadding) nghttp2_session_callbacks_set_select_padding_callback(cb, SelectPadding);
    nghttp2_session_callbacks_set_on_header_callback(cb, OnHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, OnData);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, OnFrame);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, OnClose);
    nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(cb, OnInvalid);
    nghttp2_option* option;
    nghttp2_option_new(&option);
    nghttp2_option_set_no_auto_window_update(option, aAutoWindowUpdate ? 0 : 1);
    if (aServer)
      nghttp2_session_server_new2(&FSession, cb, this, option);
    else
      nghttp2_session_client_new2(&FSession, cb, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(cb);
  }
  ~Session() { nghttp2_session_del(FSession); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Feeds octets; the result of nghttp2_session_mem_recv (negative on error).
  ssize_t Receive(const std::vector<uint8_t>& aBytes) {
    return nghttp2_session_mem_recv(FSession, aBytes.data(), aBytes.size());
  }
  std::vector<uint8_t> Send() {
    std::vector<uint8_t> out;
    const uint8_t* data;
    for (int guard = 0; guard < 100000; ++guard) {
      const ssize_t n = nghttp2_session_mem_send(FSession, &data);
      if (n <= 0) break;
      out.insert(out.end(), data, data + n);
    }
    return out;
  }
  nghttp2_session* Get() { return FSession; }

  std::vector<Frame> frames;
  std::map<int32_t, Fields> headers;
  std::map<int32_t, std::string> bodies;
  std::map<int32_t, uint32_t> closed;  // stream -> error code
  int invalid = 0;

 private:
  static Session* Self(void* aUser) { return static_cast<Session*>(aUser); }
  static ssize_t SelectPadding(nghttp2_session*, const nghttp2_frame* f, size_t aMax, void*) {
    return static_cast<ssize_t>(std::min(aMax, f->hd.length + 13));
  }
  static int OnHeader(nghttp2_session*, const nghttp2_frame* f, const uint8_t* n, size_t nl, const uint8_t* v,
                      size_t vl, uint8_t, void* u) {
    const int32_t stream = f->hd.type == NGHTTP2_PUSH_PROMISE ? f->push_promise.promised_stream_id : f->hd.stream_id;
    Self(u)->headers[stream].emplace_back(std::string(reinterpret_cast<const char*>(n), nl),
                                          std::string(reinterpret_cast<const char*>(v), vl));
    return 0;
  }
  static int OnData(nghttp2_session*, uint8_t, int32_t stream, const uint8_t* d, size_t l, void* u) {
    Self(u)->bodies[stream].append(reinterpret_cast<const char*>(d), l);
    return 0;
  }
  static int OnFrame(nghttp2_session*, const nghttp2_frame* f, void* u) {
    Self(u)->frames.push_back({f->hd.type, f->hd.flags, f->hd.stream_id, f->hd.length});
    return 0;
  }
  static int OnClose(nghttp2_session*, int32_t stream, uint32_t code, void* u) {
    Self(u)->closed[stream] = code;
    return 0;
  }
  static int OnInvalid(nghttp2_session*, const nghttp2_frame*, int, void* u) {
    ++Self(u)->invalid;
    return 0;
  }
  nghttp2_session* FSession = nullptr;
};

inline const std::string kClientPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

}  // namespace peer
