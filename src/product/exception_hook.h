// The application-wide exception hook: an exception that escapes a window handler is handed
// to the product information (counted, and an error report opened) and the program goes on.
#pragma once

#include <exception>
#include <string>

namespace orvelle {

// The text the report carries for an exception.
std::string ExceptionMessage(std::exception_ptr error);
// Reports through kxInfo; without one (or when reporting fails) nothing happens.
void ReportEscapedException(std::exception_ptr error) noexcept;

// Runs a handler; whatever it throws goes to the hook instead of the message loop.
template <class Fn>
void GuardHandler(Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
    ReportEscapedException(std::current_exception());
  }
}

}  // namespace orvelle
