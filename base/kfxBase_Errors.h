// How the library stops failures at a boundary: a component event, a command,
// a read-thread step, a notification drain, a callback from a C library.
//
// - A boundary with somewhere to report to runs its work in ReportFailures:
//   the framework's Exception is reported as it is; a std::exception (foreign
//   code: the standard library, a handler written by the application) is
//   reported as an Exception carrying its what() text. Anything else passes
//   through: it is no error of ours and has no text.
// - A boundary with nowhere to report to (a destructor, cleanup on a path that
//   is already failing and rethrows, a callback that must not unwind through
//   C code, a report whose own handler failed) may drop the failure, with
//   `catch (...)` and a comment that says why dropping it loses nothing.
// - Everything else lets the exception travel to the boundary above.
#pragma once

#include <exception>
#include <utility>

#include "rtl/System.h"

// Runs aBody; what escapes it as an Exception or a std::exception goes to
// aReport(Exception&) instead, once. The reported object lives for the call.
template <class Body, class Report>
void ReportFailures(Body&& aBody, Report&& aReport) {
  try {
    std::forward<Body>(aBody)();
  } catch (Exception& e) {
    aReport(e);
  } catch (const std::exception& e) {
    Exception error(e.what());
    aReport(error);
  }
}

// The same report for a failure caught earlier (std::current_exception()).
// A null aFailure reports nothing.
template <class Report>
void ReportFailure(const std::exception_ptr& aFailure, Report&& aReport) {
  if (!aFailure) return;
  ReportFailures([&] { std::rethrow_exception(aFailure); }, std::forward<Report>(aReport));
}
