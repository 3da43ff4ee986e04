// apns-push: sends notifications from scripts and batches with the library's
// HTTP/2 client, configured the way the provider window configures it.
//
// Everything that can be checked without a server is checked before the first
// connect: options, files, the PKCS#12 password, the .p8 key, the payload, the
// proxy URL and the device tokens. Each problem is one line on stderr and exit
// status 2.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "apns_version.h"
#include "base/kfxBase_Helpers.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/DateTime.h"
#include "rtl/MainThread.h"
#include "rtl/Streams.h"

namespace {

constexpr const char* kSandboxServer = "https://api.sandbox.push.apple.com:443";
constexpr const char* kProductionServer = "https://api.push.apple.com:443";
constexpr size_t kMaxPayload = 4096;

constexpr const char* kUsage = R"(Usage: apns-push [options] [DEVICE_TOKEN...]

Sends one notification to each device token: the tokens given as arguments,
else one per line from --tokens FILE, else from standard input (blank lines
and lines starting with # are skipped).

Authentication (one of):
  --cert FILE.p12          client certificate; its password from --password P,
                           --password-file F or the environment variable
                           APNS_CERT_PASSWORD
  --key AuthKey.p8 --key-id ID --team-id ID
                           provider tokens signed with the key
Server:
  --sandbox                the development server (default)
  --production             the production server
  --url https://HOST:PORT  another server, e.g. a local test server
  --ca FILE                also trust the CA certificates in FILE
  --insecure               do not verify the server's certificate and name
  --tls schannel|openssl   TLS implementation (default schannel)
  --proxy URL              http://[user:pass@]host:port, socks5://...,
                           socks4://..., socks4a://...
Notification:
  --topic T  --push-type T  --priority 1-10  --expiration UNIXTIME
  --collapse-id ID  --apns-id UUID
  --payload JSON | --payload @FILE   (default: standard input)
Output:
  --format json|text       one line per device token (default json)
  --log-file F             the transport log of the library
  --connections N          connections to spread a batch over (default 1);
                           on each, as many in flight as the server allows
  --help, --version

A notification whose connection ended before its answer is reported as
failed and not sent again, since it may have been delivered.

Exit status: 0 all accepted, 1 some not accepted, 2 usage or file error,
3 no connection could be made.
)";

// A problem with the command line or its files: one line on stderr, exit 2.
struct UsageError {
  std::string Message;
};

[[noreturn]] void Fail(const std::string& aMessage) {
  throw UsageError{aMessage};
}

struct Options {
  std::string CertFile, Password, KeyFile, KeyId, TeamId;
  bool HavePassword = false;
  std::string PasswordFile;
  std::string Server = kSandboxServer;
  int ServerChoices = 0;
  std::string CAFile;
  bool Insecure = false;
  TwsTLSIOHandler TLS = TwsTLSIOHandler::iohSChannel;
  std::string Proxy;
  std::string Topic, PushType, Priority, Expiration, CollapseId, ApnsId;
  std::optional<std::string> Payload;
  std::optional<std::string> TokensFile;
  std::vector<std::string> Tokens;
  bool Text = false;
  std::string LogFile;
  int Connections = 1;
  bool Help = false, Version = false;
};

// Options that take a value; the others are switches.
const char* const kValueOptions[] = {
    "--cert",     "--password",   "--password-file", "--key",     "--key-id",  "--team-id",
    "--url",      "--ca",         "--tls",           "--proxy",   "--topic",   "--push-type",
    "--priority", "--expiration", "--collapse-id",   "--apns-id", "--payload", "--tokens",
    "--format",   "--log-file",   "--connections"};
const char* const kSwitches[] = {"--sandbox", "--production", "--insecure", "--help", "--version"};

bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string ReadWholeFile(const std::string& aPath, const std::string& aWhat) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) Fail("cannot read " + aWhat + " " + aPath + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) Fail("cannot read " + aWhat + " " + aPath);
  return text.str();
}

std::string ReadStdin() {
  std::ostringstream text;
  text << std::cin.rdbuf();
  return text.str();
}

void SetValue(Options& o, const std::string& name, const std::string& v) {
  auto need = [&](bool ok, const std::string& what) {
    if (!ok) Fail(name + ": " + what + ", not \"" + v + "\"");
  };
  if (name == "--cert")
    o.CertFile = v;
  else if (name == "--password")
    o.Password = v, o.HavePassword = true;
  else if (name == "--password-file")
    o.PasswordFile = v;
  else if (name == "--key")
    o.KeyFile = v;
  else if (name == "--key-id")
    o.KeyId = v;
  else if (name == "--team-id")
    o.TeamId = v;
  else if (name == "--url")
    o.Server = v, ++o.ServerChoices;
  else if (name == "--ca")
    o.CAFile = v;
  else if (name == "--tls") {
    need(v == "schannel" || v == "openssl", "expected schannel or openssl");
    o.TLS = v == "openssl" ? TwsTLSIOHandler::iohOpenSSL : TwsTLSIOHandler::iohSChannel;
  } else if (name == "--proxy")
    o.Proxy = v;
  else if (name == "--topic")
    o.Topic = v;
  else if (name == "--push-type")
    o.PushType = v;
  else if (name == "--priority") {
    need(IsDigits(v) && v.size() <= 2 && std::stoi(v) >= 1 && std::stoi(v) <= 10,
         "expected a number from 1 to 10");
    o.Priority = v;
  } else if (name == "--expiration") {
    need(IsDigits(v) && v.size() <= 12, "expected a UNIX time in seconds (0: do not store)");
    o.Expiration = v;
  } else if (name == "--collapse-id") {
    need(v.size() <= 64, "at most 64 octets");
    o.CollapseId = v;
  } else if (name == "--apns-id") {
    bool ok = v.size() == 36;
    for (size_t i = 0; ok && i < v.size(); ++i)
      ok = (i == 8 || i == 13 || i == 18 || i == 23) ? v[i] == '-' : IsHex(v[i]);
    need(ok, "expected a UUID like 123e4567-e89b-12d3-a456-4266554400a0");
    o.ApnsId = v;
  } else if (name == "--payload")
    o.Payload = v;
  else if (name == "--tokens")
    o.TokensFile = v;
  else if (name == "--format") {
    need(v == "json" || v == "text", "expected json or text");
    o.Text = v == "text";
  } else if (name == "--log-file")
    o.LogFile = v;
  else if (name == "--connections") {
    need(IsDigits(v) && v.size() <= 4 && std::stoi(v) >= 1 && std::stoi(v) <= 1000,
         "expected a number from 1 to 1000");
    o.Connections = std::stoi(v);
  }
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  bool onlyTokens = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyTokens || arg.size() < 2 || arg[0] != '-') {
      o.Tokens.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyTokens = true;
      continue;
    }
    std::string name = arg, value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    bool isValue = false, isSwitch = false;
    for (const char* n : kValueOptions) isValue |= name == n;
    for (const char* n : kSwitches) isSwitch |= name == n;
    if (isSwitch) {
      if (inlineValue) Fail(name + " takes no value");
      if (name == "--sandbox")
        o.Server = kSandboxServer, ++o.ServerChoices;
      else if (name == "--production")
        o.Server = kProductionServer, ++o.ServerChoices;
      else if (name == "--insecure")
        o.Insecure = true;
      else if (name == "--help")
        o.Help = true;
      else if (name == "--version")
        o.Version = true;
    } else if (isValue) {
      if (!inlineValue) {
        if (i + 1 >= argc) Fail(name + " needs a value");
        value = argv[++i];
      }
      SetValue(o, name, value);
    } else {
      Fail("unknown option " + name + " (see apns-push --help)");
    }
  }
  return o;
}

// ---- payload ------------------------------------------------------------

// A strict reader of one JSON text that keeps the raw text of the top-level
// members of an object.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& aText) : s_(aText) {}

  // Empty when the text is one JSON object; otherwise what is wrong.
  std::string CheckObject() {
    try {
      Space();
      if (p_ >= s_.size() || s_[p_] != '{') return "not a JSON object";
      Value(0);
      Space();
      if (p_ != s_.size()) Error("unexpected text after the object");
    } catch (const std::string& e) {
      return e;
    }
    return "";
  }
  const std::map<std::string, std::string>& Members() const { return members_; }

 private:
  [[noreturn]] void Error(const std::string& what) {
    throw what + " at offset " + std::to_string(p_);
  }
  void Space() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\n' || s_[p_] == '\r'))
      ++p_;
  }
  char Peek() {
    if (p_ >= s_.size()) Error("unexpected end of JSON");
    return s_[p_];
  }
  void Expect(char c) {
    if (Peek() != c) Error(std::string("expected '") + c + "'");
    ++p_;
  }
  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      char c = Peek();
      ++p_;
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Error("control character in a string");
      if (c == '\\') {
        char e = Peek();
        ++p_;
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++p_)
            if (!IsHex(Peek())) Error("bad \\u escape");
        } else if (!std::strchr("\"\\/bfnrt", e)) {
          Error("bad escape");
        }
      }
      out += c;
    }
  }
  void Number() {
    size_t start = p_;
    if (Peek() == '-') ++p_;
    if (Peek() == '0')
      ++p_;
    else if (std::isdigit(static_cast<unsigned char>(Peek())))
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    else
      Error("bad number");
    if (p_ < s_.size() && s_[p_] == '.') {
      ++p_;
      if (!std::isdigit(static_cast<unsigned char>(Peek()))) Error("bad number");
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
      ++p_;
      if (Peek() == '+' || Peek() == '-') ++p_;
      if (!std::isdigit(static_cast<unsigned char>(Peek()))) Error("bad number");
      while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    if (p_ == start) Error("bad number");
  }
  void Value(int depth) {
    if (depth > 64) Error("nested too deeply");
    Space();
    char c = Peek();
    if (c == '{') {
      ++p_;
      Space();
      if (Peek() == '}') {
        ++p_;
        return;
      }
      for (;;) {
        Space();
        std::string name = String();
        Space();
        Expect(':');
        Space();
        size_t start = p_;
        Value(depth + 1);
        if (depth == 0) members_[name] = s_.substr(start, p_ - start);
        Space();
        if (Peek() == ',') {
          ++p_;
          continue;
        }
        Expect('}');
        return;
      }
    } else if (c == '[') {
      ++p_;
      Space();
      if (Peek() == ']') {
        ++p_;
        return;
      }
      for (;;) {
        Value(depth + 1);
        Space();
        if (Peek() == ',') {
          ++p_;
          continue;
        }
        Expect(']');
        return;
      }
    } else if (c == '"') {
      String();
    } else if (s_.compare(p_, 4, "true") == 0 || s_.compare(p_, 4, "null") == 0) {
      p_ += 4;
    } else if (s_.compare(p_, 5, "false") == 0) {
      p_ += 5;
    } else {
      Number();
    }
  }

  const std::string& s_;
  size_t p_ = 0;
  std::map<std::string, std::string> members_;
};

std::string CheckedPayload(std::string aText, const std::string& aSource) {
  // A file or a here-document usually ends with a line break: not part of the payload.
  while (!aText.empty() && (aText.back() == '\n' || aText.back() == '\r')) aText.pop_back();
  if (aText.empty()) Fail("payload (" + aSource + ") is empty");
  if (aText.size() > kMaxPayload)
    Fail("payload (" + aSource + ") is " + std::to_string(aText.size()) +
         " octets; APNs accepts at most 4096");
  JsonChecker checker(aText);
  if (std::string problem = checker.CheckObject(); !problem.empty())
    Fail("payload (" + aSource + ") is not a JSON object: " + problem);
  return aText;
}

// ---- device tokens ------------------------------------------------------

struct DeviceToken {
  std::string Token;
  std::string Where;  // "FILE:LINE" or "argument N", for messages
  bool Malformed = false;
};

bool WellFormedToken(const std::string& t) {
  if (t.size() < 64 || t.size() > 200 || t.size() % 2) return false;
  for (char c : t)
    if (!IsHex(c)) return false;
  return true;
}

// The device tokens one at a time, from the arguments, a file or standard
// input, so a batch of any length is never held in memory whole.
class TokenSource {
 public:
  explicit TokenSource(std::vector<std::string> aArguments) : FArguments(std::move(aArguments)) {}
  // aIn is read line by line; aName names it in messages ("standard input").
  TokenSource(std::istream& aIn, std::string aName) : FIn(&aIn), FName(std::move(aName)) {}

  std::optional<DeviceToken> Next() {
    if (!FIn) {
      if (FLine >= FArguments.size()) return std::nullopt;
      const std::string& token = FArguments[FLine++];
      return DeviceToken{token, "argument " + std::to_string(FLine), !WellFormedToken(token)};
    }
    std::string line;
    while (std::getline(*FIn, line)) {
      ++FLine;
      const size_t b = line.find_first_not_of(" \t\r");
      if (b == std::string::npos || line[b] == '#') continue;
      const size_t e = line.find_last_not_of(" \t\r");
      std::string token = line.substr(b, e - b + 1);
      const bool malformed = !WellFormedToken(token);
      return DeviceToken{std::move(token), FName + ":" + std::to_string(FLine), malformed};
    }
    return std::nullopt;
  }

 private:
  std::vector<std::string> FArguments;
  std::istream* FIn = nullptr;
  std::string FName;
  size_t FLine = 0;  // lines read, or arguments taken
};

// How many device token lines a file has (0 when it cannot be read): for
// the progress line only.
size_t CountTokenLines(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  size_t count = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t b = line.find_first_not_of(" \t\r");
    count += b != std::string::npos && line[b] != '#';
  }
  return count;
}

// ---- credentials and proxy ----------------------------------------------

void CheckPKCS12(const std::string& aFile, const std::string& aPassword) {
  std::string data = ReadWholeFile(aFile, "certificate");
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(data.size()));
  if (!p12) Fail("certificate " + aFile + " is not a PKCS#12 (.p12) file");
  bool ok = PKCS12_verify_mac(p12, aPassword.c_str(), -1) ||
            (aPassword.empty() && PKCS12_verify_mac(p12, nullptr, 0));
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  if (ok) ok = PKCS12_parse(p12, aPassword.c_str(), &key, &cert, nullptr) == 1;
  bool complete = ok && key && cert;
  EVP_PKEY_free(key);
  X509_free(cert);
  PKCS12_free(p12);
  ERR_clear_error();
  if (!ok) Fail("wrong password for certificate " + aFile);
  if (!complete) Fail("certificate " + aFile + " holds no certificate with its private key");
}

void CheckP8Key(const std::string& aFile) {
  std::string data = ReadWholeFile(aFile, "key");
  BIO* bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>(""));
  BIO_free(bio);
  ERR_clear_error();
  if (!key) Fail("key " + aFile + " is not a PEM private key (.p8)");
  bool p256 = false;
  char curve[64] = "";
  if (EVP_PKEY_base_id(key) == EVP_PKEY_EC &&
      EVP_PKEY_get_group_name(key, curve, sizeof curve, nullptr) == 1)
    p256 = std::strcmp(curve, "prime256v1") == 0 || std::strcmp(curve, "P-256") == 0;
  EVP_PKEY_free(key);
  if (!p256) Fail("key " + aFile + " is not an ES256 (P-256) key");
}

void CheckCAFile(const std::string& aFile) {
  std::string data = ReadWholeFile(aFile, "CA file");
  BIO* bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  ERR_clear_error();
  if (!cert) Fail("CA file " + aFile + " holds no PEM certificate");
  X509_free(cert);
}

std::string PercentDecode(const std::string& s, const std::string& aWhat) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !IsHex(s[i + 1]) || !IsHex(s[i + 2]))
      Fail("bad %-escape in the " + aWhat);
    out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

struct HostPort {
  std::string Host;
  int Port = 0;
};

// "host:port" or "[v6]:port"; the port is required when aDefaultPort is 0.
HostPort ParseHostPort(const std::string& s, int aDefaultPort, const std::string& aWhat) {
  HostPort hp;
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    size_t close = s.find(']');
    if (close == std::string::npos) Fail(aWhat + ": missing ] after the IPv6 address");
    hp.Host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
  } else {
    size_t colon = s.rfind(':');
    hp.Host = s.substr(0, colon);
    if (colon != std::string::npos) rest = s.substr(colon);
  }
  if (hp.Host.empty()) Fail(aWhat + ": no host");
  if (rest.empty()) {
    if (!aDefaultPort) Fail(aWhat + ": no port");
    hp.Port = aDefaultPort;
  } else {
    std::string port = rest.substr(1);
    if (rest[0] != ':' || !IsDigits(port) || port.size() > 5 || std::stoi(port) < 1 ||
        std::stoi(port) > 65535)
      Fail(aWhat + ": bad port \"" + rest + "\"");
    hp.Port = std::stoi(port);
  }
  return hp;
}

struct ProxySetting {
  TwsProxy Type = TwsProxy::pxyHTTP;
  HostPort Address;
  std::string User, Password;
};

ProxySetting ParseProxy(const std::string& aURL) {
  const std::string what = "proxy URL \"" + aURL + "\"";
  ProxySetting p;
  size_t sep = aURL.find("://");
  if (sep == std::string::npos) Fail(what + ": expected scheme://host:port");
  std::string scheme = LowerCase(aURL.substr(0, sep));
  if (scheme == "http")
    p.Type = TwsProxy::pxyHTTP;
  else if (scheme == "socks5")
    p.Type = TwsProxy::pxySocks5;
  else if (scheme == "socks4")
    p.Type = TwsProxy::pxySocks4;
  else if (scheme == "socks4a")
    p.Type = TwsProxy::pxySocks4A;
  else
    Fail(what + ": the scheme must be http, socks5, socks4 or socks4a");
  std::string rest = aURL.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos) Fail(what + ": no path is allowed");
  if (size_t at = rest.rfind('@'); at != std::string::npos) {
    std::string user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    size_t colon = user.find(':');
    p.User = PercentDecode(user.substr(0, colon), what);
    if (colon != std::string::npos) p.Password = PercentDecode(user.substr(colon + 1), what);
    if (p.User.empty()) Fail(what + ": empty user name");
  }
  p.Address = ParseHostPort(rest, 0, what);
  return p;
}

// "https://host[:port]" with nothing after it.
HostPort ParseServer(const std::string& aURL) {
  const std::string what = "server URL \"" + aURL + "\"";
  if (LowerCase(aURL.substr(0, 8)) != "https://") Fail(what + ": expected https://host:port");
  std::string rest = aURL.substr(8);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#@") != std::string::npos) Fail(what + ": expected https://host:port");
  return ParseHostPort(rest, 443, what);
}

// ---- output -------------------------------------------------------------

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      out += '\\', out += static_cast<char>(c);
    else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else
      out += static_cast<char>(c);
  }
  return out + "\"";
}

struct Result {
  std::string Token;
  int Status = 0;  // 0: no answer from the server
  std::string Reason;
  bool ReasonIsJson = false;  // Reason is the server's string as written, escapes kept
  std::string ApnsId;
  std::string Timestamp;  // raw JSON number, for 410
  double Millis = 0;
};

// A message of the library on one line: its line breaks become spaces.
std::string OneLine(const std::string& aText) {
  std::string out;
  for (char c : aText) {
    if (c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

void PrintResult(Result r, bool aText) {
  if (!r.ReasonIsJson) r.Reason = OneLine(r.Reason);
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.1f", r.Millis);
  std::string line;
  if (aText) {
    line = r.Token + "  " + (r.Status ? std::to_string(r.Status) : "---") + "  " +
           (r.Status == 200    ? "accepted"
            : r.Reason.empty() ? "rejected"
                               : r.Reason);
    if (!r.ApnsId.empty()) line += "  apns-id " + r.ApnsId;
    if (!r.Timestamp.empty()) line += "  unregistered at " + r.Timestamp;
    line += "  " + std::string(ms) + " ms";
  } else {
    line = "{\"token\":" + JsonString(r.Token) + ",\"status\":" + std::to_string(r.Status) +
           ",\"reason\":" + (r.ReasonIsJson ? "\"" + r.Reason + "\"" : JsonString(r.Reason)) +
           ",\"apns-id\":" + JsonString(r.ApnsId);
    if (!r.Timestamp.empty()) line += ",\"timestamp\":" + r.Timestamp;
    line += ",\"time_ms\":" + std::string(ms) + "}";
  }
  std::cout << line << '\n';
}

// ---- sending ------------------------------------------------------------

// Notifications queued on one connection beyond those in flight are kept
// to this many, so a batch of any size needs the same memory.
constexpr size_t kWindowPerConnection = 3000;
// A connection whose connects fail this many times in a row has its
// notifications given up.
constexpr int kConnectAttempts = 3;
// A batch that gets no outcome at all for this long is given up.
constexpr auto kNoProgressLimit = std::chrono::seconds(60);
constexpr const char* kCutOff =
    "The connection ended before the answer; not sent again (it may have been delivered).";

using Clock = std::chrono::steady_clock;

std::string HeaderValue(TStringList& aHeaders, const std::string& aName) {
  for (int i = 0; i < aHeaders.Count(); ++i) {
    const std::string& line = aHeaders[i];
    size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(line.substr(0, eq), aName)) return line.substr(eq + 1);
  }
  return "";
}

// Status, reason, apns-id and (for 410) the timestamp of an answer.
void ReadAnswer(Result& r, int aStatus, TStringList& aHeaders, const std::string& aBody) {
  r.Status = aStatus;
  r.ApnsId = HeaderValue(aHeaders, "apns-id");
  JsonChecker reply(aBody);
  if (!reply.CheckObject().empty()) return;
  auto reason = reply.Members().find("reason");
  if (reason != reply.Members().end() && reason->second.front() == '"') {
    r.Reason = reason->second.substr(1, reason->second.size() - 2);
    r.ReasonIsJson = true;
  }
  auto ts = reply.Members().find("timestamp");
  if (aStatus == 410 && ts != reply.Members().end()) r.Timestamp = ts->second;
}

// The device token of a request URL or path: what follows the last "/".
std::string TokenOfURL(const std::string& aURL) {
  size_t slash = aURL.rfind('/');
  return slash == std::string::npos ? aURL : aURL.substr(slash + 1);
}

// The outcomes of a batch: which tokens wait for one, the counts, and the
// output, which the client's threads and the main thread share.
class Outcomes {
 public:
  // aTotal: the device tokens in all, 0 when not known.
  Outcomes(bool aText, size_t aTotal, size_t aClients)
      : FText(aText), FTotal(aTotal), FOutstanding(aClients, 0) {}

  // aToken is about to be queued on client aClient.
  void Queued(size_t aClient, const std::string& aToken) {
    std::lock_guard guard(FLock);
    FWaiting[aToken].push_back({aClient, Clock::now()});
    ++FOutstanding[aClient];
    ++FSent;
  }

  // The outcome of a queued token. The first outcome of a token queued on
  // aClient counts; one that arrives after the token got its line (given up
  // meanwhile) is dropped, so no token gets two.
  void Done(size_t aClient, Result r) {
    std::lock_guard guard(FLock);
    auto at = FWaiting.find(r.Token);
    if (at == FWaiting.end()) return;
    auto& list = at->second;
    auto entry = std::find_if(list.begin(), list.end(),
                              [&](const Entry& e) { return e.Client == aClient; });
    if (entry == list.end()) return;
    r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - entry->Start).count();
    list.erase(entry);
    if (list.empty()) FWaiting.erase(at);
    --FOutstanding[aClient];
    Print(r);
    FLastProgress = Clock::now();
    FChanged.notify_all();
  }

  // A token that was never queued (malformed, or no connection to take it).
  void NotSent(Result r) {
    std::lock_guard guard(FLock);
    Print(r);
  }

  // Every token still waiting on aClient gets aReason as its outcome.
  void GiveUp(size_t aClient, const std::string& aReason) {
    std::lock_guard guard(FLock);
    for (auto at = FWaiting.begin(); at != FWaiting.end();) {
      auto& list = at->second;
      for (auto e = list.begin(); e != list.end();) {
        if (e->Client != aClient) {
          ++e;
          continue;
        }
        Result r;
        r.Token = at->first;
        r.Reason = aReason;
        r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - e->Start).count();
        Print(r);
        e = list.erase(e);
        --FOutstanding[aClient];
      }
      at = list.empty() ? FWaiting.erase(at) : std::next(at);
    }
    FChanged.notify_all();
  }

  size_t Outstanding(size_t aClient) {
    std::lock_guard guard(FLock);
    return FOutstanding[aClient];
  }
  size_t Outstanding() {
    std::lock_guard guard(FLock);
    return FWaitingCount();
  }
  Clock::time_point LastProgress() {
    std::lock_guard guard(FLock);
    return FLastProgress;
  }
  // Waits up to aTimeout for an outcome, then writes out what is buffered.
  void Wait(std::chrono::milliseconds aTimeout) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, aTimeout);
    std::fflush(stdout);
  }
  void Progress(Clock::time_point aStart) {
    std::lock_guard guard(FLock);
    const double secs = std::chrono::duration<double>(Clock::now() - aStart).count();
    const size_t done = FAccepted + FRejected + FFailed;
    const double rate = secs > 0 ? done / secs : 0;
    // Tokens from standard input are not counted beforehand: no total then.
    std::string total, left;
    if (FTotal && FTotal >= done) {
      total = "/" + std::to_string(FTotal);
      char text[48];
      std::snprintf(text, sizeof text, ", %.0f s left", rate > 0 ? (FTotal - done) / rate : 0.0);
      left = text;
    }
    std::fprintf(stderr, "\rsent %zu%s, answered %zu, failed %zu, %.0f/s%s ", FSent, total.c_str(),
                 FAccepted + FRejected, FFailed, rate, left.c_str());
  }

  size_t Accepted() const { return FAccepted; }
  size_t Rejected() const { return FRejected; }
  size_t Failed() const { return FFailed; }
  size_t Lines() const { return FAccepted + FRejected + FFailed; }

 private:
  struct Entry {
    size_t Client;
    Clock::time_point Start;
  };
  size_t FWaitingCount() const {
    size_t n = 0;
    for (size_t count : FOutstanding) n += count;
    return n;
  }
  void Print(const Result& r) {
    if (r.Status == 200)
      ++FAccepted;
    else if (r.Status)
      ++FRejected;
    else
      ++FFailed;
    PrintResult(r, FText);
  }

  const bool FText;
  const size_t FTotal;
  std::mutex FLock;
  std::condition_variable FChanged;
  // Tokens queued and waiting for their outcome; a token given twice waits twice.
  std::unordered_map<std::string, std::deque<Entry>> FWaiting;
  std::vector<size_t> FOutstanding;  // per client
  size_t FSent = 0, FAccepted = 0, FRejected = 0, FFailed = 0;
  Clock::time_point FLastProgress = Clock::now();
};

// One client component and its JWT client, configured as the provider
// window configures them, with the state the batch keeps of its connection.
struct Pusher {
  TkfxHTTP2Client* Client = nullptr;  // owned by the batch's owner component
  TkfxHTTP_JWT_Client* JWT = nullptr;
  std::atomic<bool> GivenUp{false};
  std::atomic<bool> Connected{false};  // a connection was made at some time
  // Connects that failed (reported without a connection) since the last
  // one that was made. Only these count towards giving up: a connection
  // that is down while the client makes its next one (after a GOAWAY, say)
  // has not failed, however often the batch happens to look at that moment.
  std::atomic<int> FailedConnects{0};
  std::mutex ErrorLock;
  std::string LastError;  // of a failed connect
  Clock::time_point LastUp = Clock::now();   // last seen connected (main thread)
  Clock::time_point LastTry = Clock::now();  // last connect tried by the batch (main thread)

  std::string Error() {
    std::lock_guard guard(ErrorLock);
    return LastError.empty() ? std::string("Cannot connect to server.") : LastError;
  }
};

// The client and its JWT client as the provider window sets them up, with
// the command line's server, TLS, proxy and notification settings.
void Configure(TkfxHTTP2Client& aClient, TkfxHTTP_JWT_Client& aJWT, const Options& o,
               bool aCertMode, const std::optional<ProxySetting>& aProxy) {
  // Events run on the client's threads; the batch's outcome list is locked.
  aClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  // A server that takes the connection and then says nothing does not stop
  // the batch for long.
  aClient.SetConnectTimeout(10000);
  aClient.TLSOptions().SetIOHandler(o.TLS);
  aClient.TLSOptions().SetVerifyCertificate(!o.Insecure);
  aClient.TLSOptions().SetRootCertFile(o.CAFile);
  if (aProxy) {
    TkfxTCPProxy_Options& p = aClient.Proxy();
    p.SetEnabled(true);
    p.SetProxyType(aProxy->Type);
    p.SetHost(aProxy->Address.Host);
    p.SetPort(aProxy->Address.Port);
    p.SetUsername(aProxy->User);
    p.SetPassword(aProxy->Password);
  }
  if (!o.LogFile.empty()) {
    aClient.LogFile().SetFileName(o.LogFile);
    aClient.LogFile().SetEnabled(true);
  }
  if (aCertMode) {
    aClient.Authentication().Token().SetJWT(nullptr);
    aClient.TLSOptions().SetCertFile(o.CertFile);
    aClient.TLSOptions().SetPassword(o.Password);
    // The OpenSSL handler takes the key from its own file setting; a PKCS#12
    // file holds both.
    if (o.TLS == TwsTLSIOHandler::iohOpenSSL) aClient.TLSOptions().SetKeyFile(o.CertFile);
  } else {
    aClient.TLSOptions().SetCertFile("");
    aClient.Authentication().Token().SetJWT(&aJWT);
    TkfxHTTP_JWT_Client_Options& jwt = aJWT.JWTOptions();
    jwt.Header().alg = TkfxHTTP_JWT_Algorithm::jwtES256;
    jwt.Header().kid = o.KeyId;
    jwt.Payload().iss = o.TeamId;
    jwt.Payload().iat = StrToInt64(UnixTimeText(Now(), false));
    jwt.Algorithms().ES().PrivateKey().LoadFromFile(o.KeyFile);
    jwt.SetRefreshTokenAfter(2400);
  }
  TStringList& headers = aClient.Request().CustomHeaders;
  headers.Clear();
  headers.Add("apns-topic: " + o.Topic);
  if (!o.PushType.empty()) headers.Add("apns-push-type: " + o.PushType);
  if (!o.Priority.empty()) headers.Add("apns-priority: " + o.Priority);
  if (!o.Expiration.empty()) headers.Add("apns-expiration: " + o.Expiration);
  if (!o.CollapseId.empty()) headers.Add("apns-collapse-id: " + o.CollapseId);
  if (!o.ApnsId.empty()) headers.Add("apns-id: " + o.ApnsId);
}

int Run(int argc, char** argv) {
  Options o = ParseArguments(argc, argv);
  if (o.Help) {
    std::cout << kUsage;
    return 0;
  }
  if (o.Version) {
    std::cout << "apns-push " << kApnsVersion << '\n';
    return 0;
  }

  // Authentication.
  const bool certMode = !o.CertFile.empty();
  const bool keyMode = !o.KeyFile.empty() || !o.KeyId.empty() || !o.TeamId.empty();
  if (certMode && keyMode) Fail("--cert and --key/--key-id/--team-id exclude each other");
  if (!certMode && !keyMode)
    Fail("no authentication: give --cert FILE.p12 or --key AuthKey.p8 --key-id ID --team-id ID");
  if (keyMode && (o.KeyFile.empty() || o.KeyId.empty() || o.TeamId.empty()))
    Fail("token authentication needs --key, --key-id and --team-id");
  if (o.HavePassword && !o.PasswordFile.empty())
    Fail("--password and --password-file exclude each other");
  if (!certMode && (o.HavePassword || !o.PasswordFile.empty()))
    Fail("--password and --password-file belong to --cert");
  if (o.ServerChoices > 1) Fail("--sandbox, --production and --url exclude each other");
  if (o.Insecure && !o.CAFile.empty()) Fail("--ca and --insecure exclude each other");
  if (o.Topic.empty()) Fail("--topic is required (the app's bundle ID)");
  if (!o.Payload && o.Tokens.empty() && !o.TokensFile)
    Fail("the payload and the device tokens cannot both come from standard input");
  if (!o.Tokens.empty() && o.TokensFile)
    Fail("device tokens as arguments and --tokens exclude each other");

  const HostPort server = ParseServer(o.Server);
  std::optional<ProxySetting> proxy;
  if (!o.Proxy.empty()) proxy = ParseProxy(o.Proxy);

  if (certMode) {
    if (!o.PasswordFile.empty()) {
      std::string text = ReadWholeFile(o.PasswordFile, "password file");
      o.Password = text.substr(0, text.find_first_of("\r\n"));
    } else if (!o.HavePassword) {
      if (const char* env = std::getenv("APNS_CERT_PASSWORD")) o.Password = env;
    }
    CheckPKCS12(o.CertFile, o.Password);
  } else {
    CheckP8Key(o.KeyFile);
  }
  if (!o.CAFile.empty()) CheckCAFile(o.CAFile);

  std::string payload;
  if (!o.Payload)
    payload = CheckedPayload(ReadStdin(), "standard input");
  else if (!o.Payload->empty() && (*o.Payload)[0] == '@')
    payload =
        CheckedPayload(ReadWholeFile(o.Payload->substr(1), "payload file"), o.Payload->substr(1));
  else
    payload = CheckedPayload(*o.Payload, "--payload");

  std::ifstream tokenFile;
  std::optional<TokenSource> source;
  size_t total = 0;  // device tokens in all, 0 when not known beforehand
  if (!o.Tokens.empty()) {
    source.emplace(o.Tokens);
    total = o.Tokens.size();
  } else if (o.TokensFile) {
    tokenFile.open(*o.TokensFile, std::ios::binary);
    if (!tokenFile)
      Fail("cannot read token file " + *o.TokensFile + ": " + std::strerror(errno));
    source.emplace(tokenFile, *o.TokensFile);
    total = CountTokenLines(*o.TokensFile);
  } else {
    source.emplace(std::cin, "standard input");
  }
  // Read ahead far enough to know whether there is more than one token to
  // send and how many connections are worth making.
  std::deque<DeviceToken> ahead;
  size_t sendable = 0;
  bool moreTokens = true;
  while (sendable <= static_cast<size_t>(o.Connections)) {
    std::optional<DeviceToken> t = source->Next();
    if (!t) {
      moreTokens = false;
      break;
    }
    sendable += t->Malformed ? 0 : 1;
    ahead.push_back(std::move(*t));
  }
  if (ahead.empty()) Fail("no device tokens");
  if (!moreTokens) total = ahead.size();
  // The next device token, or none at the end.
  auto nextToken = [&]() -> std::optional<DeviceToken> {
    if (!ahead.empty()) {
      DeviceToken t = std::move(ahead.front());
      ahead.pop_front();
      return t;
    }
    if (!moreTokens) return std::nullopt;
    std::optional<DeviceToken> t = source->Next();
    if (!t) moreTokens = false;
    return t;
  };

  if (!o.LogFile.empty()) {
    std::ofstream probe(o.LogFile, std::ios::app);
    if (!probe) Fail("cannot write log file " + o.LogFile + ": " + std::strerror(errno));
  }

  // The clients, configured as the provider window configures its one.
  const size_t clientCount = std::max<size_t>(1, std::min<size_t>(o.Connections, sendable));
  std::vector<std::unique_ptr<Pusher>> pushers;
  Outcomes outcomes(o.Text, total, clientCount);
  TComponent owner(nullptr);  // frees the clients first, before what their handlers use
  for (size_t c = 0; c < clientCount; ++c) {
    pushers.push_back(std::make_unique<Pusher>());
    Pusher& p = *pushers.back();
    p.Client = new TkfxHTTP2Client(&owner);
    p.JWT = new TkfxHTTP_JWT_Client(&owner);
    Configure(*p.Client, *p.JWT, o, certMode, proxy);
    p.Client->OnHTTP2Exception = [&p](TObject*, TkfxHTTP2ConnectionClient* Connection,
                                      Exception* E) {
      if (Connection) return;
      {
        std::lock_guard guard(p.ErrorLock);
        p.LastError = E->Message();
      }
      ++p.FailedConnects;
    };
    p.Client->OnHTTP2Connect = [&p](TObject*, TkfxHTTP2ConnectionClient*) {
      p.FailedConnects = 0;
      p.Connected = true;
    };
    p.Client->OnHTTP2Response = [&outcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                               TkfxHTTP2RequestProperty* Request,
                                               TkfxHTTP2ResponseProperty* Response) {
      Result r;
      r.Token = TokenOfURL(Request->URL());
      std::string body;
      if (TMemoryStream* data = Response->Data())
        body.assign(data->Bytes().begin(), data->Bytes().end());
      ReadAnswer(r, Response->Status(), Response->Headers(), body);
      outcomes.Done(c, r);
    };
    p.Client->OnHTTP2RequestFailed = [&outcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                                    TkfxHTTP2RequestProperty* Request,
                                                    const std::string& aReason) {
      Result r;
      r.Token = TokenOfURL(Request->URL());
      r.Reason = aReason;
      outcomes.Done(c, r);
    };
    // At the end of a connection, notifications not sent yet wait for the
    // next one, which the client makes at once. Those sent and not
    // answered may have reached the server (a close can cut off answers
    // already on their way): they get their line here and are not sent
    // again. Those the server did not process (above a GOAWAY's last
    // stream, refused) the client sends again by itself.
    p.Client->OnHTTP2PendingRequests = [&p, &outcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                                          bool& aReconnect, bool& aClear) {
      if (p.GivenUp) return;
      for (TkfxHTTP2_RequestPtr& item : p.Client->RequestsPending().TakeAll()) {
        Result r;
        r.Token = TokenOfURL(item->URL());
        r.Reason = kCutOff;
        outcomes.Done(c, r);
      }
      aReconnect = true;
      aClear = false;
    };
  }

  const bool progress = isatty(STDERR_FILENO) && sendable > 1;
  const auto batchStart = Clock::now();
  const std::string base =
      "https://" +
      (server.Host.find(':') != std::string::npos ? "[" + server.Host + "]" : server.Host) + ":" +
      std::to_string(server.Port) + "/3/device/";
  auto reportMalformed = [&](const DeviceToken& t) {
    std::cerr << "apns-push: " << t.Where << ": malformed device token \"" << t.Token
              << "\" (expected 64 or more hexadecimal digits); not sent\n";
    Result r;
    r.Token = t.Token;
    r.Reason = "MalformedDeviceToken";
    outcomes.NotSent(r);
  };
  TMemoryStream body;
  body.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));

  if (sendable == 1) {
    // One notification: sent and waited for.
    Pusher& p = *pushers[0];
    while (std::optional<DeviceToken> next = nextToken()) {
      const DeviceToken& t = *next;
      if (t.Malformed) {
        reportMalformed(t);
        continue;
      }
      Result r;
      r.Token = t.Token;
      TMemoryStream answer;
      body.SetPosition(0);
      const auto start = Clock::now();
      try {
        p.Client->Post(base + t.Token, &body, answer);
        TkfxHTTP2Response* response = p.Client->Response();
        if (response && response->Status()) {
          std::string text(static_cast<size_t>(answer.Size()), '\0');
          answer.SetPosition(0);
          if (!text.empty()) answer.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
          ReadAnswer(r, response->Status(), response->Headers(), text);
        } else {
          r.Reason = "No answer from the server.";
        }
      } catch (const Exception& E) {
        r.Reason = p.Connected ? E.Message() : p.Error();
      }
      r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      outcomes.NotSent(r);
    }
  } else {
    // Many: queued on each connection, in flight as far as the server
    // allows, with at most kWindowPerConnection waiting per connection.
    for (auto& p : pushers) {
      p->Client->SetHost(server.Host);
      p->Client->SetPort(server.Port);
      p->Client->SetActive(true);
      p->LastUp = Clock::now();
    }
    auto giveUp = [&](size_t c, const std::string& aReason) {
      Pusher& p = *pushers[c];
      p.GivenUp = true;
      // What the client still holds is never sent: its lines are written here.
      p.Client->Requests().TakeAll();
      p.Client->RequestsPending().TakeAll();
      outcomes.GiveUp(c, aReason);
    };
    std::optional<DeviceToken> waiting = nextToken();  // the next to queue
    auto lastProgress = batchStart;
    for (;;) {
      for (; waiting; waiting = nextToken()) {
        const DeviceToken& t = *waiting;
        if (t.Malformed) {
          reportMalformed(t);
          continue;
        }
        size_t best = clientCount, fewest = kWindowPerConnection;
        for (size_t c = 0; c < clientCount; ++c) {
          if (pushers[c]->GivenUp || !pushers[c]->Client->Active()) continue;
          const size_t n = outcomes.Outstanding(c);
          if (n < fewest) best = c, fewest = n;
        }
        if (best == clientCount) break;
        outcomes.Queued(best, t.Token);
        body.SetPosition(0);
        pushers[best]->Client->PostAsync(base + t.Token, &body);
      }
      const bool anyLeft = std::any_of(pushers.begin(), pushers.end(),
                                       [](const auto& p) { return !p->GivenUp; });
      if (!anyLeft) {
        // No connection to take them: the rest get their lines unsent.
        std::string reason = pushers[0]->Error();
        for (; waiting; waiting = nextToken()) {
          if (waiting->Malformed) {
            reportMalformed(*waiting);
            continue;
          }
          Result r;
          r.Token = waiting->Token;
          r.Reason = reason;
          outcomes.NotSent(r);
        }
        break;
      }
      if (!waiting && outcomes.Outstanding() == 0) break;
      const auto now = Clock::now();
      for (size_t c = 0; c < clientCount; ++c) {
        Pusher& p = *pushers[c];
        if (p.GivenUp) continue;
        if (p.Client->Active()) {
          p.LastUp = now;
          continue;
        }
        if (outcomes.Outstanding(c) == 0 && !waiting) continue;
        // The server refused our provider token as too new (429): the
        // client connects again after its own delay, not sooner.
        if (p.Connected && p.Client->ReconnectDelayed()) {
          p.LastUp = now;
          continue;
        }
        if (!p.Connected || p.FailedConnects >= kConnectAttempts) {
          giveUp(c, p.Error());
          continue;
        }
        // The client reconnects by itself when notifications wait; this is
        // for a connection that stays down, or ended with nothing waiting.
        if (now - p.LastUp < std::chrono::milliseconds(200) ||
            now - p.LastTry < std::chrono::seconds(1))
          continue;
        p.Client->SetActive(true);
        p.LastTry = Clock::now();
      }
      if (outcomes.Outstanding() && now - outcomes.LastProgress() > kNoProgressLimit) {
        for (size_t c = 0; c < clientCount; ++c)
          if (!pushers[c]->GivenUp) giveUp(c, "No answer from the server.");
      }
      outcomes.Wait(std::chrono::milliseconds(20));
      CheckSynchronize(0);
      if (progress && now - lastProgress > std::chrono::milliseconds(250)) {
        outcomes.Progress(batchStart);
        lastProgress = now;
      }
    }
  }
  std::cout.flush();
  const double secs = std::chrono::duration<double>(Clock::now() - batchStart).count();
  if (progress) {
    outcomes.Progress(batchStart);
    std::fputs("\n", stderr);
  }
  std::fprintf(stderr,
               "apns-push: %zu device tokens: %zu accepted, %zu rejected, %zu failed in %.2f s\n",
               outcomes.Lines(), outcomes.Accepted(), outcomes.Rejected(), outcomes.Failed(), secs);
  const bool connected = std::any_of(pushers.begin(), pushers.end(),
                                     [](const auto& p) { return p->Connected.load(); });
  if (sendable && !connected && outcomes.Accepted() + outcomes.Rejected() == 0) return 3;
  return outcomes.Accepted() == outcomes.Lines() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "apns-push: " << e.Message << '\n';
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "apns-push: " << e.what() << '\n';
    return 2;
  }
}
