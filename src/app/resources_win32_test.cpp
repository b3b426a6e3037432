#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring ProgramBesideTests() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring exe(path, n);
  return exe.substr(0, exe.find_last_of(L'\\') + 1) + L"Orvelle.exe";
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return std::wstring();
  }
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(ProgramResources, VersionIconAndManifest) {
  const std::wstring exe = ProgramBesideTests();
  ASSERT_NE(GetFileAttributesW(exe.c_str()), INVALID_FILE_ATTRIBUTES) << "Orvelle.exe not built";

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  EXPECT_EQ(fixed->dwFileVersionMS, (2026u << 16) | 18u);
  EXPECT_EQ(fixed->dwFileVersionLS, (1003u << 16) | 2686u);
  EXPECT_EQ(VersionString(info, L"ProductName"), L"Orvelle");
  EXPECT_EQ(VersionString(info, L"ProductVersion"), L"2026.18.1003.2686");
  EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"Orvelle.exe");

  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // group icon
  ASSERT_NE(icon, nullptr);
  // Five sizes, 16 to 64 pixels, each a 32-bit image.
  const auto* group = static_cast<const BYTE*>(LockResource(LoadResource(module, icon)));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group[4] | (group[5] << 8), 5);
  for (int i = 0; i < 5; ++i) {
    const BYTE* entry = group + 6 + 14 * i;
    EXPECT_EQ(entry[6] | (entry[7] << 8), 32) << "entry " << i;
  }
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)), nullptr)
      << "manifest";
  FreeLibrary(module);
}

}  // namespace
