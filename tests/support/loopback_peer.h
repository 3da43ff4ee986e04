// A loopback TCP peer for the transport tests: a listener on 127.0.0.1 or ::1
// (port chosen by the system) whose accept thread runs a script for each
// accepted connection, one after another. Plain POSIX sockets, so the code
// under test talks to a socket nobody in the transport wrote.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace loopback {

inline int CountEntries(const char* aFolder) {
  int count = 0;
  if (DIR* dir = ::opendir(aFolder)) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
  }
  return count;
}
// Open descriptors and threads of this process.
inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }

inline void SendAll(int aFD, const std::string& aData) {
  size_t sent = 0;
  while (sent < aData.size()) {
    const ssize_t n = ::send(aFD, aData.data() + sent, aData.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Reads until aCount bytes, the peer's close or aTimeoutMS of silence.
inline std::string Receive(int aFD, size_t aCount, int aTimeoutMS = 3000) {
  std::string data;
  char buffer[65536];
  while (data.size() < aCount) {
    pollfd item{aFD, POLLIN, 0};
    if (::poll(&item, 1, aTimeoutMS) <= 0) break;
    const ssize_t n = ::recv(aFD, buffer, std::min(sizeof(buffer), aCount - data.size()), 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

// Everything until the peer closes (or aTimeoutMS of silence).
inline std::string ReceiveAll(int aFD, int aTimeoutMS = 3000) {
  return Receive(aFD, static_cast<size_t>(-1), aTimeoutMS);
}

// Closes with a reset instead of a FIN; the descriptor becomes -1.
inline void Reset(int& aFD) {
  linger value{1, 0};
  ::setsockopt(aFD, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  ::close(aFD);
  aFD = -1;
}

class Peer {
 public:
  // The script may close the connection itself (Reset); otherwise it is
  // closed when the script returns.
  using Script = std::function<void(int& aFD)>;

  // aConnections: how many connections the accept thread serves before it ends
  // (each script runs to its end before the next accept).
  explicit Peer(Script aScript, bool aIPv6 = false, int aConnections = 1, int aBacklog = 16)
      : FScript(std::move(aScript)) {
    FListener = ::socket(aIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_storage addr{};
    socklen_t length;
    if (aIPv6) {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = in6addr_loopback;
      length = sizeof(in6);
    } else {
      auto& in = reinterpret_cast<sockaddr_in&>(addr);
      in.sin_family = AF_INET;
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(in);
    }
    if (::bind(FListener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(FListener, aBacklog) != 0)
      throw std::runtime_error("loopback listener: " + std::string(std::strerror(errno)));
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&addr), &length);
    FPort = ntohs(aIPv6 ? reinterpret_cast<sockaddr_in6&>(addr).sin6_port
                        : reinterpret_cast<sockaddr_in&>(addr).sin_port);
    if (FScript) FThread = std::thread([this, aConnections] { Serve(aConnections); });
  }
  ~Peer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    ::close(FListener);
  }
  uint16_t Port() const { return FPort; }
  int Listener() const { return FListener; }
  int Served() const { return FServed.load(); }

 private:
  void Serve(int aConnections) {
    for (int i = 0; i < aConnections && !FStop; ++i) {
      int fd = -1;
      while (!FStop && fd < 0) {
        pollfd item{FListener, POLLIN, 0};
        if (::poll(&item, 1, 50) > 0) fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      }
      if (fd < 0) return;
      FScript(fd);
      if (fd >= 0) ::close(fd);
      ++FServed;
    }
  }

  Script FScript;
  int FListener = -1;
  uint16_t FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<int> FServed{0};
};

}  // namespace loopback
