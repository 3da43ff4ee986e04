// The event loop of apns-mock: one thread, epoll, non-blocking sockets, one
// OpenSSL connection and one libnghttp2 server session per client.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/apns-mock/options.h"
#include "tools/apns-mock/request_log.h"
#include "tools/apns-mock/resources.h"
#include "tools/apns-mock/token_verifier.h"

namespace apns_mock {

class Server {
 public:
  // log may be null (no request log).
  Server(const Options& options, SslCtxPtr tls, TokenVerifier verifier,
         std::unique_ptr<RequestLog> log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; returns the port. Throws std::runtime_error.
  uint16_t Listen();

  // Serves until SIGTERM or SIGINT arrives on signal_fd (a signalfd), then
  // sends GOAWAY to every client, gives open requests up to a second and
  // returns. Throws std::runtime_error when epoll itself fails.
  void Run(int signal_fd);

 private:
  struct Stream;
  struct Connection;
  struct Answer;
  using Clock = std::chrono::steady_clock;
  struct Delayed {
    Clock::time_point due;
    uint64_t connection;
    int32_t stream;
  };
  // A connection's next deadline check: the end of its handshake time, or
  // (once established) an idle check or the close after an idle GOAWAY.
  struct Deadline {
    Clock::time_point due;
    uint64_t connection;
    bool handshake = false;
    bool operator>(const Deadline& other) const { return due > other.due; }
  };

  void Accept();
  void PauseAccepting();
  void ResumeAccepting();
  void RunDeadlines();
  void BeginStop();
  void Serve(Connection& c, uint32_t events);
  void Handshake(Connection& c);
  void StartSession(Connection& c);
  void Read(Connection& c);
  void Send(Connection& c);
  void Linger(Connection& c);
  void Discard(Connection& c);
  void UpdateInterest(Connection& c);
  bool Finished(const Connection& c) const;
  void Close(uint64_t number);
  void RunDueAnswers();

  void OnRequestComplete(Connection& c, Stream& s);
  Answer Decide(Connection& c, Stream& s);
  void Respond(Connection& c, Stream& s);
  void SubmitGoaway(Connection& c, int32_t last_stream, std::string_view reason);
  void Log(const Connection& c, const Stream& s, int status, std::string_view reason);
  std::string NewApnsId();

  // The token in force for one signing key, whichever connection presented
  // it, and when it became the key's token.
  struct KeyToken {
    std::string token;
    Clock::time_point since;
  };

  static int OnBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user);
  static int OnHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                      size_t name_length, const uint8_t* value, size_t value_length, uint8_t flags,
                      void* user);
  static int OnDataChunk(nghttp2_session*, uint8_t flags, int32_t stream_id, const uint8_t* data,
                         size_t length, void* user);
  static int OnFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user);
  static int OnStreamClose(nghttp2_session*, int32_t stream_id, uint32_t error_code, void* user);
  static ssize_t ReadBody(nghttp2_session*, int32_t stream_id, uint8_t* buffer, size_t length,
                          uint32_t* flags, nghttp2_data_source* source, void* user);

  const Options& options_;
  SslCtxPtr tls_;
  TokenVerifier verifier_;
  std::unique_ptr<RequestLog> log_;
  Nghttp2CallbacksPtr callbacks_;
  Nghttp2OptionPtr session_options_;
  UniqueFd listener_;
  UniqueFd epoll_;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::unordered_map<std::string, KeyToken> key_tokens_;  // by "kid"
  // Requests so far for each device token of --fail (lower-case hex).
  std::unordered_map<std::string, uint32_t> failure_counts_;
  const Clock::time_point started_ = Clock::now();
  uint64_t connection_count_ = 0;
  // Both in order of due time: the delay is the same for all.
  std::deque<Delayed> delayed_;
  std::deque<Delayed> lingering_;  // connections being drained, to close at the latest then
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
  // Connections stay below the descriptor limit; at the cap, or when accept
  // runs out of descriptors, the listener is not watched until a connection
  // closes (or, after a failed accept, until a short retry delay has passed).
  size_t max_connections_ = 0;
  bool accepting_ = true;
  Clock::time_point accept_retry_;
  std::mt19937_64 random_;
  bool stopping_ = false;
  Clock::time_point stop_deadline_;
};

}  // namespace apns_mock
