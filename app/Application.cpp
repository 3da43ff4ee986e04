#include "app/Application.h"

#include <QMessageBox>
#include <QMetaObject>
#include <cstdio>

#include "rtl/MainThread.h"
#include "rtl/System.h"

namespace {

void DrainMainThreadQueue() {
  RunEventHandler([] { CheckSynchronize(); });
}

// Called on any thread: posts one drain to the GUI thread per queued call.
void WakeMainThread() {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, &DrainMainThreadQueue, Qt::QueuedConnection);
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  SetMainThread();
  SetWakeMainThread(&WakeMainThread);
}

TApplication::~TApplication() {
  SetWakeMainThread(nullptr);
}

bool TApplication::notify(QObject* aReceiver, QEvent* aEvent) {
  try {
    return QApplication::notify(aReceiver, aEvent);
  } catch (...) {
    // Reported, not dropped: an exception must not cross the Qt event loop.
    HandleException(std::current_exception());
    return false;
  }
}

void TApplication::HandleException(const std::exception_ptr& aException) {
  const std::string message = ExceptionMessage(aException);
  try {
    if (FReporter)
      FReporter(message);
    else
      ShowMessage(message);
  } catch (...) {
    // The reporter itself failed (no display for the message box, say): the
    // message still goes out, on stderr, and the reporter's own failure has
    // nowhere else to go.
    std::fprintf(stderr, "%s\n", message.c_str());
  }
}

void TApplication::SetExceptionReporter(TExceptionReporter aReporter) {
  FReporter = std::move(aReporter);
}

void TApplication::ShowMessage(const std::string& aMessage) {
  QMessageBox::critical(activeWindow(), applicationDisplayName(), QString::fromStdString(aMessage));
}

void RunEventHandler(const std::function<void()>& aHandler) {
  try {
    aHandler();
  } catch (...) {
    // Reported, not dropped: to the application's reporting, or on stderr
    // when there is no application object.
    if (auto* app = dynamic_cast<TApplication*>(QCoreApplication::instance()))
      app->HandleException(std::current_exception());
    else
      std::fprintf(stderr, "%s\n", ExceptionMessage(std::current_exception()).c_str());
  }
}
