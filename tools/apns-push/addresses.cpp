#include "tools/apns-push/addresses.h"

#include "rtl/System.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/text.h"

namespace apns_push {

namespace {

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

}  // namespace

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

}  // namespace apns_push
