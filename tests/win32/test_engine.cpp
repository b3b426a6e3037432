// A stand-in database engine for the Windows tests: an in-process COM server whose automation
// object offers "CompactDatabase" through IDispatch. It appends every call's arguments to the
// file named by ORVELLE_TEST_ENGINE_LOG, writes the target as a copy of the source, and
// raises an engine exception when the source name contains "fail".
// DllRegisterServer registers it under the ProgIDs in ORVELLE_TEST_PROGID (separated by ";"),
// by default "Orvelle.TestEngine".
#include <windows.h>

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// {6D1C3E52-8A47-4F0B-9E2D-5B7A1C0F4E91}
const CLSID kClsid = {0x6d1c3e52, 0x8a47, 0x4f0b, {0x9e, 0x2d, 0x5b, 0x7a, 0x1c, 0x0f, 0x4e, 0x91}};
const wchar_t kClsidText[] = L"{6D1C3E52-8A47-4F0B-9E2D-5B7A1C0F4E91}";

enum : DISPID {
  kCompactDatabase = 1,
  kFailWithCode = 2,   // returns an HRESULT the system has no text for
  kRaiseSilently = 3,  // raises an engine exception without a description
};
constexpr HRESULT kUnknownFailure = static_cast<HRESULT>(0x8004DEAD);

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
  return (n > 0 && n < 4096) ? std::wstring(buffer, n) : std::wstring();
}

// One line per call: the method, then each argument in order ("<omitted>" for a missing one).
void Record(const std::wstring& line) {
  const std::wstring log = Env(L"ORVELLE_TEST_ENGINE_LOG");
  if (log.empty()) return;
  HANDLE h = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::string bytes = ToUtf8(line) + "\r\n";
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

HRESULT Raise(EXCEPINFO* info, const std::wstring& description, HRESULT code) {
  if (info != nullptr) {
    *info = EXCEPINFO();
    info->bstrSource = SysAllocString(L"Orvelle.TestEngine");
    info->bstrDescription =
        description.empty() ? nullptr : SysAllocStringLen(description.data(), description.size());
    info->scode = code;
  }
  return DISP_E_EXCEPTION;
}

class Engine : public IDispatch {
 public:
  Engine() { ++g_objects; }
  virtual ~Engine() { --g_objects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (count != 1) return DISP_E_UNKNOWNNAME;
    if (_wcsicmp(names[0], L"CompactDatabase") == 0) {
      ids[0] = kCompactDatabase;
    } else if (_wcsicmp(names[0], L"FailWithCode") == 0) {
      ids[0] = kFailWithCode;
    } else if (_wcsicmp(names[0], L"RaiseSilently") == 0) {
      ids[0] = kRaiseSilently;
    } else {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT*, EXCEPINFO* info, UINT* arg_error) override {
    if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (id == kFailWithCode) return kUnknownFailure;
    if (id == kRaiseSilently) return Raise(info, std::wstring(), E_FAIL);
    if (id != kCompactDatabase) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr || params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    const UINT n = params->cArgs;
    if (n != 2 && n != 5) return DISP_E_BADPARAMCOUNT;

    // The caller passes the arguments last first.
    std::vector<std::wstring> args;
    std::wstring line = L"CompactDatabase";
    for (UINT i = 0; i < n; ++i) {
      const VARIANTARG& v = params->rgvarg[n - 1 - i];
      std::wstring text;
      if (v.vt == VT_BSTR) {
        text = std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
        line += L"|" + text;
      } else if (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND) {
        line += L"|<omitted>";
      } else {
        if (arg_error != nullptr) *arg_error = n - 1 - i;
        return DISP_E_TYPEMISMATCH;
      }
      args.push_back(text);
    }
    Record(line);

    const std::wstring& source = args[0];
    const std::wstring& target = args[1];
    const size_t slash = source.find_last_of(L"\\/");
    std::wstring name = source.substr(slash == std::wstring::npos ? 0 : slash + 1);
    std::wstring lower = name;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    if (lower.find(L"fail") != std::wstring::npos) {
      return Raise(info, L"The test engine refused " + source + L".\r\n",
                   MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3049));
    }
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return Raise(info, L"Database already exists.",
                   MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3204));
    }
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) {
      return Raise(info, L"Cannot write " + target + L".", HRESULT_FROM_WIN32(GetLastError()));
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Engine* engine = new Engine();
    const HRESULT hr = engine->QueryInterface(riid, out);
    engine->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else {
      --g_locks;
    }
    return S_OK;
  }
};

Factory g_factory;

bool SetValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

std::vector<std::wstring> ProgIds() {
  std::wstring list = Env(L"ORVELLE_TEST_PROGID");
  if (list.empty()) list = L"Orvelle.TestEngine";
  std::vector<std::wstring> ids;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(L';', start);
    if (end == std::wstring::npos) end = list.size();
    if (end > start) ids.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return (g_objects == 0 && g_locks == 0) ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  const std::wstring clsid_key = std::wstring(L"CLSID\\") + kClsidText;
  bool ok =
      SetValue(HKEY_CLASSES_ROOT, clsid_key, nullptr, L"Orvelle test engine") &&
      SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\InprocServer32", nullptr, path) &&
      SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  for (const std::wstring& id : ProgIds()) {
    ok = ok && SetValue(HKEY_CLASSES_ROOT, id, nullptr, L"Orvelle test engine") &&
         SetValue(HKEY_CLASSES_ROOT, id + L"\\CLSID", nullptr, kClsidText);
  }
  return ok ? S_OK : E_FAIL;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  for (const std::wstring& id : ProgIds()) RegDeleteTreeW(HKEY_CLASSES_ROOT, id.c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kClsidText).c_str());
  return S_OK;
}
