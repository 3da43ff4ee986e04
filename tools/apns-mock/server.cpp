#include "tools/apns-mock/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tools/apns-mock/json.h"
#include "tools/apns-mock/text.h"

namespace apns_mock {
namespace {

constexpr uint64_t kListenerKey = UINT64_MAX;
constexpr uint64_t kSignalKey = UINT64_MAX - 1;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kWriteChunk = 64 * 1024;
constexpr size_t kMaxPayload = 4096;
constexpr size_t kMaxVoipPayload = 5120;  // apns-push-type: voip
constexpr size_t kMaxHeaderList = 8000;
constexpr size_t kHeaderEntryOverhead = 32;  // per RFC 9113, section 6.5.2
constexpr std::string_view kDevicePath = "/3/device/";
constexpr size_t kMinDeviceTokenDigits = 64;
constexpr size_t kMaxDeviceTokenDigits = 200;
constexpr auto kStopGrace = std::chrono::seconds(1);
constexpr auto kLingerTime = std::chrono::seconds(1);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Descriptors kept free of connections: standard streams, listener, epoll,
// signalfd, log file, and whatever OpenSSL opens.
constexpr size_t kReservedDescriptors = 16;
constexpr uint32_t kHeaderTableSize = 4096;
constexpr uint32_t kInitialWindowSize = 65535;
constexpr uint32_t kMaxFrameSize = 16384;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

bool IsDeviceToken(std::string_view token) {
  return token.size() >= kMinDeviceTokenDigits && token.size() <= kMaxDeviceTokenDigits &&
         token.size() % 2 == 0 && std::all_of(token.begin(), token.end(), IsHexDigit);
}

// 8-4-4-4-12 hex digits, either case.
bool IsUuid(std::string_view id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? id[i] != '-' : !IsHexDigit(id[i])) return false;
  }
  return true;
}

// The token text of "bearer <token>" (scheme in any case); empty if the
// value has another form.
std::string_view BearerToken(std::string_view value) {
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() <= kScheme.size() || Lower(value.substr(0, kScheme.size())) != kScheme)
    return {};
  value.remove_prefix(kScheme.size());
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  return value;
}

int64_t UnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

nghttp2_nv Header(std::string_view name, std::string_view value, uint8_t flags) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
          static_cast<uint8_t>(flags | NGHTTP2_NV_FLAG_NO_COPY_NAME)};
}

enum class AuthKind { kNone, kCertificate, kToken };

std::string_view AuthName(AuthKind kind) {
  switch (kind) {
    case AuthKind::kCertificate:
      return "certificate";
    case AuthKind::kToken:
      return "token";
    case AuthKind::kNone:
      break;
  }
  return "none";
}

}  // namespace

struct Server::Answer {
  int status = 200;
  std::string_view reason;
  int64_t timestamp = -1;  // Unregistered: when the token stopped being valid
  bool close_connection = false;
};

// One request and, once decided, its answer. Lives from the request's
// HEADERS until libnghttp2 closes the stream.
struct Server::Stream {
  int32_t id = 0;
  std::string method;
  std::string path;
  std::string apns_id;
  std::string authorization;
  bool has_topic = false;
  bool voip = false;  // apns-push-type: voip
  bool has_apns_id = false;
  size_t header_list_size = 0;
  HeaderList headers;  // kept only when logging
  size_t body_length = 0;
  std::string request_body;  // kept only for --log-bodies, up to kMaxLoggedBody
  bool complete = false;  // END_STREAM received
  std::chrono::steady_clock::time_point arrived;  // when END_STREAM came

  AuthKind auth = AuthKind::kNone;
  bool token_valid = false;
  std::string token_hash;
  Answer answer;
  bool answered = false;
  std::string response_id;
  std::string body;
  size_t body_sent = 0;
};

struct Server::Connection {
  Server* server = nullptr;
  uint64_t number = 0;
  UniqueFd fd;
  SslPtr ssl;
  Nghttp2SessionPtr session;
  bool established = false;
  bool client_certificate = false;
  std::unordered_map<int32_t, Stream> streams;

  std::string out;  // bytes for SSL_write, from out_offset on
  size_t out_offset = 0;
  uint32_t interest = 0;  // epoll events registered

  // The last token accepted on this connection and what is known of it, so
  // that its checks are not looked up again for every request.
  std::string token;
  TokenFacts token_facts;
  bool stream_limit_raised = false;

  uint32_t requests_received = 0;
  uint32_t requests_answered = 0;
  int32_t highest_answered = 0;     // the highest stream answered so far
  Clock::time_point last_activity;  // last request bytes received or answer submitted
  bool idle_goaway = false;         // GOAWAY IdleTimeout sent; closed at the next deadline
  int32_t goaway_last_stream = -1;  // >= 0 once a GOAWAY was submitted
  bool abort = false;               // close without GOAWAY and close_notify
  bool broken = false;              // peer gone or protocol failure: close now
  bool refused = false;             // handshake failed; the alert is on its way
  bool lingering = false;           // write side shut, reading until the peer closes

  size_t Pending() const { return out.size() - out_offset; }
};

Server::Server(const Options& options, SslCtxPtr tls, TokenVerifier verifier,
               std::unique_ptr<RequestLog> log)
    : options_(options),
      tls_(std::move(tls)),
      verifier_(std::move(verifier)),
      log_(std::move(log)) {
  std::array<uint64_t, 2> seed{};
  if (RAND_bytes(reinterpret_cast<unsigned char*>(seed.data()), sizeof seed) != 1)
    throw std::runtime_error("no random numbers for apns-id values");
  std::seed_seq sequence{seed[0], seed[1]};
  random_.seed(sequence);

  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_option* session_options = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0 || nghttp2_option_new(&session_options) != 0)
    throw std::runtime_error("out of memory");
  callbacks_.reset(callbacks);
  session_options_.reset(session_options);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, OnBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, OnHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnFrameReceived);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnStreamClose);
  // Closed streams are not kept around for the priority tree: per-stream
  // memory ends with the stream.
  nghttp2_option_set_no_closed_streams(session_options, 1);
}

Server::~Server() = default;

uint16_t Server::Listen() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options_.port);
  if (getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("--host: \"" + options_.host + "\" is not a numeric IP address");
  const std::unique_ptr<addrinfo, FreeWith<freeaddrinfo>> addresses(found);

  listener_ = UniqueFd(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener_) throw SystemError("socket");
  const int on = 1;
  setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener_.get(), found->ai_addr, found->ai_addrlen) != 0)
    throw SystemError("cannot listen on " + options_.host + " port " + port);
  if (listen(listener_.get(), SOMAXCONN) != 0) throw SystemError("listen");

  rlimit limit{};
  const rlim_t descriptors = getrlimit(RLIMIT_NOFILE, &limit) != 0 ? 1024
                             : limit.rlim_cur == RLIM_INFINITY    ? rlim_t{1} << 20
                                                                  : limit.rlim_cur;
  max_connections_ =
      descriptors > kReservedDescriptors + 1 ? descriptors - kReservedDescriptors : 1;

  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    throw SystemError("getsockname");
  return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void Server::Run(int signal_fd) {
  epoll_ = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) throw SystemError("epoll_create1");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerKey;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event) != 0)
    throw SystemError("epoll_ctl");
  event.data.u64 = kSignalKey;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, signal_fd, &event) != 0)
    throw SystemError("epoll_ctl");

  std::array<epoll_event, 128> events;
  while (!stopping_ || (!connections_.empty() && Clock::now() < stop_deadline_)) {
    int timeout = -1;
    if (stopping_) timeout = 10;
    auto wake_at = [&](Clock::time_point due) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
      const int ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, INT_MAX));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    for (const auto* queue : {&delayed_, &lingering_})
      if (!queue->empty()) wake_at(queue->front().due);
    if (!deadlines_.empty()) wake_at(deadlines_.top().due);
    if (!accepting_ && !stopping_) wake_at(accept_retry_);
    const int count = epoll_wait(epoll_.get(), events.data(), events.size(), timeout);
    if (count < 0) {
      if (errno == EINTR) continue;
      throw SystemError("epoll_wait");
    }
    for (int i = 0; i < count; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        Accept();
      } else if (key == kSignalKey) {
        signalfd_siginfo info;
        if (read(signal_fd, &info, sizeof info) == sizeof info && !stopping_) BeginStop();
      } else if (const auto it = connections_.find(key); it != connections_.end()) {
        Serve(*it->second, events[i].events);
      }
    }
    RunDueAnswers();
    RunDeadlines();
    while (!lingering_.empty() && lingering_.front().due <= Clock::now()) {
      Close(lingering_.front().connection);
      lingering_.pop_front();
    }
    if (!accepting_ && Clock::now() >= accept_retry_) ResumeAccepting();
    if (log_) log_->Flush();
  }
  connections_.clear();
  if (log_) log_->Flush();
}

void Server::Accept() {
  while (!stopping_ && accepting_) {
    if (connections_.size() >= max_connections_) {
      PauseAccepting();
      return;
    }
    UniqueFd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      // A level-triggered listener with a connection we cannot take stays
      // readable: watching it on would spin.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        PauseAccepting();
      if (errno == ECONNABORTED || errno == EINTR) continue;  // a client that gave up
      return;                                                 // EAGAIN: all taken
    }
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SslPtr ssl(SSL_new(tls_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) continue;
    SSL_set_accept_state(ssl.get());

    auto c = std::make_unique<Connection>();
    c->server = this;
    c->number = ++connection_count_;
    c->fd = std::move(fd);
    c->ssl = std::move(ssl);
    c->interest = EPOLLIN;
    epoll_event event{};
    event.events = c->interest;
    event.data.u64 = c->number;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, c->fd.get(), &event) != 0) continue;
    // A client that never completes its handshake does not hold a slot for long.
    deadlines_.push({Clock::now() + std::chrono::milliseconds(options_.handshake_timeout_ms),
                     c->number, true});
    connections_.emplace(c->number, std::move(c));
  }
}

void Server::PauseAccepting() {
  accept_retry_ = Clock::now() + kAcceptRetry;
  if (!accepting_) return;
  accepting_ = false;
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
}

void Server::ResumeAccepting() {
  if (accepting_ || stopping_ || !listener_ || connections_.size() >= max_connections_) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerKey;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event) != 0) {
    accept_retry_ = Clock::now() + kAcceptRetry;
    return;
  }
  accepting_ = true;
}

// Closes connections whose handshake is overdue, and idle ones after a
// GOAWAY; a connection that was busy meanwhile gets its next check.
void Server::RunDeadlines() {
  const auto now = Clock::now();
  const auto idle_timeout = std::chrono::seconds(options_.idle_timeout_s);
  while (!deadlines_.empty() && deadlines_.top().due <= now) {
    const Deadline item = deadlines_.top();
    deadlines_.pop();
    const auto it = connections_.find(item.connection);
    if (it == connections_.end() || it->second->lingering) continue;
    Connection& c = *it->second;
    if (item.handshake) {
      if (!c.established) Close(c.number);
      continue;  // an established one has its idle checks
    }
    if (c.idle_goaway) {
      Close(c.number);
      continue;
    }
    const auto idle_due = c.last_activity + idle_timeout;
    const bool owes_answer = std::any_of(c.streams.begin(), c.streams.end(), [&](const auto& e) {
      const Stream& s = e.second;
      return s.complete && !s.answered &&
             (c.goaway_last_stream < 0 || s.id <= c.goaway_last_stream);
    });
    if (idle_due > now || owes_answer) {
      deadlines_.push({std::max(idle_due, now + std::chrono::seconds(1)), c.number});
      continue;
    }
    c.idle_goaway = true;
    deadlines_.push({now + kStopGrace, c.number});
    SubmitGoaway(c, nghttp2_session_get_last_proc_stream_id(c.session.get()), "IdleTimeout");
    Serve(c, 0);  // may close it
  }
}

void Server::BeginStop() {
  stopping_ = true;
  stop_deadline_ = Clock::now() + kStopGrace;
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
  listener_.Reset();
  std::vector<uint64_t> numbers;
  for (const auto& [number, c] : connections_) numbers.push_back(number);
  for (const uint64_t number : numbers) {
    Connection& c = *connections_.at(number);
    if (!c.established) {
      Close(number);
      continue;
    }
    SubmitGoaway(c, nghttp2_session_get_last_proc_stream_id(c.session.get()), "Shutdown");
    Serve(c, 0);
  }
}

// Moves a connection forward after an event (or none: events 0 only sends).
// Closes it when it is done or broken.
void Server::Serve(Connection& c, uint32_t events) {
  if (c.lingering) {
    Discard(c);
    return;
  }
  if (!c.established) {
    Handshake(c);
    if (c.refused) {
      Linger(c);
      return;
    }
  } else if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
    Read(c);
  }
  if (c.established && !c.broken) Send(c);
  if (c.broken) {
    Close(c.number);
    return;
  }
  if (c.abort && c.Pending() > 0) {
    // Answers made before the abort still go out (they are in the log as
    // answered); nothing more is read or answered.
    UpdateInterest(c);
    return;
  }
  if (c.abort || Finished(c)) {
    // Closing with the client's later requests unread would make the kernel
    // reset the connection, and a reset throws away answers still on their
    // way: the client would send again what was answered. So the write side
    // is shut (after close_notify when the session ended in order) and the
    // rest of the input is read and dropped until the client closes.
    if (!c.abort) {
      ERR_clear_error();
      SSL_shutdown(c.ssl.get());
      ERR_clear_error();
    }
    Linger(c);
    return;
  }
  UpdateInterest(c);
}

void Server::Handshake(Connection& c) {
  ERR_clear_error();
  const int result = SSL_do_handshake(c.ssl.get());
  if (result != 1) {
    const int error = SSL_get_error(c.ssl.get(), result);
    if (error == SSL_ERROR_WANT_READ) {
      c.interest = EPOLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      c.interest = EPOLLIN | EPOLLOUT;
    } else {
      c.refused = true;  // failed handshake, refused certificate or a port probe
    }
    ERR_clear_error();
    return;
  }
  const unsigned char* protocol = nullptr;
  unsigned int protocol_length = 0;
  SSL_get0_alpn_selected(c.ssl.get(), &protocol, &protocol_length);
  if (protocol_length != 2 || std::memcmp(protocol, "h2", 2) != 0) {
    c.refused = true;  // a client without ALPN; one offering only others got an alert
    return;
  }
  c.client_certificate = SSL_get0_peer_certificate(c.ssl.get()) != nullptr &&
                         SSL_get_verify_result(c.ssl.get()) == X509_V_OK;
  StartSession(c);
  if (!c.broken) Read(c);  // the client preface may already sit in OpenSSL's buffer
}

void Server::StartSession(Connection& c) {
  nghttp2_session* session = nullptr;
  if (nghttp2_session_server_new2(&session, callbacks_.get(), &c, session_options_.get()) != 0) {
    c.broken = true;
    return;
  }
  c.session.reset(session);
  c.established = true;
  c.last_activity = Clock::now();
  deadlines_.push({c.last_activity + std::chrono::seconds(options_.idle_timeout_s), c.number});
  const bool limited = options_.limit_streams_before_auth && !c.client_certificate;
  c.stream_limit_raised = !limited;
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, kHeaderTableSize},
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, limited ? 1 : options_.max_concurrent_streams},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kInitialWindowSize},
      {NGHTTP2_SETTINGS_MAX_FRAME_SIZE, kMaxFrameSize},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, kMaxHeaderList},
  };
  if (nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0)
    c.broken = true;
}

void Server::Read(Connection& c) {
  static std::array<uint8_t, kReadChunk> buffer;
  // While the socket takes no more output, requests are left unread: a
  // client that does not read its answers cannot make us buffer without bound.
  while (!c.broken && !c.abort && c.Pending() == 0) {
    ERR_clear_error();
    const int n = SSL_read(c.ssl.get(), buffer.data(), buffer.size());
    if (n <= 0) {
      const int error = SSL_get_error(c.ssl.get(), n);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) c.broken = true;
      ERR_clear_error();
      return;
    }
    c.last_activity = Clock::now();
    const ssize_t used = nghttp2_session_mem_recv(c.session.get(), buffer.data(), n);
    if (used < 0) {
      // libnghttp2 has queued a GOAWAY for a protocol error: send it, then close.
      Send(c);
      c.broken = true;
      return;
    }
    Send(c);
  }
}

// Moves what libnghttp2 has to send into the TLS connection, as far as the
// socket takes it.
void Server::Send(Connection& c) {
  // A client that has its answer finds the request's log line written.
  if (log_) log_->Flush();
  while (!c.broken) {
    while (c.Pending() < kWriteChunk) {
      const uint8_t* data = nullptr;
      const ssize_t n = nghttp2_session_mem_send(c.session.get(), &data);
      if (n < 0) {
        c.broken = true;
        return;
      }
      if (n == 0) break;
      c.out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
    }
    if (c.Pending() == 0) return;
    ERR_clear_error();
    const int n = SSL_write(c.ssl.get(), c.out.data() + c.out_offset,
                            static_cast<int>(std::min<size_t>(c.Pending(), INT_MAX)));
    if (n <= 0) {
      const int error = SSL_get_error(c.ssl.get(), n);
      if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) c.broken = true;
      ERR_clear_error();
      return;
    }
    c.out_offset += static_cast<size_t>(n);
    if (c.out_offset == c.out.size()) {
      c.out.clear();
      c.out_offset = 0;
    } else if (c.out_offset >= kWriteChunk) {
      c.out.erase(0, c.out_offset);
      c.out_offset = 0;
    }
  }
}

// Closing at once would make the kernel answer the client's next bytes (its
// HTTP/2 preface, sent right after the handshake) with a reset, which can
// destroy our alert before the client reads it. So the write side is shut
// and input is thrown away until the client closes, for a second at most.
void Server::Linger(Connection& c) {
  c.lingering = true;
  ::shutdown(c.fd.get(), SHUT_WR);
  lingering_.push_back({Clock::now() + kLingerTime, c.number, 0});
  c.interest = EPOLLIN;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = c.number;
  epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &event);
  Discard(c);
}

void Server::Discard(Connection& c) {
  static std::array<char, kReadChunk> ignored;
  for (;;) {
    const ssize_t n = ::recv(c.fd.get(), ignored.data(), ignored.size(), 0);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    Close(c.number);  // end of stream or an error
    return;
  }
}

void Server::UpdateInterest(Connection& c) {
  // Established: read, or wait until the socket takes output again.
  // Handshaking: whatever OpenSSL asked for.
  const uint32_t interest = !c.established ? c.interest : c.Pending() > 0 ? EPOLLOUT : EPOLLIN;
  if (interest == c.interest && c.established) return;
  c.interest = interest;
  epoll_event event{};
  event.events = interest;
  event.data.u64 = c.number;
  epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &event);
  // Reading was held back while output waited: OpenSSL may hold records
  // that epoll does not see, so read them now.
  if ((interest & EPOLLIN) && c.established && SSL_pending(c.ssl.get()) > 0) Serve(c, EPOLLIN);
}

bool Server::Finished(const Connection& c) const {
  return c.established && c.Pending() == 0 && !nghttp2_session_want_read(c.session.get()) &&
         !nghttp2_session_want_write(c.session.get());
}

void Server::Close(uint64_t number) {
  const auto it = connections_.find(number);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  // An aborted connection just ends: no GOAWAY, no close_notify.
  if (!c.abort && c.established && !c.broken && !c.lingering) {
    SSL_shutdown(c.ssl.get());  // close_notify, best effort
  }
  ERR_clear_error();
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
  connections_.erase(it);
  ResumeAccepting();
}

void Server::RunDueAnswers() {
  const auto now = Clock::now();
  std::vector<uint64_t> touched;
  while (!delayed_.empty() && delayed_.front().due <= now) {
    const Delayed item = delayed_.front();
    delayed_.pop_front();
    const auto c = connections_.find(item.connection);
    if (c == connections_.end()) continue;
    const auto s = c->second->streams.find(item.stream);
    if (s == c->second->streams.end() || s->second.answered) continue;
    Respond(*c->second, s->second);
    if (touched.empty() || touched.back() != item.connection) touched.push_back(item.connection);
  }
  for (const uint64_t number : touched) {
    if (const auto it = connections_.find(number); it != connections_.end()) Serve(*it->second, 0);
  }
}

void Server::OnRequestComplete(Connection& c, Stream& s) {
  s.complete = true;
  s.arrived = Clock::now();
  if (c.abort) return;
  ++c.requests_received;
  if (options_.close_after != 0 && c.requests_received == options_.close_after) {
    Log(c, s, 0, "ConnectionClosed");
    c.abort = true;
    return;
  }
  if (c.goaway_last_stream >= 0 && s.id > c.goaway_last_stream) return;  // closed by the GOAWAY
  s.answer = Decide(c, s);
  if (options_.delay_ms == 0) {
    Respond(c, s);
  } else {
    delayed_.push_back(
        {Clock::now() + std::chrono::milliseconds(options_.delay_ms), c.number, s.id});
  }
}

// The checks in the order APNs makes them: request line, credentials, then
// the notification itself.
Server::Answer Server::Decide(Connection& c, Stream& s) {
  Answer a;
  auto refuse = [&a](int status, std::string_view reason) {
    a.status = status;
    a.reason = reason;
    return a;
  };
  if (s.method != "POST") return refuse(405, "MethodNotAllowed");
  if (!std::string_view(s.path).starts_with(kDevicePath)) return refuse(404, "BadPath");
  const std::string_view device = std::string_view(s.path).substr(kDevicePath.size());

  if (!s.authorization.empty()) {
    s.auth = AuthKind::kToken;
    const std::string_view token = BearerToken(s.authorization);
    if (token.empty()) return refuse(403, "InvalidProviderToken");
    const bool known = token == c.token;
    const TokenFacts& facts = known ? c.token_facts : verifier_.Examine(token);
    if (log_) s.token_hash = facts.hash;
    switch (TokenVerifier::Judge(facts, UnixSeconds())) {
      case TokenVerdict::kInvalid:
        return refuse(403, "InvalidProviderToken");
      case TokenVerdict::kExpired:
        return refuse(403, "ExpiredProviderToken");
      case TokenVerdict::kValid:
        break;
    }
    // Token updates count per signing key, across all connections: a token
    // that replaces the key's current one too soon is refused, and the key
    // keeps the token it had.
    KeyToken& key = key_tokens_[facts.key_id];
    if (token != key.token) {
      const auto now = Clock::now();
      if (!key.token.empty() &&
          now - key.since < std::chrono::milliseconds(options_.token_update_interval_ms)) {
        a.close_connection = true;
        return refuse(429, "TooManyProviderTokenUpdates");
      }
      key.token.assign(token);
      key.since = now;
    }
    if (!known) {
      c.token_facts = facts;  // copied before c.token changes: facts may be c.token_facts
      c.token.assign(token);
    }
    s.token_valid = true;
  } else if (c.client_certificate) {
    s.auth = AuthKind::kCertificate;
  } else {
    return refuse(403, "MissingProviderToken");
  }

  if (!IsDeviceToken(device)) return refuse(400, "BadDeviceToken");
  if (s.has_apns_id && !IsUuid(s.apns_id)) return refuse(400, "BadMessageId");
  if (!s.has_topic) return refuse(400, "MissingTopic");
  if (s.body_length == 0) return refuse(400, "PayloadEmpty");
  if (s.body_length > (s.voip ? kMaxVoipPayload : kMaxPayload))
    return refuse(413, "PayloadTooLarge");
  if (!options_.failures.empty()) {
    const std::string key = Lower(device);
    const auto it = options_.failures.find(key);
    if (it != options_.failures.end()) {
      const uint32_t seen = ++failure_counts_[key];
      if (it->second.attempts == 0 || seen <= it->second.attempts) {
        switch (it->second.status) {
          case 429:
            return refuse(429, "TooManyRequests");
          case 500:
            return refuse(500, "InternalServerError");
          default:
            return refuse(503, "ServiceUnavailable");
        }
      }
    }
  }
  if (!options_.unregistered.empty()) {
    const auto it = options_.unregistered.find(Lower(device));
    if (it != options_.unregistered.end()) {
      a.timestamp = it->second;
      return refuse(410, "Unregistered");
    }
  }
  return a;
}

void Server::Respond(Connection& c, Stream& s) {
  s.answered = true;
  ++c.requests_answered;
  c.highest_answered = std::max(c.highest_answered, s.id);
  c.last_activity = Clock::now();
  s.response_id = s.has_apns_id && IsUuid(s.apns_id) ? s.apns_id : NewApnsId();
  const Answer& a = s.answer;
  if (a.status != 200) {
    s.body = "{\"reason\":";
    AppendJsonString(s.body, a.reason);
    if (a.timestamp >= 0) {
      s.body += ",\"timestamp\":";
      s.body += std::to_string(a.timestamp);
    }
    s.body += '}';
  }
  char status[4];
  std::snprintf(status, sizeof status, "%03d", a.status);
  const nghttp2_nv headers[] = {
      Header(":status", std::string_view(status, 3), NGHTTP2_NV_FLAG_NONE),
      Header("apns-id", s.response_id, NGHTTP2_NV_FLAG_NONE),
      Header("content-type", "application/json", NGHTTP2_NV_FLAG_NONE),
  };
  nghttp2_data_provider body{};
  body.source.ptr = &s;
  body.read_callback = ReadBody;
  const size_t header_count = s.body.empty() ? 2 : 3;
  if (nghttp2_submit_response(c.session.get(), s.id, headers, header_count,
                              s.body.empty() ? nullptr : &body) != 0) {
    c.broken = true;
    return;
  }
  if (log_) Log(c, s, a.status, a.reason);
  // The GOAWAY's last stream covers every stream answered so far: requests
  // can complete out of stream order, and an answered one above the last
  // stream would be cut off and sent again by the client.
  if (a.close_connection) {
    SubmitGoaway(c, c.highest_answered, a.reason);
  } else if (options_.goaway_after != 0 && c.requests_answered == options_.goaway_after) {
    SubmitGoaway(c, c.highest_answered, "Shutdown");
  }
}

// Streams above last_stream are not processed; libnghttp2 closes them when
// the GOAWAY goes out, and the connection ends when the rest are answered.
void Server::SubmitGoaway(Connection& c, int32_t last_stream, std::string_view reason) {
  if (c.goaway_last_stream >= 0) return;
  c.goaway_last_stream = last_stream;
  std::string debug = "{\"reason\":";
  AppendJsonString(debug, reason);
  debug += '}';
  if (nghttp2_submit_goaway(c.session.get(), NGHTTP2_FLAG_NONE, last_stream, NGHTTP2_NO_ERROR,
                            reinterpret_cast<const uint8_t*>(debug.data()), debug.size()) != 0)
    c.broken = true;
}

void Server::Log(const Connection& c, const Stream& s, int status, std::string_view reason) {
  if (!log_) return;
  LogEntry entry;
  entry.connection = c.number;
  entry.stream = s.id;
  entry.headers = &s.headers;
  entry.body_length = s.body_length;
  if (options_.log_bodies) entry.body = &s.request_body;
  entry.auth = AuthName(s.auth);
  entry.token_hash = s.token_hash;
  entry.status = status;
  entry.reason = reason;
  entry.apns_id = s.response_id;
  const Clock::time_point at = s.complete ? s.arrived : Clock::now();
  entry.at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - started_).count();
  log_->Write(entry);
}

// A random (version 4) UUID in lower case.
std::string Server::NewApnsId() {
  const uint64_t high = (random_() & ~uint64_t{0xF000}) | 0x4000;
  const uint64_t low = (random_() & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id(36, '-');
  size_t pos = 0;
  auto put = [&](uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) id[pos++] = kHex[(value >> (i * 4)) & 0xF];
  };
  put(high >> 32, 8);
  ++pos;
  put(high >> 16, 4);
  ++pos;
  put(high, 4);
  ++pos;
  put(low >> 48, 4);
  ++pos;
  put(low, 12);
  return id;
}

int Server::OnBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  auto& c = *static_cast<Connection*>(user);
  c.streams[frame->hd.stream_id].id = frame->hd.stream_id;
  return 0;
}

int Server::OnHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                     size_t name_length, const uint8_t* value, size_t value_length, uint8_t,
                     void* user) {
  auto& c = *static_cast<Connection*>(user);
  const auto it = c.streams.find(frame->hd.stream_id);
  if (it == c.streams.end()) return 0;  // trailers and other non-request header blocks
  Stream& s = it->second;
  s.header_list_size += name_length + value_length + kHeaderEntryOverhead;
  if (s.header_list_size > kMaxHeaderList) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
  const std::string_view n(reinterpret_cast<const char*>(name), name_length);
  const std::string_view v(reinterpret_cast<const char*>(value), value_length);
  if (n == ":method") {
    s.method = v;
  } else if (n == ":path") {
    s.path = v;
  } else if (n == "authorization") {
    s.authorization = v;
  } else if (n == "apns-topic") {
    s.has_topic = !v.empty();
  } else if (n == "apns-push-type") {
    s.voip = v == "voip";
  } else if (n == "apns-id") {
    s.has_apns_id = true;
    s.apns_id = v;
  }
  if (c.server->log_) s.headers.emplace_back(n, v);
  return 0;
}

int Server::OnDataChunk(nghttp2_session*, uint8_t, int32_t stream_id, const uint8_t* data,
                        size_t length, void* user) {
  auto& c = *static_cast<Connection*>(user);
  if (const auto it = c.streams.find(stream_id); it != c.streams.end()) {
    Stream& s = it->second;
    s.body_length += length;
    if (c.server->log_ && c.server->options_.log_bodies) {
      constexpr size_t kMaxLoggedBody = 65536;
      const size_t keep = std::min(length, kMaxLoggedBody - std::min(kMaxLoggedBody, s.request_body.size()));
      s.request_body.append(reinterpret_cast<const char*>(data), keep);
    }
  }
  return 0;
}

int Server::OnFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user) {
  if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
      !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
    return 0;
  auto& c = *static_cast<Connection*>(user);
  const auto it = c.streams.find(frame->hd.stream_id);
  if (it != c.streams.end() && !it->second.complete) c.server->OnRequestComplete(c, it->second);
  return 0;
}

int Server::OnStreamClose(nghttp2_session* session, int32_t stream_id, uint32_t, void* user) {
  auto& c = *static_cast<Connection*>(user);
  const auto it = c.streams.find(stream_id);
  if (it == c.streams.end()) return 0;
  const Stream& s = it->second;
  if (s.complete && !s.answered && !c.abort)
    c.server->Log(c, s, 0, "NotAnswered");  // reset by the client or beyond a GOAWAY
  // The first answered request with a valid token lifts the one-stream limit.
  if (s.answered && s.token_valid && !c.stream_limit_raised) {
    c.stream_limit_raised = true;
    const nghttp2_settings_entry raise{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS,
                                       c.server->options_.max_concurrent_streams};
    if (nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, &raise, 1) != 0)
      return NGHTTP2_ERR_CALLBACK_FAILURE;
  }
  c.streams.erase(it);
  return 0;
}

ssize_t Server::ReadBody(nghttp2_session*, int32_t, uint8_t* buffer, size_t length, uint32_t* flags,
                         nghttp2_data_source* source, void*) {
  auto& s = *static_cast<Stream*>(source->ptr);
  const size_t n = std::min(length, s.body.size() - s.body_sent);
  std::memcpy(buffer, s.body.data() + s.body_sent, n);
  s.body_sent += n;
  if (s.body_sent == s.body.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

}  // namespace apns_mock
