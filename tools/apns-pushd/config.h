// The configuration of apns-pushd: a TOML file read with toml++ and checked
// as a whole before the service starts, so that a mistake stops it with one
// line naming the key instead of failing at the first push.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtl/System.h"
#include "tcp/kfxSocket_Classes.h"
#include "tls/kfxSocket_Classes_TLS.h"

namespace apns_pushd {

// A fault of the configuration: the file, the key and what is wrong.
class EConfigError : public Exception {
 public:
  using Exception::Exception;
};

struct Endpoint {
  std::string Host;
  int Port = 0;
};

struct ProxyConfig {
  bool Enabled = false;
  TwsProxy Type = TwsProxy::pxyHTTP;
  Endpoint Address;
  std::string User, Password;
};

// One app: where its notifications go and how its provider is authenticated.
struct AppConfig {
  std::string Name;
  Endpoint Server;           // sandbox, production or the host and port of a URL
  std::string Topic;         // the default apns-topic
  int Connections = 1;       // APNs connections of this app
  // Token authentication (KeyFile set) or certificate authentication.
  std::string KeyFile, KeyId, TeamId;
  std::string CertFile, CertPassword;  // the password as read from its file or variable
  std::string CAFile;        // trust anchors instead of the system's (a local test server)
  ProxyConfig Proxy;
  TwsTLSIOHandler TLS = TwsTLSIOHandler::iohSChannel;  // tls = "schannel" or "openssl"
  int MaxAttempts = 5;       // sends of one notification before its answer is final
  // The wait before connecting again after APNs refused a provider token
  // update (429 TooManyProviderTokenUpdates): first, doubled up to max.
  int ReconnectBackoffFirstMs = 1000, ReconnectBackoffMaxMs = 30000;
  bool TokenMode() const { return !KeyFile.empty(); }
};

struct Config {
  std::string File;          // where it was read from, for messages
  Endpoint Listen{"127.0.0.1", 8080};
  std::vector<std::string> ApiTokens;  // bearer tokens the API accepts
  std::string Queue = "memory";        // "memory" or "redis://host:port/name"
  size_t QueueMax = 100000;            // notifications queued and not finished
  size_t BodyLimit = 4 << 20;          // octets of one API request body
  size_t BatchMax = 10000;             // notifications in one API request
  int HttpThreads = 8;                 // threads that serve API connections
  int ReadTimeoutMs = 5000;            // an API client that sends nothing this long is dropped
  int WaitTimeoutMs = 60000;           // longest ?wait=1 before the answer says what is pending
  std::string OutcomeFile;             // JSON lines, appended; empty: none
  std::string Webhook;                 // http://host:port/path; empty: none
  size_t WebhookBatch = 500;           // outcomes per webhook POST at most
  int StopTimeoutMs = 10000;           // graceful stop bound
  size_t KeepFinished = 200000;        // finished notifications remembered for GET
  std::vector<AppConfig> Apps;

  const AppConfig* FindApp(const std::string& aName) const;
};

// The configuration of the TOML text aText read from aFile (named in
// messages). Every fault raises EConfigError; secrets never appear in its
// message. Password files and variables are read here.
Config ParseConfig(const std::string& aText, const std::string& aFile);
// The same, read from the file aFile.
Config LoadConfig(const std::string& aFile);

// "host:port" or "[v6]:port"; aWhat names it in messages.
Endpoint ParseEndpoint(const std::string& aText, int aDefaultPort, const std::string& aWhat);

}  // namespace apns_pushd
