// An OAuth client for tests: answers each token request at once, later from
// a thread of its own, with an error, never, or by raising.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jwt/kfxHTTP_OAuth_Client.h"
#include "rtl/System.h"

class TTestOAuthClient : public TkfxHTTPComponentClient_OAuth {
 public:
  enum class TMode { kAtOnce, kLater, kError, kNever, kThrow };

  using TkfxHTTPComponentClient_OAuth::TkfxHTTPComponentClient_OAuth;
  ~TTestOAuthClient() override { Join(); }

  void Start() override {
    const int started = ++Starts;
    switch (Mode) {
      case TMode::kAtOnce:
        Answer();
        break;
      case TMode::kLater: {
        std::lock_guard guard(FLock);
        FThreads.emplace_back([this] {
          std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
          Answer();
        });
        break;
      }
      case TMode::kError:
        DoAuthTokenError("invalid_grant", "The grant has expired.", "");
        break;
      case TMode::kNever:
        break;
      case TMode::kThrow:
        throw Exception("The token endpoint is unreachable (" + std::to_string(started) + ").");
    }
  }
  // Waits for the answers still on their way.
  void Join() {
    std::vector<std::thread> threads;
    {
      std::lock_guard guard(FLock);
      threads.swap(FThreads);
    }
    for (std::thread& thread : threads) thread.join();
  }

  TMode Mode = TMode::kAtOnce;
  int DelayMs = 20;
  // The token of each answer; "tok" and the number of the request by default.
  std::function<std::string()> MakeToken = [this] { return "tok" + std::to_string(Starts.load()); };
  std::atomic<int> Starts{0};

 private:
  void Answer() { DoAuthToken("Bearer", MakeToken(), ""); }

  std::mutex FLock;
  std::vector<std::thread> FThreads;
};
