// The command line of apns-push: the help text, the options and their
// checks one by one (the checks between options are in run.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apns/kfxAPNs_Setup.h"
#include "tools/apns-push/payload.h"
#include "tls/kfxSocket_Classes_TLS.h"

namespace apns_push {

// The text of --help.
extern const char* const kUsage;

struct Options {
  std::string CertFile, Password, KeyFile, KeyId, TeamId;
  bool HavePassword = false;
  std::string PasswordFile;
  std::string Server = kAPNsDevelopmentServer;
  int ServerChoices = 0;
  std::string CAFile;
  bool Insecure = false;
  TwsTLSIOHandler TLS = TwsTLSIOHandler::iohSChannel;
  std::string Proxy;
  std::string Topic, PushType, Priority, Expiration, CollapseId, ApnsId;
  std::optional<std::string> Payload;
  PayloadOptions Built;  // --alert, --badge, ... --data
  std::optional<std::string> InputFile;  // --input: JSON lines ("-": standard input)
  std::optional<std::string> TokensFile;
  std::vector<std::string> Tokens;
  bool Text = false;
  std::string LogFile;
  int Connections = 1;
  int Retries = 3;
  bool ResendUnanswered = false;
  double Rate = 0;  // notifications per second; 0: no cap
  std::optional<std::string> SkipDone, SummaryJSON;
  bool Help = false, Version = false;
};

// What is wrong with aValue for the apns-* header aName ("priority",
// "expiration", "collapse-id", "apns-id"; others take any text); empty
// when nothing is.
std::string HeaderProblem(const std::string& aName, const std::string& aValue);

// The options and device tokens of argv. A value that is malformed on its
// own, an unknown option or a missing value raises EUsageError.
Options ParseArguments(int argc, char** argv);

}  // namespace apns_push
