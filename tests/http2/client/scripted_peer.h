// A scripted HTTP/2 server on loopback for what real servers will not do:
// raw frames written by the test, header blocks coded by libnghttp2's HPACK.
#pragma once

#include <nghttp2/nghttp2.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct RawFrame {
  uint8_t Type = 0;
  uint8_t Flags = 0;
  int32_t Stream = 0;
  std::string Payload;
};

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

namespace h2t {
constexpr uint8_t DATA = 0, HEADERS = 1, PRIORITY = 2, RST_STREAM = 3, SETTINGS = 4, PUSH_PROMISE = 5, PING = 6,
                  GOAWAY = 7, WINDOW_UPDATE = 8, CONTINUATION = 9;
constexpr uint8_t END_STREAM = 1, ACK = 1, END_HEADERS = 4;

inline std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
}
inline uint32_t ReadU32(const std::string& s, size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}
}  // namespace h2t

// One accepted connection, driven by the script on the server's thread.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int aFd) : FFd(aFd) {
    nghttp2_hd_deflate_new(&FDeflater, 4096);
    nghttp2_hd_inflate_new(&FInflater);
  }
  ~ScriptedPeer() {
    nghttp2_hd_deflate_del(FDeflater);
    nghttp2_hd_inflate_del(FInflater);
  }

  // Reads the 24-octet client preface.
  bool ReadPreface(int aTimeoutMs = 5000) {
    if (!Fill(24, aTimeoutMs)) return false;
    const bool ok = FIn.compare(0, 24, "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") == 0;
    FIn.erase(0, 24);
    return ok;
  }
  std::optional<RawFrame> ReadFrame(int aTimeoutMs = 5000) {
    if (!Fill(9, aTimeoutMs)) return std::nullopt;
    const size_t length = (size_t(uint8_t(FIn[0])) << 16) | (size_t(uint8_t(FIn[1])) << 8) | uint8_t(FIn[2]);
    if (!Fill(9 + length, aTimeoutMs)) return std::nullopt;
    RawFrame frame;
    frame.Type = uint8_t(FIn[3]);
    frame.Flags = uint8_t(FIn[4]);
    frame.Stream = int32_t(h2t::ReadU32(FIn, 5) & 0x7fffffff);
    frame.Payload = FIn.substr(9, length);
    FIn.erase(0, 9 + length);
    return frame;
  }
  // The next frame of aType; frames of other types are kept in Skipped.
  std::optional<RawFrame> Expect(uint8_t aType, int aTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    for (;;) {
      const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count());
      if (left <= 0) return std::nullopt;
      auto frame = ReadFrame(left);
      if (!frame) return std::nullopt;
      if (frame->Type == aType) return frame;
      Skipped.push_back(*frame);
    }
  }
  // Reads until the client closes; false when it stays open past the time.
  bool WaitClosed(int aTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[16384];
      const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
      if (n <= 0) return true;
      FIn.append(buf, size_t(n));
    }
    return false;
  }
  // Frames still buffered, parsed (after WaitClosed).
  std::vector<RawFrame> BufferedFrames() {
    std::vector<RawFrame> frames;
    while (FIn.size() >= 9) {
      auto frame = ReadFrame(0);
      if (!frame) break;
      frames.push_back(*frame);
    }
    return frames;
  }

  void Send(uint8_t aType, uint8_t aFlags, int32_t aStream, const std::string& aPayload) {
    std::string out;
    out += char(aPayload.size() >> 16);
    out += char(aPayload.size() >> 8);
    out += char(aPayload.size());
    out += char(aType);
    out += char(aFlags);
    out += h2t::U32(uint32_t(aStream));
    out += aPayload;
    SendRaw(out);
  }
  void SendRaw(const std::string& aBytes) {
    size_t sent = 0;
    while (sent < aBytes.size()) {
      const ssize_t n = ::send(FFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += size_t(n);
    }
  }
  void SendSettings(const std::vector<std::pair<uint16_t, uint32_t>>& aEntries = {}) {
    std::string payload;
    for (auto [id, value] : aEntries) {
      payload += char(id >> 8);
      payload += char(id);
      payload += h2t::U32(value);
    }
    Send(h2t::SETTINGS, 0, 0, payload);
  }
  std::string Block(const HeaderFields& aFields) {
    std::vector<nghttp2_nv> nva;
    for (auto& [name, value] : aFields)
      nva.push_back({(uint8_t*)name.data(), (uint8_t*)value.data(), name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
    std::string block(nghttp2_hd_deflate_bound(FDeflater, nva.data(), nva.size()), '\0');
    const ssize_t n = nghttp2_hd_deflate_hd(FDeflater, (uint8_t*)block.data(), block.size(), nva.data(), nva.size());
    block.resize(n < 0 ? 0 : size_t(n));
    return block;
  }
  void SendHeaders(int32_t aStream, const HeaderFields& aFields, bool aEndStream) {
    Send(h2t::HEADERS, h2t::END_HEADERS | (aEndStream ? h2t::END_STREAM : 0), aStream, Block(aFields));
  }
  void SendAnswer(int32_t aStream, const std::string& aStatus, const std::string& aBody,
                  const HeaderFields& aMore = {}) {
    HeaderFields fields{{":status", aStatus}, {"content-length", std::to_string(aBody.size())}};
    fields.insert(fields.end(), aMore.begin(), aMore.end());
    SendHeaders(aStream, fields, aBody.empty());
    if (!aBody.empty()) Send(h2t::DATA, h2t::END_STREAM, aStream, aBody);
  }
  HeaderFields Decode(const std::string& aBlock) {
    HeaderFields fields;
    const uint8_t* in = (const uint8_t*)aBlock.data();
    size_t left = aBlock.size();
    for (;;) {
      nghttp2_nv nv;
      int flags = 0;
      const ssize_t n = nghttp2_hd_inflate_hd2(FInflater, &nv, &flags, in, left, 1);
      if (n < 0) break;
      in += n;
      left -= size_t(n);
      if (flags & NGHTTP2_HD_INFLATE_EMIT)
        fields.emplace_back(std::string((char*)nv.name, nv.namelen), std::string((char*)nv.value, nv.valuelen));
      if (flags & NGHTTP2_HD_INFLATE_FINAL) {
        nghttp2_hd_inflate_end_headers(FInflater);
        break;
      }
      if (n == 0 && left == 0) break;
    }
    return fields;
  }
  // Reads the client's SETTINGS and acknowledges them after sending ours.
  bool Handshake(const std::vector<std::pair<uint16_t, uint32_t>>& aEntries = {}) {
    if (!ReadPreface()) return false;
    if (!Expect(h2t::SETTINGS)) return false;
    SendSettings(aEntries);
    Send(h2t::SETTINGS, h2t::ACK, 0, "");
    return true;
  }

  std::vector<RawFrame> Skipped;

 private:
  bool Fill(size_t aCount, int aTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    while (FIn.size() < aCount) {
      const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count());
      if (left <= 0) return false;
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) return false;
      char buf[65536];
      const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      FIn.append(buf, size_t(n));
    }
    return true;
  }

  int FFd;
  std::string FIn;
  nghttp2_hd_deflater* FDeflater = nullptr;
  nghttp2_hd_inflater* FInflater = nullptr;
};

// Listens on a free loopback port and runs aScript on the first connection.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(ScriptedPeer&)> aScript) {
    FListen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListen, (sockaddr*)&addr, sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(FListen, (sockaddr*)&addr, &len);
    FPort = ntohs(addr.sin_port);
    ::listen(FListen, 4);
    FThread = std::thread([this, script = std::move(aScript)] {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return;
      const int fd = ::accept(FListen, nullptr, nullptr);
      if (fd < 0) return;
      {
        ScriptedPeer peer(fd);
        script(peer);
      }
      ::close(fd);
    });
  }
  ~ScriptedServer() {
    if (FThread.joinable()) FThread.join();
    ::close(FListen);
  }
  int Port() const { return FPort; }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

 private:
  int FListen = -1;
  int FPort = 0;
  std::thread FThread;
};
