// The Windows entry point of the GUI program: the command line arrives as UTF-16 and is handed
// to the start-up as UTF-8, like every other text inside the program.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "app/app.h"

namespace {

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; wargv != nullptr && i < argc; ++i) args.push_back(Utf8(wargv[i]));
  if (wargv != nullptr) LocalFree(wargv);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return orvelle::RunApplication(static_cast<int>(args.size()), argv.data());
}
