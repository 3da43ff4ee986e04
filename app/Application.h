// The application object of the push provider: it runs calls queued for the
// main thread on the Qt event loop and reports exceptions that leave an
// event handler instead of letting them cross the loop.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

class TApplication : public QApplication {
 public:
  using TExceptionReporter = std::function<void(const std::string& aMessage)>;

  // Installs the main-thread wake-up: every call queued for the main thread
  // makes the event loop run CheckSynchronize soon.
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // Delivers like QApplication; an exception escaping the delivery is reported.
  bool notify(QObject* aReceiver, QEvent* aEvent) override;

  // Shows the exception's message and lets the program go on.
  void HandleException(const std::exception_ptr& aException);
  // Where messages go; by default an error message box. Tests record them.
  void SetExceptionReporter(TExceptionReporter aReporter);

 private:
  void ShowMessage(const std::string& aMessage);

  TExceptionReporter FReporter;
};

// Runs aHandler as an event handler: an exception it raises goes to the
// application's exception reporting.
void RunEventHandler(const std::function<void()>& aHandler);
