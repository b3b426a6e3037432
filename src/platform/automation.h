// Automation seam: create an object by ProgID and call a method late-bound with string
// arguments, some of them omitted. On Windows this is COM (IDispatch); elsewhere a registry
// of in-process providers by ProgID.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvelle::automation {

// An automation failure. The message is already in its final form: for a creation failure
// the system's text followed by ", ProgID: " and the quoted identifier; for an error raised
// by the object its description with trailing full stops and characters of code 32 or below
// removed; otherwise the system's text for the code, or "OLE error %.8x".
class AutomationError : public std::runtime_error {
 public:
  AutomationError(const std::string& message, long code)
      : std::runtime_error(message), code_(code) {}
  long Code() const { return code_; }

 private:
  long code_;
};

// Positional arguments; std::nullopt marks an omitted one.
using Args = std::vector<std::optional<std::string>>;

// One automation object. Not shared between threads.
class Object {
 public:
  virtual ~Object() = default;
  // Calls `method` with `args`; throws AutomationError.
  virtual void Invoke(const std::string& method, const Args& args) = 0;
  // The object that does the work: a provider's own object behind the seam's wrapper.
  virtual const Object* Provided() const { return this; }
};

// Initialises automation for the calling thread (COM apartment); repeated calls are harmless.
void InitThread();

// Creates the object registered under `prog_id`; throws AutomationError. A ProgID nobody
// provides fails as a missing COM class does: "Invalid class string, ProgID: \"X\"".
std::unique_ptr<Object> Create(const std::string& prog_id);

// In-process providers (every platform; on Windows they are tried before COM). A provider
// raising an error from Invoke throws ProviderError with its description; the seam trims it
// into an AutomationError as the rule above says.
class ProviderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
using Factory = std::function<std::unique_ptr<Object>()>;
void RegisterProvider(const std::string& prog_id, Factory factory);
void UnregisterProvider(const std::string& prog_id);
// The object of the provider registered under `prog_id` (ignoring case), or null when there
// is none. Create tries it before the platform's own mechanism; a failing provider throws
// AutomationError worded as a creation failure.
std::unique_ptr<Object> CreateFromProvider(const std::string& prog_id);

// Trims trailing full stops and characters of code 32 or below, as engine descriptions are
// trimmed before they become a file's message.
std::string TrimDescription(const std::string& description);

}  // namespace orvelle::automation
