#include <windows.h>

#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/dialogs_win32.h"
#include "platform/path.h"
#include "platform/win32_owner.h"
#include "platform/win32_util.h"

namespace orvelle {
namespace win32 {

std::wstring DialogFilter(const std::string& filter) {
  if (filter.empty()) return std::wstring();
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t bar = filter.find('|', start);
    items.push_back(filter.substr(start, bar == std::string::npos ? bar : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (items.size() % 2 != 0) items.push_back(items.back());
  std::wstring out;
  for (const std::string& item : items) {
    out += Widen(item);
    out += L'\0';
  }
  out += L'\0';
  return out;
}

std::string OpenInitialName(const std::string& current) {
  std::string name = current;
  for (char& c : name) {
    if (c == '?') c = '*';
  }
  return name;
}

std::string InitialFolder(const std::string& current) { return ExtractFilePath(current); }

std::wstring DefaultExtension(const std::string& ext) {
  return Widen(!ext.empty() && ext[0] == '.' ? ext.substr(1) : ext);
}

std::string MultiSelectResult(const wchar_t* buffer, size_t size) {
  std::vector<std::wstring> parts;
  size_t pos = 0;
  while (pos < size && buffer[pos] != L'\0') {
    size_t end = pos;
    while (end < size && buffer[end] != L'\0') ++end;
    parts.emplace_back(buffer + pos, end - pos);
    pos = end + 1;
  }
  std::string out;
  if (parts.size() == 1) return Narrow(parts[0]) + "\r\n";
  std::wstring folder = parts.empty() ? std::wstring() : parts[0];
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  for (size_t i = 1; i < parts.size(); ++i) out += Narrow(folder + parts[i]) + "\r\n";
  return out;
}

namespace {

// Large enough for a long multiple selection; the dialog refuses rather than truncates.
constexpr size_t kFileBufferChars = 65536;

// The newer folder dialog and the shell's views need an apartment on the calling thread.
class Apartment {
 public:
  Apartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  HRESULT hr_;
};

int CALLBACK PreselectFolder(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

std::vector<wchar_t> FileBuffer(const std::string& initial) {
  std::vector<wchar_t> buffer(kFileBufferChars, L'\0');
  const std::wstring w = Widen(initial);
  std::copy_n(w.begin(), std::min(w.size(), buffer.size() - 2), buffer.begin());
  return buffer;
}

class CommonDialogs : public DialogService {
 public:
  std::string BrowseForFolder(const std::string& folder) override {
    Apartment apartment;
    const std::wstring preselect = Widen(folder);
    BROWSEINFOW info = {};
    info.hwndOwner = static_cast<HWND>(OwnerWindow());
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    if (!folder.empty()) {
      info.lpfn = PreselectFolder;
      info.lParam = reinterpret_cast<LPARAM>(preselect.c_str());
    }
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
    if (item == nullptr) return folder;
    wchar_t path[MAX_PATH + 1] = {};
    const bool ok = SHGetPathFromIDListW(item, path) != FALSE;
    CoTaskMemFree(item);
    return ok ? Narrow(path) : folder;
  }

  bool SelectOpenFiles(const std::string& filter, std::string& current, bool multiple) override {
    Apartment apartment;
    const std::wstring filter_text = DialogFilter(filter);
    const std::wstring folder = Widen(InitialFolder(current));
    std::vector<wchar_t> buffer = FileBuffer(OpenInitialName(current));
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = static_cast<HWND>(OwnerWindow());
    ofn.lpstrFilter = filter_text.empty() ? nullptr : filter_text.c_str();
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_ENABLESIZING |
                OFN_EXPLORER | OFN_NOCHANGEDIR | (multiple ? OFN_ALLOWMULTISELECT : 0);
    if (!GetOpenFileNameW(&ofn)) return false;
    current = multiple ? MultiSelectResult(buffer.data(), buffer.size())
                       : Narrow(std::wstring(buffer.data()));
    return true;
  }

  bool SelectSaveFile(const std::string& filter, const std::string& default_ext,
                      std::string& current) override {
    Apartment apartment;
    const std::wstring filter_text = DialogFilter(filter);
    const std::wstring folder = Widen(InitialFolder(current));
    const std::wstring ext = DefaultExtension(default_ext);
    std::vector<wchar_t> buffer = FileBuffer(current);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = static_cast<HWND>(OwnerWindow());
    ofn.lpstrFilter = filter_text.empty() ? nullptr : filter_text.c_str();
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrDefExt = ext.empty() ? nullptr : ext.c_str();
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_ENABLESIZING |
                OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameW(&ofn)) return false;
    current = Narrow(std::wstring(buffer.data()));
    return true;
  }
};

CommonDialogs g_common;
std::atomic<DialogService*> g_service{nullptr};

}  // namespace
}  // namespace win32

DialogService& Dialogs() {
  DialogService* service = win32::g_service.load();
  return service != nullptr ? *service : win32::g_common;
}

void SetDialogs(DialogService* service) { win32::g_service.store(service); }

}  // namespace orvelle
