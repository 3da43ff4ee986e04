// A small TCP peer on 127.0.0.1 for the client tests: echoes what it
// receives (or stays silent), and can close or reset its connections and
// stop listening and come back on the same port.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class TEchoPeer {
 public:
  enum class TMode { Echo, Mute };

  explicit TEchoPeer(TMode aMode = TMode::Echo);
  ~TEchoPeer();

  // Listens on aPort (0: a free one) and serves until Stop. False when the
  // port cannot be bound.
  bool Start(uint16_t aPort = 0);
  void Stop();
  uint16_t Port() const { return FPort; }
  int Accepted() const { return FAccepted.load(); }
  int Open();
  // Closes every accepted connection, with a reset when aReset.
  void CloseClients(bool aReset);
  // Waits up to aTimeoutMs until aCount connections were accepted in total.
  bool WaitAccepted(int aCount, int aTimeoutMs = 5000);

 private:
  void Serve();
  void Wake();

  TMode FMode;
  int FListen = -1;
  int FWake = -1;
  uint16_t FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<int> FCloseRequest{0};  // 1 close, 2 reset
  std::atomic<int> FAccepted{0};
  std::mutex FLock;
  std::vector<int> FClients;  // guarded by FLock
};
