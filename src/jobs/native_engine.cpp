#include "jobs/native_engine.h"

#include <mutex>

#include "jet/compact.h"
#include "platform/text.h"

namespace orvelle {

namespace {

// ";pwd=secret" -> "secret". The value runs to the end of the argument: the job appends the
// password unchanged, and a password may itself contain ';'.
std::optional<std::string> PasswordOf(const std::string& connect) {
  size_t at = 0;
  while (at < connect.size() && (connect[at] == ';' || connect[at] == ' ')) ++at;
  if (text::LowerAscii(connect.substr(at, 4)) != "pwd=") return std::nullopt;
  return connect.substr(at + 4);
}

class NativeEngine : public automation::Object {
 public:
  void Invoke(const std::string& method, const automation::Args& args) override {
    if (text::LowerAscii(method) != "compactdatabase") {
      throw automation::ProviderError("The native engine has no method \"" + method + "\"");
    }
    if (args.size() < 2 || args.size() > 5 || !args[0] || !args[1]) {
      throw automation::ProviderError(
          "CompactDatabase needs the source and target names and at most five arguments");
    }
    for (size_t i = 2; i < 4 && i < args.size(); ++i) {
      if (args[i] && !args[i]->empty()) {
        throw automation::ProviderError(
            "The native engine compacts without changing the locale or the format; the third "
            "and fourth arguments must be omitted");
      }
    }
    jet::CompactOptions options;
    if (args.size() == 5 && args[4]) options.password = PasswordOf(*args[4]);
    try {
      jet::CompactDatabase(*args[0], *args[1], options);
    } catch (const std::exception& e) {
      throw automation::ProviderError(e.what());
    }
  }
};

}  // namespace

std::unique_ptr<automation::Object> NewNativeEngine() { return std::make_unique<NativeEngine>(); }

bool IsNativeEngine(const automation::Object* object) {
  return object != nullptr && dynamic_cast<const NativeEngine*>(object->Provided()) != nullptr;
}

void RegisterNativeEngine() {
  static std::once_flag once;
  std::call_once(once, [] { automation::RegisterProvider(kNativeEngineProgId, NewNativeEngine); });
}

}  // namespace orvelle
