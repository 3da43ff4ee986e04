// apns-mock: a local APNs test server. See --help.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <exception>
#include <iostream>

#include "apns_version.h"
#include "tools/apns-mock/options.h"
#include "tools/apns-mock/server.h"
#include "tools/apns-mock/tls_context.h"
#include "tools/apns-mock/token_verifier.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

int Serve(const apns_mock::Options& options) {
  using namespace apns_mock;
  SslCtxPtr tls = MakeServerTlsContext(options.cert_file, options.key_file, options.client_ca_file);
  EvpPkeyPtr token_key;
  if (!options.auth_key_file.empty()) token_key = TokenVerifier::LoadKey(options.auth_key_file);
  std::unique_ptr<RequestLog> log;
  if (!options.log_file.empty()) log = std::make_unique<RequestLog>(options.log_file);

  // SIGTERM and SIGINT arrive through a descriptor in the event loop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0)
    throw std::runtime_error("cannot block SIGTERM");
  const UniqueFd signal_fd(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signal_fd) throw std::runtime_error("signalfd failed");
  signal(SIGPIPE, SIG_IGN);

  Server server(options, std::move(tls),
                TokenVerifier(std::move(token_key), options.key_id, options.team_id),
                std::move(log));
  const uint16_t port = server.Listen();
  std::printf("%u\n", static_cast<unsigned>(port));
  std::fflush(stdout);
  std::fprintf(stderr, "apns-mock: listening on %s port %u\n", options.host.c_str(),
               static_cast<unsigned>(port));
  server.Run(signal_fd.get());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  apns_mock::Options options;
  try {
    options = apns_mock::ParseOptions(argc, argv);
  } catch (const apns_mock::UsageError& e) {
    std::cerr << "apns-mock: " << e.what() << "\n(see apns-mock --help)\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << apns_mock::UsageText();
    return 0;
  }
  if (options.version) {
    std::cout << "apns-mock " << kApnsVersion << '\n';
    return 0;
  }
  try {
    return Serve(options);
  } catch (const std::exception& e) {
    std::cerr << "apns-mock: " << e.what() << '\n';
    return kExitFailure;
  }
}
