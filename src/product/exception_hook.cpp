#include "product/exception_hook.h"

#include "product/info.h"

namespace orvelle {

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "Unknown exception";
}

void ReportEscapedException(std::exception_ptr error) noexcept {
  try {
    if (kxInfo != nullptr) kxInfo->ReportException(ExceptionMessage(error));
  } catch (...) {
    // The hook is the last resort; a report that fails itself is dropped.
  }
}

}  // namespace orvelle
