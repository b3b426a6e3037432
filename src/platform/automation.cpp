// The in-process providers that every platform's automation seam offers.
#include <map>
#include <mutex>

#include "platform/automation.h"
#include "platform/text.h"

namespace orvelle::automation {
namespace {

// DISP_E_EXCEPTION: the object raised an error with a description.
constexpr long kDispException = static_cast<long>(0x80020009);
// CO_E_CLASSSTRING, the code of a ProgID that names no class.
constexpr long kClassString = static_cast<long>(0x800401F3);

std::mutex g_mu;
// ProgIDs are case-insensitive in COM, so the providers' keys are too.
std::map<std::string, Factory> g_providers;  // guarded by g_mu; keys lower-cased

// Wraps a provider's object so that its errors reach callers in their final form.
class ProvidedObject : public Object {
 public:
  explicit ProvidedObject(std::unique_ptr<Object> inner) : inner_(std::move(inner)) {}
  void Invoke(const std::string& method, const Args& args) override {
    try {
      inner_->Invoke(method, args);
    } catch (const AutomationError&) {
      throw;
    } catch (const std::exception& e) {
      throw AutomationError(TrimDescription(e.what()), kDispException);
    }
  }
  const Object* Provided() const override { return inner_->Provided(); }

 private:
  std::unique_ptr<Object> inner_;
};

}  // namespace

void RegisterProvider(const std::string& prog_id, Factory factory) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_providers[text::LowerAscii(prog_id)] = std::move(factory);
}

void UnregisterProvider(const std::string& prog_id) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_providers.erase(text::LowerAscii(prog_id));
}

std::unique_ptr<Object> CreateFromProvider(const std::string& prog_id) {
  Factory factory;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_providers.find(text::LowerAscii(prog_id));
    if (it == g_providers.end()) return nullptr;
    factory = it->second;
  }
  std::unique_ptr<Object> object;
  try {
    object = factory();
  } catch (const AutomationError&) {
    throw;
  } catch (const std::exception& e) {
    throw AutomationError(TrimDescription(e.what()) + ", ProgID: \"" + prog_id + "\"",
                          kDispException);
  }
  if (!object) {
    throw AutomationError("Invalid class string, ProgID: \"" + prog_id + "\"", kClassString);
  }
  return std::make_unique<ProvidedObject>(std::move(object));
}

std::string TrimDescription(const std::string& description) {
  auto end = description.size();
  while (end > 0) {
    unsigned char c = static_cast<unsigned char>(description[end - 1]);
    if (c != '.' && c > 32) break;
    --end;
  }
  return description.substr(0, end);
}

}  // namespace orvelle::automation
