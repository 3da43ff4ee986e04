// GUI tests run inside the program's own application object, offscreen
// unless a platform is named.
#include <gtest/gtest.h>

#include "app/Application.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication application(argc, argv);
  // An error box must never block a test; the suites install their own reporter.
  application.SetExceptionReporter([](const std::string& aMessage) {
    ADD_FAILURE() << "error box outside a test: " << aMessage;
  });
  return RUN_ALL_TESTS();
}
