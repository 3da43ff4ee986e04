// apns-pushd --config FILE: the push service. Runs until SIGTERM or SIGINT,
// then stops gracefully and exits 0. Prints "listening on HOST:PORT" on
// standard output once the API takes calls.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "apns_version.h"
#include "tools/apns-pushd/config.h"
#include "tools/apns-pushd/log.h"
#include "tools/apns-pushd/redis/redis_backends.h"
#include "tools/apns-pushd/sender.h"
#include "tools/apns-pushd/service.h"

namespace {

constexpr const char* kUsage = R"(usage: apns-pushd --config FILE

The push service: takes notifications over HTTP (POST /v1/apps/APP/notifications),
keeps APNs connections per app, retries what APNs asks to retry and reports
every outcome (a JSON-lines file, a webhook, GET /v1/notifications/ID).
Stops gracefully on SIGTERM or SIGINT.

  --config FILE   the TOML configuration
  --check         read and check the configuration and credentials, then exit
  --help          this text
  --version       the version number
)";

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--version") {
      std::cout << "apns-pushd " << kApnsVersion << '\n';
      return 0;
    }
    if (a == "--check") {
      check = true;
    } else if (a == "--config" && i + 1 < argc) {
      file = argv[++i];
    } else {
      std::cerr << "apns-pushd: unknown option " << a << " (see --help)\n";
      return 2;
    }
  }
  if (file.empty()) {
    std::cerr << "apns-pushd: --config FILE is required (see --help)\n";
    return 2;
  }
  // The stop signals are taken by the main thread alone: every thread made
  // from here on inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  apns_pushd::redis::RegisterRedisBackends();
  try {
    apns_pushd::Config config = apns_pushd::LoadConfig(file);
    if (check) {
      for (const apns_pushd::AppConfig& app : config.Apps) apns_pushd::CheckCredentials(app);
      std::cout << "apns-pushd: " << file << ": " << config.Apps.size() << " apps, configuration sound\n";
      return 0;
    }
    const std::string host = config.Listen.Host;
    apns_pushd::Service service(std::move(config));
    const int port = service.Start();
    std::printf("listening on %s:%d\n", host.c_str(), port);
    std::fflush(stdout);
    apns_pushd::Log("listening on " + host + ":" + std::to_string(port));
    int signal = 0;
    sigwait(&stopSignals, &signal);
    apns_pushd::Log(std::string("received ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    service.Stop();
  } catch (const apns_pushd::EConfigError& e) {
    std::cerr << "apns-pushd: " << e.Message() << '\n';
    return 2;
  } catch (const Exception& e) {
    std::cerr << "apns-pushd: " << e.Message() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "apns-pushd: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
