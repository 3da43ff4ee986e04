#include "tools/apns-push/options.h"

#include <algorithm>
#include <string>

#include "tools/apns-push/error.h"
#include "tools/apns-push/text.h"

namespace apns_push {

const char* const kUsage = R"(Usage: apns-push [options] [DEVICE_TOKEN...]

Sends one notification to each device token: the tokens given as arguments,
else one per line from --tokens FILE, else from standard input (blank lines
and lines starting with # are skipped). With --input, one notification per
JSON line instead, each with its own token and payload.

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
  --payload JSON | --payload @FILE   (default: standard input, unless the
                           options below or --input give the payload)
  --alert TEXT  --title TEXT  --subtitle TEXT  --badge N  --sound NAME
  --content-available  --mutable-content  --category ID  --thread-id ID
  --interruption-level passive|active|time-sensitive|critical
  --relevance-score 0-1    members of the "aps" dictionary, merged into
                           --payload's; --alert is the alert's body once
                           --title or --subtitle is given
  --data KEY=JSON          a member beside "aps" (repeatable), e.g.
                           --data order=42 --data 'link="https://..."'
Payloads are at most 4096 octets (5120 with --push-type voip).
Input:
  --tokens FILE            device tokens, one per line
  --input FILE|-           JSON lines, read as they are sent:
                           {"token":"...","payload":{...}} and optionally
                           "topic", "push-type", "priority", "expiration",
                           "collapse-id", "apns-id" for that line; a line
                           without "payload" sends the command line's. A
                           bad line gets its own output line and the rest
                           go on.
  --skip-done FILE         skip the device tokens that an earlier run's
                           output FILE shows accepted or refused by APNs
                           (not those that failed or got 429/500/503)
Sending:
  --connections N          connections to spread a batch over (default 1);
                           on each, as many in flight as the server allows
  --rate N                 at most N notifications per second over all
                           connections, evenly spaced
  --retries N              send again after 429 TooManyRequests, 500
                           InternalServerError or 503 ServiceUnavailable,
                           at most N times (default 3, 0: never), after a
                           back-off from 0.2 s doubling up to 10 s, with
                           jitter; other answers are final
  --resend-unanswered      send again (within --retries) a notification
                           whose connection ended before its answer: it
                           arrives at least once, maybe twice
Output:
  --format json|text       one line per device token (default json), for
                           its final outcome, with the number of attempts
  --summary-json FILE      the summary (counts by status and reason,
                           throughput, answer-time percentiles) as JSON
  --log-file F             the transport log of the library
  --help, --version
The summary is written on stderr; on a terminal a progress line too.

Without --resend-unanswered, a notification whose connection ended before
its answer is reported as failed and not sent again, since it may have been
delivered.

SIGINT or SIGTERM stops reading, waits up to 10 s for the answers in flight
(a second signal: not at all), writes every line and the summary; what was
read and not sent gets a line saying so. Run again with --skip-done on the
output to send the rest.

Exit status: 0 all accepted, 1 some not accepted, 2 usage or file error,
3 no connection could be made, 130 interrupted by SIGINT, 143 by SIGTERM.
)";

std::string HeaderProblem(const std::string& aName, const std::string& v) {
  if (aName == "priority") {
    if (!(IsDigits(v) && v.size() <= 2 && std::stoi(v) >= 1 && std::stoi(v) <= 10))
      return "expected a number from 1 to 10";
  } else if (aName == "expiration") {
    if (!(IsDigits(v) && v.size() <= 12)) return "expected a UNIX time in seconds (0: do not store)";
  } else if (aName == "collapse-id") {
    if (v.size() > 64) return "at most 64 octets";
  } else if (aName == "apns-id") {
    bool ok = v.size() == 36;
    for (size_t i = 0; ok && i < v.size(); ++i)
      ok = (i == 8 || i == 13 || i == 18 || i == 23) ? v[i] == '-' : IsHex(v[i]);
    if (!ok) return "expected a UUID like 123e4567-e89b-12d3-a456-4266554400a0";
  }
  return "";
}

namespace {

// Options that take a value; the others are switches.
const char* const kValueOptions[] = {
    "--cert",     "--password",   "--password-file", "--key",     "--key-id",  "--team-id",
    "--url",      "--ca",         "--tls",           "--proxy",   "--topic",   "--push-type",
    "--priority", "--expiration", "--collapse-id",   "--apns-id", "--payload", "--tokens",
    "--format",   "--log-file",   "--connections",   "--alert",   "--title",   "--subtitle",
    "--badge",    "--sound",      "--category",      "--thread-id", "--interruption-level",
    "--relevance-score", "--data", "--input",        "--skip-done", "--retries", "--rate",
    "--summary-json"};
const char* const kSwitches[] = {"--sandbox",           "--production",      "--insecure",
                                 "--help",              "--version",         "--content-available",
                                 "--mutable-content",   "--resend-unanswered"};

// A number of decimal digits (and at most one point) within [aMin, aMax].
bool Number(const std::string& v, double aMin, double aMax, double& aOut) {
  if (v.empty() || v.size() > 16 || v.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(v.begin(), v.end(), '.') > 1 || v.front() == '.' || v.back() == '.')
    return false;
  aOut = std::stod(v);
  return aOut >= aMin && aOut <= aMax;
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
  else if (name == "--alert")
    o.Built.Alert = v;
  else if (name == "--title")
    o.Built.Title = v;
  else if (name == "--subtitle")
    o.Built.Subtitle = v;
  else if (name == "--sound")
    o.Built.Sound = v;
  else if (name == "--category")
    o.Built.Category = v;
  else if (name == "--thread-id")
    o.Built.ThreadId = v;
  else if (name == "--badge") {
    need(IsDigits(v) && v.size() <= 9, "expected a whole number from 0");
    o.Built.Badge = std::stoi(v);
  } else if (name == "--interruption-level") {
    need(v == "passive" || v == "active" || v == "time-sensitive" || v == "critical",
         "expected passive, active, time-sensitive or critical");
    o.Built.InterruptionLevel = v;
  } else if (name == "--relevance-score") {
    double score = 0;
    need(Number(v, 0, 1, score), "expected a number from 0 to 1");
    o.Built.RelevanceScore = score;
  } else if (name == "--data")
    o.Built.Data.push_back(ParseDataOption(v));
  else if (name == "--input") {
    need(!v.empty(), "expected a file name or -");
    o.InputFile = v;
  } else if (name == "--skip-done")
    o.SkipDone = v;
  else if (name == "--summary-json")
    o.SummaryJSON = v;
  else if (name == "--retries") {
    need(IsDigits(v) && v.size() <= 3 && std::stoi(v) <= 100, "expected a number from 0 to 100");
    o.Retries = std::stoi(v);
  } else if (name == "--rate") {
    double rate = 0;
    need(Number(v, 0, 1e6, rate) && rate > 0,
         "expected notifications per second, more than 0 and at most 1000000");
    o.Rate = rate;
  } else if (name == "--connections") {
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
      else if (name == "--content-available")
        o.Built.ContentAvailable = true;
      else if (name == "--mutable-content")
        o.Built.MutableContent = true;
      else if (name == "--resend-unanswered")
        o.ResendUnanswered = true;
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
