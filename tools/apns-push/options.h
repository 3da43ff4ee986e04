// The command line of apns-push: the help text, the options and their
// checks one by one (the checks between options are in run.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apns/kfxAPNs_Setup.h"
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
  std::optional<std::string> TokensFile;
  std::vector<std::string> Tokens;
  bool Text = false;
  std::string LogFile;
  int Connections = 1;
  bool Help = false, Version = false;
};

// The options and device tokens of argv. A value that is malformed on its
// own, an unknown option or a missing value raises EUsageError.
Options ParseArguments(int argc, char** argv);

}  // namespace apns_push
