// The push provider: one window, run until it is closed.
//   apns-provider [--server URL]
// --server points both server choices at URL (scheme://host[:port]), e.g. a
// local test server; without it the window pushes to the APNs endpoints.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/Application.h"
#include "app/FApplePushNotifications.h"
#include "apns_version.h"
#include "rtl/System.h"

namespace {

constexpr const char* kUsage =
    "usage: apns-provider [--server URL]\n"
    "  --server URL  push to URL (scheme://host[:port]) instead of the APNs servers\n"
    "  --version     the version number\n";

// Answers --help and --version; false for any other argument.
bool PrintInformation(const char* aArgument) {
  if (std::strcmp(aArgument, "--help") == 0 || std::strcmp(aArgument, "-h") == 0) {
    std::fputs(kUsage, stdout);
    return true;
  }
  if (std::strcmp(aArgument, "--version") == 0) {
    std::printf("apns-provider %s\n", kApnsVersion);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // "apns-provider --help" and "--version" answer without a display: the
  // application object below needs one.
  if (argc > 1 && PrintInformation(argv[1])) return 0;
  // Qt takes its own options (-platform, -display ...) out of argv first.
  TApplication application(argc, argv);
  std::string server;
  for (int i = 1; i < argc; ++i) {
    if (PrintInformation(argv[i])) return 0;
    if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) {
      try {
        server = CheckServerURL(argv[++i]);
      } catch (const Exception& e) {
        std::fprintf(stderr, "apns-provider: --server: %s\n", e.Message().c_str());
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "apns-provider: unexpected argument \"%s\"\n%s", argv[i], kUsage);
    return 2;
  }
  try {
    TFRMApplePushNotifications window;
    if (!server.empty()) window.DevelopmentServer = window.ProductionServer = server;
    window.show();
    return application.exec();
  } catch (...) {
    // Reported as any failure of the window is, then the program ends with 1.
    application.HandleException(std::current_exception());
    return 1;
  }
}
