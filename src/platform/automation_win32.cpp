#include <windows.h>

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation.h"
#include "platform/win32_util.h"

namespace orvelle::automation {
namespace {

using win32::Narrow;
using win32::Widen;

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
  if (auto object = CreateFromProvider(prog_id)) return object;

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

}  // namespace orvelle::automation
