#include "tools/apns-push/run.h"

#include <fcntl.h>
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
#include <unordered_set>

#include "apns/kfxAPNs_Setup.h"
#include "apns_version.h"
#include "rtl/Streams.h"
#include "tools/apns-push/addresses.h"
#include "tools/apns-push/credentials.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/inputs.h"
#include "tools/apns-push/interrupt.h"
#include "tools/apns-push/lines.h"
#include "tools/apns-push/payload.h"
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
  if (o.InputFile && (!o.Tokens.empty() || o.TokensFile))
    Fail("--input and device tokens (as arguments or --tokens) exclude each other");
  if (!o.Payload && !o.Built.Any() && !o.InputFile && o.Tokens.empty() && !o.TokensFile)
    Fail("the payload and the device tokens cannot both come from standard input");
  if (o.Payload && *o.Payload == "@-" && o.InputFile && *o.InputFile == "-")
    Fail("the payload and --input cannot both come from standard input");
  if (!o.Tokens.empty() && o.TokensFile)
    Fail("device tokens as arguments and --tokens exclude each other");
}

// The payload from --payload, --payload @FILE or standard input, with the
// payload options merged in, checked. Empty when --input lines bring their
// own and the command line gives none.
std::string Payload(const Options& o) {
  const size_t limit = PayloadLimit(o.PushType);
  std::string base;
  std::string source = "--payload";
  if (!o.Payload) {
    if (o.Built.Any()) {
      base = "{}";
      source = "the payload options";
    } else if (o.InputFile) {
      return "";
    } else {
      base = CheckedPayload(ReadStdin(), "standard input", limit);
      source = "standard input";
    }
  } else if (!o.Payload->empty() && (*o.Payload)[0] == '@') {
    source = o.Payload->substr(1);
    base = CheckedPayload(source == "-" ? ReadStdin() : ReadWholeFile(source, "payload file"),
                          source, limit);
  } else {
    base = CheckedPayload(*o.Payload, "--payload", limit);
  }
  if (!o.Built.Any()) return base;
  if (o.Payload) source = "--payload with the payload options";
  return CheckedPayload(MergePayload(base, o.Built), source, limit);
}

// The exit status of a batch interrupted by aSignal, as shells report it.
int InterruptStatus(int aSignal) {
  return 128 + aSignal;
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
  // From here on an interrupt ends the batch in order (nothing is sent yet).
  CatchInterrupts();
  std::unordered_set<std::string> done;
  if (o.SkipDone) done = ReadDoneTokens(*o.SkipDone);
  if (o.SummaryJSON) {
    std::ofstream probe(*o.SummaryJSON, std::ios::app);
    if (!probe) Fail("cannot write --summary-json file " + *o.SummaryJSON + ": " + std::strerror(errno));
  }

  std::ifstream tokenFile;
  std::optional<LineReader> stdinReader;
  std::optional<TokenSource> source;
  std::optional<TokenFeed> tokens;
  int inputFd = -1;
  size_t total = 0;  // device tokens in all, 0 when not known beforehand
  size_t sendable = 0;
  if (o.InputFile) {
    if (*o.InputFile == "-") {
      inputFd = STDIN_FILENO;
    } else {
      inputFd = open(o.InputFile->c_str(), O_RDONLY | O_CLOEXEC);
      if (inputFd < 0) Fail("cannot read --input file " + *o.InputFile + ": " + std::strerror(errno));
      total = CountTokenLines(*o.InputFile);
    }
    sendable = 2;  // not known: a batch
  } else {
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
      // Read as a pipe, so that an interrupt is seen while it waits.
      stdinReader.emplace(STDIN_FILENO, "standard input");
      source.emplace(*stdinReader);
    }
    // Read ahead far enough to know whether there is more than one token to
    // send and how many connections are worth making.
    tokens.emplace(*source, static_cast<size_t>(o.Connections));
    if (tokens->Ahead() == 0 && InterruptSignal()) return InterruptStatus(InterruptSignal());
    if (tokens->Ahead() == 0) Fail("no device tokens");
    if (tokens->AllReadAhead()) total = tokens->Ahead();
    sendable = tokens->SendableAhead();
  }

  if (!o.LogFile.empty()) {
    std::ofstream probe(o.LogFile, std::ios::app);
    if (!probe) Fail("cannot write log file " + o.LogFile + ": " + std::strerror(errno));
  }

  BatchSetup setup;
  setup.Payload = payload;
  setup.Headers = {o.Topic, o.PushType, o.Priority, o.Expiration, o.CollapseId, o.ApnsId};
  setup.Rate = o.Rate;
  setup.Retry.Retries = o.Retries;
  setup.Retry.ResendCutOff = o.ResendUnanswered;
  setup.Server = server;

  // The clients, configured as the provider window configures its one. The
  // set is made after the outcomes and so freed before them.
  const size_t clientCount = std::max<size_t>(1, std::min<size_t>(o.Connections, sendable));
  Outcomes outcomes(o.Text, total, clientCount, std::cout, kWindowPerConnection / 2, setup.Retry);
  PusherSet pushers(clientCount, o, certMode, proxy, outcomes);

  std::optional<LineReader> reader;
  std::optional<LineParser> parser;
  std::unique_ptr<NotificationSource> notifications;
  const std::unordered_set<std::string>* skip = o.SkipDone ? &done : nullptr;
  if (o.InputFile) {
    reader.emplace(inputFd, *o.InputFile == "-" ? std::string("standard input") : *o.InputFile);
    LineDefaults defaults;
    defaults.Headers = setup.Headers;
    defaults.HavePayload = !payload.empty();
    defaults.PayloadSize = payload.size();
    parser.emplace(defaults);
    notifications = std::make_unique<LineNotifications>(*reader, *parser, outcomes, skip);
  } else {
    notifications = std::make_unique<TokenNotifications>(*tokens, outcomes, skip);
  }

  setup.Progress = isatty(STDERR_FILENO) && sendable > 1;
  setup.Start = Clock::now();
  const std::string host =
      server.Host.find(':') != std::string::npos ? "[" + server.Host + "]" : server.Host;
  setup.Base = APNsDeviceURL("https://" + host + ":" + std::to_string(server.Port), "");

  if (sendable == 1)
    SendOneByOne(pushers[0], *notifications, setup, outcomes);
  else
    SendBatch(pushers, *notifications, setup, outcomes);

  outcomes.Flush();
  if (inputFd > STDIN_FILENO) close(inputFd);
  Summary& summary = outcomes.Figures();
  summary.Seconds = std::chrono::duration<double>(Clock::now() - setup.Start).count();
  summary.Skipped = notifications->Skipped();
  summary.Signal = InterruptSignal();
  if (setup.Progress) {
    outcomes.Progress(setup.Start, notifications->Skipped());
    std::fputs("\n", stderr);
  }
  std::fputs(summary.Text().c_str(), stderr);
  if (o.SummaryJSON) {
    std::ofstream json(*o.SummaryJSON, std::ios::trunc);
    json << summary.JSON();
    if (!json) std::fprintf(stderr, "apns-push: cannot write %s\n", o.SummaryJSON->c_str());
  }
  if (summary.Signal) return InterruptStatus(summary.Signal);
  if (sendable && !pushers.AnyConnected() && outcomes.Accepted() + outcomes.Rejected() == 0 &&
      outcomes.Lines())
    return 3;
  return outcomes.Accepted() == outcomes.Lines() ? 0 : 1;
}

}  // namespace apns_push
