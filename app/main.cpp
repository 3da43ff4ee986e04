// The push provider: one window, run until it is closed.
//   apns-provider [--server URL]
// --server points both server choices at URL (scheme://host[:port]), e.g. a
// local test server; without it the window pushes to the APNs endpoints.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/Application.h"
#include "app/FApplePushNotifications.h"
#include "rtl/System.h"

namespace {

constexpr const char* kUsage =
    "usage: apns-provider [--server URL]\n"
    "  --server URL  push to URL (scheme://host[:port]) instead of the APNs servers\n";

}  // namespace

int main(int argc, char** argv) {
  // Qt takes its own options (-platform, -display ...) out of argv first.
  TApplication application(argc, argv);
  std::string server;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
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
    application.HandleException(std::current_exception());
    return 1;
  }
}
