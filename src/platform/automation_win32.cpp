#include <windows.h>

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation.h"
#include "platform/win32_util.h"

namespace orvelle::automation {
namespace {

using win32::Narrow;
using win32::Widen;

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// ProgIDs are case-insensitive in COM, so the providers' keys are too.
std::mutex g_providers_mu;
std::map<std::string, Factory>& Providers() {  // guarded by g_providers_mu
  static std::map<std::string, Factory> providers;
  return providers;
}

std::string HresultText(HRESULT hr) {
  std::string text = win32::SystemMessage(static_cast<DWORD>(hr));
  if (!text.empty()) return text;
  // Windows' wording for the codes of a missing engine, where the message tables lack them
  // (Wine), so a missing class reads the same everywhere.
  if (hr == CO_E_CLASSSTRING) return "Invalid class string";
  if (hr == REGDB_E_CLASSNOTREG) return "Class not registered";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "OLE error %.8x", static_cast<unsigned>(hr));
  return buffer;
}

[[noreturn]] void ThrowCreationError(HRESULT hr, const std::string& prog_id) {
  throw AutomationError(HresultText(hr) + ", ProgID: \"" + prog_id + "\"", hr);
}

// Turns a provider's own error into the final message, as the COM path trims an engine's.
class ProviderObject : public Object {
 public:
  explicit ProviderObject(std::unique_ptr<Object> inner) : inner_(std::move(inner)) {}
  void Invoke(const std::string& method, const Args& args) override {
    try {
      inner_->Invoke(method, args);
    } catch (const AutomationError&) {
      throw;
    } catch (const std::exception& e) {
      throw AutomationError(TrimDescription(e.what()), DISP_E_EXCEPTION);
    }
  }

 private:
  std::unique_ptr<Object> inner_;
};

// Owns the VARIANTs of one call and frees their strings whatever happens.
class CallArgs {
 public:
  explicit CallArgs(const Args& args) : variants_(args.size()) {
    // IDispatch takes positional arguments last first.
    for (size_t i = 0; i < args.size(); ++i) {
      VARIANTARG& v = variants_[args.size() - 1 - i];
      VariantInit(&v);
      if (args[i].has_value()) {
        const std::wstring w = Widen(*args[i]);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
      } else {
        v.vt = VT_ERROR;
        v.scode = DISP_E_PARAMNOTFOUND;
      }
    }
  }
  ~CallArgs() {
    for (VARIANTARG& v : variants_) VariantClear(&v);
  }
  CallArgs(const CallArgs&) = delete;
  CallArgs& operator=(const CallArgs&) = delete;
  VARIANTARG* Data() { return variants_.empty() ? nullptr : variants_.data(); }
  UINT Count() const { return static_cast<UINT>(variants_.size()); }

 private:
  std::vector<VARIANTARG> variants_;
};

class DispatchObject : public Object {
 public:
  explicit DispatchObject(IDispatch* dispatch) : dispatch_(dispatch) {}
  ~DispatchObject() override { dispatch_->Release(); }
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  void Invoke(const std::string& method, const Args& args) override {
    std::wstring name = Widen(method);
    LPOLESTR names[] = {&name[0]};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) throw AutomationError(HresultText(hr), hr);

    CallArgs call(args);
    DISPPARAMS params = {call.Data(), nullptr, call.Count(), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info = {};
    UINT arg_error = 0;
    hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                           &info, &arg_error);
    VariantClear(&result);
    if (hr == DISP_E_EXCEPTION) ThrowEngineError(info);
    if (FAILED(hr)) throw AutomationError(HresultText(hr), hr);
  }

 private:
  [[noreturn]] static void ThrowEngineError(EXCEPINFO& info) {
    if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
    std::string description;
    if (info.bstrDescription != nullptr) {
      description = Narrow(info.bstrDescription, SysStringLen(info.bstrDescription));
    }
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrHelpFile);
    HRESULT code = info.scode;
    if (code == S_OK && info.wCode != 0)
      code = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, info.wCode);
    if (code == S_OK) code = DISP_E_EXCEPTION;
    std::string message = TrimDescription(description);
    // An engine that raises without saying why still gets a readable message.
    if (message.empty()) message = HresultText(code);
    throw AutomationError(message, code);
  }

  IDispatch* dispatch_;
};

// Balances this thread's successful CoInitializeEx when the thread ends.
struct ComApartment {
  bool initialised = false;
  ~ComApartment() {
    if (initialised) CoUninitialize();
  }
};

}  // namespace

void InitThread() {
  thread_local ComApartment apartment;
  if (apartment.initialised) return;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // S_FALSE (already initialised) also needs its matching uninitialisation.
  apartment.initialised = SUCCEEDED(hr);
}

std::unique_ptr<Object> Create(const std::string& prog_id) {
  Factory factory;
  {
    std::lock_guard<std::mutex> lock(g_providers_mu);
    auto it = Providers().find(Lower(prog_id));
    if (it != Providers().end()) factory = it->second;
  }
  if (factory) {
    std::unique_ptr<Object> object;
    try {
      object = factory();
    } catch (const AutomationError&) {
      throw;
    } catch (const std::exception& e) {
      throw AutomationError(TrimDescription(e.what()) + ", ProgID: \"" + prog_id + "\"",
                            DISP_E_EXCEPTION);
    }
    if (!object) ThrowCreationError(CO_E_CLASSSTRING, prog_id);
    return std::make_unique<ProviderObject>(std::move(object));
  }

  InitThread();
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(Widen(prog_id).c_str(), &clsid);
  if (FAILED(hr)) ThrowCreationError(hr, prog_id);
  IDispatch* dispatch = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr) || dispatch == nullptr)
    ThrowCreationError(FAILED(hr) ? hr : E_NOINTERFACE, prog_id);
  return std::make_unique<DispatchObject>(dispatch);
}

void RegisterProvider(const std::string& prog_id, Factory factory) {
  std::lock_guard<std::mutex> lock(g_providers_mu);
  Providers()[Lower(prog_id)] = std::move(factory);
}

void UnregisterProvider(const std::string& prog_id) {
  std::lock_guard<std::mutex> lock(g_providers_mu);
  Providers().erase(Lower(prog_id));
}

std::string TrimDescription(const std::string& description) {
  std::string out = description;
  while (!out.empty() && (static_cast<unsigned char>(out.back()) <= 32 || out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

}  // namespace orvelle::automation
