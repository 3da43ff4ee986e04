// Small RAII wrappers around libnghttp2, the independent HTTP/2 and HPACK
// implementation the core is checked against.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
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

}  // namespace peer
