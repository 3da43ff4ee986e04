#include "tools/apns-push/options.h"

#include <string>

#include "tools/apns-push/error.h"
#include "tools/apns-push/text.h"

namespace apns_push {

const char* const kUsage = R"(Usage: apns-push [options] [DEVICE_TOKEN...]

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

namespace {

// Options that take a value; the others are switches.
const char* const kValueOptions[] = {
    "--cert",     "--password",   "--password-file", "--key",     "--key-id",  "--team-id",
    "--url",      "--ca",         "--tls",           "--proxy",   "--topic",   "--push-type",
    "--priority", "--expiration", "--collapse-id",   "--apns-id", "--payload", "--tokens",
    "--format",   "--log-file",   "--connections"};
const char* const kSwitches[] = {"--sandbox", "--production", "--insecure", "--help", "--version"};

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

}  // namespace

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
        o.Server = kAPNsDevelopmentServer, ++o.ServerChoices;
      else if (name == "--production")
        o.Server = kAPNsProductionServer, ++o.ServerChoices;
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

}  // namespace apns_push
