#include "tools/apns-pushd/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "apns/kfxAPNs_Setup.h"

namespace apns_pushd {

namespace {

[[noreturn]] void Fail(const std::string& aMessage) { throw EConfigError(aMessage); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The keys of one table, each read at most once; Done() refuses the rest
// (a misspelt key is a mistake, not a default).
class Keys {
 public:
  Keys(const toml::table& aTable, std::string aWhere) : FTable(aTable), FWhere(std::move(aWhere)) {}

  const toml::node* Get(const std::string& aKey) {
    FUsed.insert(aKey);
    return FTable.get(aKey);
  }
  std::string Name(const std::string& aKey) const {
    return FWhere.empty() ? aKey : FWhere + "." + aKey;
  }
  std::string String(const std::string& aKey, const std::string& aDefault = "") {
    const toml::node* n = Get(aKey);
    if (!n) return aDefault;
    if (!n->is_string()) Fail(Name(aKey) + ": expected a string");
    return n->as_string()->get();
  }
  int64_t Integer(const std::string& aKey, int64_t aDefault, int64_t aMin, int64_t aMax) {
    const toml::node* n = Get(aKey);
    if (!n) return aDefault;
    if (!n->is_integer()) Fail(Name(aKey) + ": expected a whole number");
    const int64_t v = n->as_integer()->get();
    if (v < aMin || v > aMax)
      Fail(Name(aKey) + ": expected a number from " + std::to_string(aMin) + " to " +
           std::to_string(aMax) + ", got " + std::to_string(v));
    return v;
  }
  std::vector<std::string> Strings(const std::string& aKey) {
    std::vector<std::string> out;
    const toml::node* n = Get(aKey);
    if (!n) return out;
    if (n->is_string()) return {n->as_string()->get()};
    if (!n->is_array()) Fail(Name(aKey) + ": expected a string or a list of strings");
    for (const toml::node& item : *n->as_array()) {
      if (!item.is_string()) Fail(Name(aKey) + ": expected a list of strings");
      out.push_back(item.as_string()->get());
    }
    return out;
  }
  void Done() const {
    for (auto&& [key, value] : FTable) {
      const std::string k(key.str());
      if (!FUsed.count(k)) Fail(Name(k) + ": unknown key");
    }
  }

 private:
  const toml::table& FTable;
  std::string FWhere;
  std::set<std::string> FUsed;
};

std::string ReadSecretFile(const std::string& aPath, const std::string& aWhat) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) Fail(aWhat + ": cannot read " + aPath + ": " + std::strerror(errno));
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void NeedReadable(const std::string& aPath, const std::string& aWhat) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) Fail(aWhat + ": cannot read " + aPath + ": " + std::strerror(errno));
}

std::string PercentDecode(const std::string& s, const std::string& aWhat) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
      Fail(aWhat + ": bad %-escape");
    out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

// The proxy URL's credentials never reach a message.
ProxyConfig ParseProxy(const std::string& aURL, const std::string& aWhat) {
  ProxyConfig p;
  const size_t sep = aURL.find("://");
  if (sep == std::string::npos) Fail(aWhat + ": expected scheme://host:port");
  const std::string scheme = Lower(aURL.substr(0, sep));
  if (scheme == "http")
    p.Type = TwsProxy::pxyHTTP;
  else if (scheme == "socks5")
    p.Type = TwsProxy::pxySocks5;
  else if (scheme == "socks4")
    p.Type = TwsProxy::pxySocks4;
  else if (scheme == "socks4a")
    p.Type = TwsProxy::pxySocks4A;
  else
    Fail(aWhat + ": the scheme must be http, socks5, socks4 or socks4a");
  std::string rest = aURL.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t colon = user.find(':');
    p.User = PercentDecode(user.substr(0, colon), aWhat);
    if (colon != std::string::npos) p.Password = PercentDecode(user.substr(colon + 1), aWhat);
    if (p.User.empty()) Fail(aWhat + ": empty user name");
  }
  if (rest.find_first_of("/?#") != std::string::npos) Fail(aWhat + ": no path is allowed");
  p.Address = ParseEndpoint(rest, 0, aWhat);
  p.Enabled = true;
  return p;
}

Endpoint ParseServer(const std::string& aText, const std::string& aWhat) {
  if (aText == "sandbox" || aText == "production") {
    const std::string url =
        APNsServerURL(aText == "sandbox" ? TkfxAPNsServer::apnsDevelopment : TkfxAPNsServer::apnsProduction);
    return {url.substr(8), 443};
  }
  if (Lower(aText.substr(0, 8)) != "https://")
    Fail(aWhat + ": expected sandbox, production or https://host[:port]");
  std::string rest = aText.substr(8);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#@") != std::string::npos)
    Fail(aWhat + ": expected sandbox, production or https://host[:port]");
  return ParseEndpoint(rest, 443, aWhat);
}

AppConfig ParseApp(const toml::table& aTable, size_t aIndex) {
  AppConfig a;
  const std::string where = "app[" + std::to_string(aIndex) + "].name";
  const toml::node* name = aTable.get("name");
  if (!name || !name->is_string() || name->as_string()->get().empty())
    Fail(where + ": every app needs a name");
  a.Name = name->as_string()->get();
  if (a.Name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
      std::string::npos)
    Fail(where + ": letters, digits, '.', '_' and '-' only");
  Keys k(aTable, "app \"" + a.Name + "\"");
  k.Get("name");
  a.Server = ParseServer(k.String("server", "sandbox"), k.Name("server"));
  a.Topic = k.String("topic");
  a.Connections = static_cast<int>(k.Integer("connections", 1, 1, 64));
  a.MaxAttempts = static_cast<int>(k.Integer("max_attempts", 5, 1, 20));
  a.KeyFile = k.String("key");
  a.KeyId = k.String("key_id");
  a.TeamId = k.String("team_id");
  a.CertFile = k.String("certificate");
  const std::string passwordFile = k.String("password_file");
  const std::string passwordEnv = k.String("password_env");
  a.CAFile = k.String("ca_file");
  const std::string proxy = k.String("proxy");
  const std::string tls = k.String("tls", "schannel");
  a.ReconnectBackoffFirstMs = static_cast<int>(k.Integer("reconnect_backoff_first_ms", 1000, 10, 600000));
  a.ReconnectBackoffMaxMs = static_cast<int>(k.Integer("reconnect_backoff_max_ms", 30000, 10, 600000));
  k.Done();
  if (tls != "schannel" && tls != "openssl") Fail(k.Name("tls") + ": expected \"schannel\" or \"openssl\"");
  if (a.ReconnectBackoffMaxMs < a.ReconnectBackoffFirstMs)
    Fail(k.Name("reconnect_backoff_max_ms") + ": must not be below reconnect_backoff_first_ms");
  a.TLS = tls == "openssl" ? TwsTLSIOHandler::iohOpenSSL : TwsTLSIOHandler::iohSChannel;

  const bool keyMode = !a.KeyFile.empty() || !a.KeyId.empty() || !a.TeamId.empty();
  const bool certMode = !a.CertFile.empty();
  if (keyMode && certMode) Fail(k.Name("certificate") + ": give either key or certificate, not both");
  if (!keyMode && !certMode)
    Fail(k.Name("key") + ": no credentials (key with key_id and team_id, or certificate)");
  if (keyMode && (a.KeyFile.empty() || a.KeyId.empty() || a.TeamId.empty()))
    Fail(k.Name("key") + ": token authentication needs key, key_id and team_id");
  if (!certMode && (!passwordFile.empty() || !passwordEnv.empty()))
    Fail(k.Name("password_file") + ": a password belongs to a certificate");
  if (!passwordFile.empty() && !passwordEnv.empty())
    Fail(k.Name("password_file") + ": give password_file or password_env, not both");
  if (keyMode) NeedReadable(a.KeyFile, k.Name("key"));
  if (certMode) {
    NeedReadable(a.CertFile, k.Name("certificate"));
    if (!passwordFile.empty()) a.CertPassword = ReadSecretFile(passwordFile, k.Name("password_file"));
    if (!passwordEnv.empty()) {
      const char* value = std::getenv(passwordEnv.c_str());
      if (!value) Fail(k.Name("password_env") + ": the variable " + passwordEnv + " is not set");
      a.CertPassword = value;
    }
  }
  if (!a.CAFile.empty()) NeedReadable(a.CAFile, k.Name("ca_file"));
  if (!proxy.empty()) a.Proxy = ParseProxy(proxy, k.Name("proxy"));
  return a;
}

}  // namespace

const AppConfig* Config::FindApp(const std::string& aName) const {
  for (const AppConfig& a : Apps)
    if (a.Name == aName) return &a;
  return nullptr;
}

Endpoint ParseEndpoint(const std::string& s, int aDefaultPort, const std::string& aWhat) {
  Endpoint e;
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    const size_t close = s.find(']');
    if (close == std::string::npos) Fail(aWhat + ": missing ] after the IPv6 address");
    e.Host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
  } else {
    const size_t colon = s.rfind(':');
    e.Host = s.substr(0, colon);
    if (colon != std::string::npos) rest = s.substr(colon);
  }
  if (e.Host.empty()) Fail(aWhat + ": no host");
  if (rest.empty()) {
    if (!aDefaultPort) Fail(aWhat + ": no port");
    e.Port = aDefaultPort;
    return e;
  }
  const std::string port = rest.substr(1);
  if (rest[0] != ':' || !Digits(port) || port.size() > 5 || std::stoi(port) > 65535)
    Fail(aWhat + ": bad port \"" + rest.substr(1) + "\"");
  e.Port = std::stoi(port);
  return e;
}

Config ParseConfig(const std::string& aText, const std::string& aFile) {
  Config c;
  c.File = aFile;
  toml::table root;
  try {
    root = toml::parse(aText, aFile);
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << e.source().begin.line << ":" << e.source().begin.column;
    Fail(aFile + ":" + where.str() + ": " + std::string(e.description()));
  }
  Keys k(root, "");
  c.Listen = ParseEndpoint(k.String("listen", "127.0.0.1:8080"), 0, "listen");
  c.ApiTokens = k.Strings("api_tokens");
  if (const std::string env = k.String("api_tokens_env"); !env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (!value) Fail("api_tokens_env: the variable " + env + " is not set");
    std::string list = value;
    for (size_t at = 0; at <= list.size();) {
      size_t comma = list.find(',', at);
      if (comma == std::string::npos) comma = list.size();
      if (comma > at) c.ApiTokens.push_back(list.substr(at, comma - at));
      at = comma + 1;
    }
  }
  if (c.ApiTokens.empty()) Fail("api_tokens: the API needs at least one bearer token");
  for (const std::string& t : c.ApiTokens)
    if (t.size() < 16 || t.find_first_of(" \t\r\n") != std::string::npos)
      Fail("api_tokens: each token needs 16 or more characters and no white space");
  c.Queue = k.String("queue", "memory");
  if (c.Queue != "memory" && c.Queue.rfind("redis://", 0) != 0)
    Fail("queue: expected \"memory\" or \"redis://host:port/name\"");
  c.QueueMax = static_cast<size_t>(k.Integer("queue_max", 100000, 1, 100000000));
  c.BodyLimit = static_cast<size_t>(k.Integer("body_limit", 4 << 20, 1024, 1 << 30));
  c.BatchMax = static_cast<size_t>(k.Integer("batch_max", 10000, 1, 1000000));
  c.HttpThreads = static_cast<int>(k.Integer("http_threads", 8, 1, 256));
  c.ReadTimeoutMs = static_cast<int>(k.Integer("read_timeout_ms", 5000, 10, 600000));
  c.WaitTimeoutMs = static_cast<int>(k.Integer("wait_timeout_ms", 60000, 10, 3600000));
  c.OutcomeFile = k.String("outcome_file");
  c.Webhook = k.String("webhook");
  if (!c.Webhook.empty() && Lower(c.Webhook.substr(0, 7)) != "http://" &&
      Lower(c.Webhook.substr(0, 8)) != "https://")
    Fail("webhook: expected http://host:port/path or https://host:port/path");
  c.WebhookBatch = static_cast<size_t>(k.Integer("webhook_batch", 500, 1, 100000));
  c.StopTimeoutMs = static_cast<int>(k.Integer("stop_timeout_ms", 10000, 100, 600000));
  c.KeepFinished = static_cast<size_t>(k.Integer("keep_finished", 200000, 0, 100000000));
  const toml::node* apps = k.Get("app");
  k.Done();
  if (!apps || !apps->is_array_of_tables())
    Fail("app: at least one [[app]] table is needed");
  size_t index = 0;
  for (const toml::node& n : *apps->as_array()) {
    c.Apps.push_back(ParseApp(*n.as_table(), index++));
    for (size_t i = 0; i + 1 < c.Apps.size(); ++i)
      if (c.Apps[i].Name == c.Apps.back().Name) Fail("app \"" + c.Apps.back().Name + "\": named twice");
  }
  if (c.Apps.empty()) Fail("app: at least one [[app]] table is needed");
  return c;
}

Config LoadConfig(const std::string& aFile) {
  std::ifstream in(aFile, std::ios::binary);
  if (!in) Fail("cannot read " + aFile + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str(), aFile);
}

}  // namespace apns_pushd
