#include "tools/apns-push/run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "apns/kfxAPNs_Setup.h"
#include "apns_version.h"
#include "rtl/Streams.h"
#include "tools/apns-push/addresses.h"
#include "tools/apns-push/credentials.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/inputs.h"
#include "tools/apns-push/options.h"
#include "tools/apns-push/outcomes.h"
#include "tools/apns-push/sending.h"

namespace apns_push {

namespace {

// The options that exclude or need each other.
void CheckCombinations(const Options& o, bool aCertMode, bool aKeyMode) {
  if (aCertMode && aKeyMode) Fail("--cert and --key/--key-id/--team-id exclude each other");
  if (!aCertMode && !aKeyMode)
    Fail("no authentication: give --cert FILE.p12 or --key AuthKey.p8 --key-id ID --team-id ID");
  if (aKeyMode && (o.KeyFile.empty() || o.KeyId.empty() || o.TeamId.empty()))
    Fail("token authentication needs --key, --key-id and --team-id");
  if (o.HavePassword && !o.PasswordFile.empty())
    Fail("--password and --password-file exclude each other");
  if (!aCertMode && (o.HavePassword || !o.PasswordFile.empty()))
    Fail("--password and --password-file belong to --cert");
  if (o.ServerChoices > 1) Fail("--sandbox, --production and --url exclude each other");
  if (o.Insecure && !o.CAFile.empty()) Fail("--ca and --insecure exclude each other");
  if (o.Topic.empty()) Fail("--topic is required (the app's bundle ID)");
  if (!o.Payload && o.Tokens.empty() && !o.TokensFile)
    Fail("the payload and the device tokens cannot both come from standard input");
  if (!o.Tokens.empty() && o.TokensFile)
    Fail("device tokens as arguments and --tokens exclude each other");
}

// The payload from --payload, --payload @FILE or standard input, checked.
std::string Payload(const Options& o) {
  if (!o.Payload) return CheckedPayload(ReadStdin(), "standard input");
  if (!o.Payload->empty() && (*o.Payload)[0] == '@')
    return CheckedPayload(ReadWholeFile(o.Payload->substr(1), "payload file"),
                          o.Payload->substr(1));
  return CheckedPayload(*o.Payload, "--payload");
}

}  // namespace

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
  CheckCombinations(o, certMode, keyMode);

  const HostPort server = ParseServer(o.Server);
  std::optional<ProxySetting> proxy;
  if (!o.Proxy.empty()) proxy = ParseProxy(o.Proxy);

  if (certMode) {
    o.Password = CertificatePassword(o.PasswordFile, o.HavePassword, o.Password);
    CheckPKCS12(o.CertFile, o.Password);
  } else {
    CheckP8Key(o.KeyFile);
  }
  if (!o.CAFile.empty()) CheckCAFile(o.CAFile);

  const std::string payload = Payload(o);

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
  TokenFeed tokens(*source, static_cast<size_t>(o.Connections));
  if (tokens.Ahead() == 0) Fail("no device tokens");
  if (tokens.AllReadAhead()) total = tokens.Ahead();
  const size_t sendable = tokens.SendableAhead();

  if (!o.LogFile.empty()) {
    std::ofstream probe(o.LogFile, std::ios::app);
    if (!probe) Fail("cannot write log file " + o.LogFile + ": " + std::strerror(errno));
  }

  // The clients, configured as the provider window configures its one. The
  // set is made after the outcomes and so freed before them.
  const size_t clientCount = std::max<size_t>(1, std::min<size_t>(o.Connections, sendable));
  Outcomes outcomes(o.Text, total, clientCount, std::cout, kWindowPerConnection / 2);
  PusherSet pushers(clientCount, o, certMode, proxy, outcomes);

  const bool progress = isatty(STDERR_FILENO) && sendable > 1;
  const auto batchStart = Clock::now();
  const std::string host =
      server.Host.find(':') != std::string::npos ? "[" + server.Host + "]" : server.Host;
  const std::string base = APNsDeviceURL("https://" + host + ":" + std::to_string(server.Port), "");
  TMemoryStream body;
  body.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));

  if (sendable == 1)
    SendOneByOne(pushers[0], tokens, body, base, outcomes);
  else
    SendBatch(pushers, tokens, body, base, server, outcomes, progress, batchStart);

  outcomes.Flush();
  const double secs = std::chrono::duration<double>(Clock::now() - batchStart).count();
  if (progress) {
    outcomes.Progress(batchStart);
    std::fputs("\n", stderr);
  }
  std::fprintf(stderr,
               "apns-push: %zu device tokens: %zu accepted, %zu rejected, %zu failed in %.2f s\n",
               outcomes.Lines(), outcomes.Accepted(), outcomes.Rejected(), outcomes.Failed(), secs);
  if (sendable && !pushers.AnyConnected() && outcomes.Accepted() + outcomes.Rejected() == 0)
    return 3;
  return outcomes.Accepted() == outcomes.Lines() ? 0 : 1;
}

}  // namespace apns_push
