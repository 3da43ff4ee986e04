#include "tests/support/tcp_echo_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

TEchoPeer::TEchoPeer(TMode aMode) : FMode(aMode) {}

TEchoPeer::~TEchoPeer() { Stop(); }

bool TEchoPeer::Start(uint16_t aPort) {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListen < 0) return false;
  int one = 1;
  ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(aPort);
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(FListen, 64) != 0) {
    ::close(FListen);
    FListen = -1;
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
  FPort = ntohs(address.sin_port);
  FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  FStop = false;
  FThread = std::thread([this] { Serve(); });
  return true;
}

void TEchoPeer::Stop() {
  if (!FThread.joinable()) return;
  FStop = true;
  Wake();
  FThread.join();
  for (int fd : FClients) ::close(fd);
  FClients.clear();
  ::close(FListen);
  ::close(FWake);
  FListen = FWake = -1;
}

void TEchoPeer::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(FWake, &one, sizeof one);
}

int TEchoPeer::Open() {
  std::lock_guard guard(FLock);
  return static_cast<int>(FClients.size());
}

void TEchoPeer::CloseClients(bool aReset) {
  FCloseRequest = aReset ? 2 : 1;
  Wake();
  for (int i = 0; i < 5000 && FCloseRequest.load() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool TEchoPeer::WaitAccepted(int aCount, int aTimeoutMs) {
  for (int i = 0; i < aTimeoutMs && FAccepted.load() < aCount; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return FAccepted.load() >= aCount;
}

void TEchoPeer::Serve() {
  std::vector<uint8_t> buffer(65536);
  while (!FStop) {
    std::vector<pollfd> fds{{FListen, POLLIN, 0}, {FWake, POLLIN, 0}};
    {
      std::lock_guard guard(FLock);
      for (int fd : FClients) fds.push_back({fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), 100) < 0) continue;
    if (fds[1].revents) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(FWake, &count, sizeof count);
    }
    if (const int request = FCloseRequest.load()) {
      std::lock_guard guard(FLock);
      for (int fd : FClients) {
        if (request == 2) {
          linger hard{1, 0};
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        ::close(fd);
      }
      FClients.clear();
      FCloseRequest = 0;
      continue;
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        std::lock_guard guard(FLock);
        FClients.push_back(client);
        ++FAccepted;
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        std::lock_guard guard(FLock);
        ::close(fds[i].fd);
        std::erase(FClients, fds[i].fd);
        continue;
      }
      if (FMode == TMode::Echo) {
        ssize_t sent = 0;
        while (sent < n) {
          const ssize_t k = ::send(fds[i].fd, buffer.data() + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
          if (k <= 0) break;
          sent += k;
        }
      }
    }
  }
}
