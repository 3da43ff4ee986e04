// The push provider: one window, run until it is closed.
#include <cstdio>

#include "app/Application.h"
#include "app/FApplePushNotifications.h"
#include "rtl/System.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  try {
    TFRMApplePushNotifications window;
    window.show();
    return application.exec();
  } catch (...) {
    application.HandleException(std::current_exception());
    return 1;
  }
}
