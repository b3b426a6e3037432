#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation.h"
#include "platform/fs.h"
#include "platform/win32_util.h"
#include "test_support.h"

namespace orvelle::automation {
namespace {

using win32::Widen;

// The text a failure code must produce: the system's, or the fallback when it has none.
std::string CodeText(HRESULT hr) {
  std::string text = win32::SystemMessage(static_cast<DWORD>(hr));
  if (!text.empty()) return text;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "OLE error %.8x", static_cast<unsigned>(hr));
  return buffer;
}

std::string TestBinaryFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::string exe = win32::Narrow(path, n);
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

// Registers the stand-in engine built beside the test binary; empty on success, else why not.
std::string RegisterStandInEngine() {
  const std::string dll = TestBinaryFolder() + "orvelle_test_engine.dll";
  if (!fs::FileExists(dll)) return "the stand-in engine is not built beside the tests";
  SetEnvironmentVariableW(L"ORVELLE_TEST_PROGID", L"Orvelle.TestEngine");
  HMODULE module = LoadLibraryW(Widen(dll).c_str());
  if (module == nullptr) return "the stand-in engine does not load";
  auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  const HRESULT hr = reg != nullptr ? reg() : E_NOTIMPL;
  FreeLibrary(module);
  SetEnvironmentVariableW(L"ORVELLE_TEST_PROGID", nullptr);
  return SUCCEEDED(hr) ? std::string() : "the classes registry cannot be written here";
}

void ExpectFailure(Object& object, const std::string& method, const Args& args,
                   const std::string& message, long code) {
  try {
    object.Invoke(method, args);
    ADD_FAILURE() << method << ": no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(std::string(e.what()), message) << method;
    EXPECT_EQ(static_cast<unsigned long>(e.Code()), static_cast<unsigned long>(code)) << method;
  }
}

// Calls that go through real COM to the stand-in engine, which records what it received.
class ComEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { skip_reason_ = new std::string(RegisterStandInEngine()); }
  static void TearDownTestSuite() {
    delete skip_reason_;
    skip_reason_ = nullptr;
  }
  void SetUp() override {
    if (!skip_reason_->empty()) GTEST_SKIP() << *skip_reason_;
    dir_ = tmp_.Path() + "\\";
    log_ = dir_ + "calls.log";
    SetEnvironmentVariableW(L"ORVELLE_TEST_ENGINE_LOG", Widen(log_).c_str());
    InitThread();
  }
  void TearDown() override { SetEnvironmentVariableW(L"ORVELLE_TEST_ENGINE_LOG", nullptr); }
  std::string Calls() const { return fs::FileExists(log_) ? fs::ReadAll(log_) : std::string(); }

  static std::string* skip_reason_;
  test::ScopedTempDir tmp_;
  std::string dir_;
  std::string log_;
};
std::string* ComEngine::skip_reason_ = nullptr;

TEST_F(ComEngine, CompactDatabaseGetsItsArgumentsInOrder) {
  const std::string source = dir_ + "Ärger ü.mdb";
  fs::WriteAll(source, "database bytes");
  auto engine = Create("Orvelle.TestEngine");
  engine->Invoke("CompactDatabase", {source, dir_ + "two.mdb"});
  engine->Invoke("CompactDatabase",
                 {source, dir_ + "five.mdb", std::nullopt, std::nullopt, ";pwd=sécret"});
  EXPECT_EQ(Calls(), "CompactDatabase|" + source + "|" + dir_ + "two.mdb\r\n" + "CompactDatabase|" +
                         source + "|" + dir_ + "five.mdb|<omitted>|<omitted>|;pwd=sécret\r\n");
  EXPECT_EQ(fs::ReadAll(dir_ + "two.mdb"), "database bytes");
  EXPECT_EQ(fs::ReadAll(dir_ + "five.mdb"), "database bytes");
}

TEST_F(ComEngine, FailureTexts) {
  fs::WriteAll(dir_ + "will-fail.mdb", "x");
  fs::WriteAll(dir_ + "ok.mdb", "x");
  fs::WriteAll(dir_ + "taken.mdb", "x");
  auto engine = Create("orvelle.testengine");  // ProgIDs ignore letter case
  const long engine_code = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3049);
  struct Case {
    std::string method;
    Args args;
    std::string message;
    long code;
  };
  const std::vector<Case> cases = {
      // The engine's description ends in ".\r\n"; the message does not.
      {"CompactDatabase",
       {dir_ + "will-fail.mdb", dir_ + "out.mdb"},
       "The test engine refused " + dir_ + "will-fail.mdb",
       engine_code},
      {"CompactDatabase",
       {dir_ + "ok.mdb", dir_ + "taken.mdb"},
       "Database already exists",
       MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3204)},
      {"NoSuchMethod", {}, CodeText(DISP_E_UNKNOWNNAME), DISP_E_UNKNOWNNAME},
      {"CompactDatabase", {dir_ + "ok.mdb"}, CodeText(DISP_E_BADPARAMCOUNT), DISP_E_BADPARAMCOUNT},
      {"FailWithCode", {}, "OLE error 8004dead", static_cast<long>(0x8004DEADu)},
      // An exception without a description still says something.
      {"RaiseSilently", {}, CodeText(E_FAIL), E_FAIL},
  };
  for (const Case& c : cases) ExpectFailure(*engine, c.method, c.args, c.message, c.code);
  EXPECT_FALSE(fs::FileExists(dir_ + "out.mdb"));
}

TEST_F(ComEngine, CreationFailuresNameTheProgId) {
  // A ProgID whose class has no server behind it.
  const wchar_t kOrphan[] = L"{0B5E1F3A-6C2D-4E7F-8A9B-1C2D3E4F5A6B}";
  ASSERT_EQ(RegSetValueW(HKEY_CLASSES_ROOT, L"Orvelle.Orphan\\CLSID", REG_SZ, kOrphan, 0),
            ERROR_SUCCESS);
  const struct {
    const char* prog_id;
    HRESULT code;
    const char* text;
  } cases[] = {
      {"Orvelle.NoSuchEngine", CO_E_CLASSSTRING, "Invalid class string"},
      {"Orvelle.Orphan", REGDB_E_CLASSNOTREG, "Class not registered"},
  };
  for (const auto& c : cases) {
    try {
      Create(c.prog_id);
      ADD_FAILURE() << c.prog_id << " created";
    } catch (const AutomationError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string(c.text) + ", ProgID: \"" + std::string(c.prog_id) + "\"");
      EXPECT_EQ(static_cast<unsigned long>(e.Code()), static_cast<unsigned long>(c.code));
    }
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Orvelle.Orphan");
}

TEST_F(ComEngine, EveryThreadGetsItsOwnApartment) {
  fs::WriteAll(dir_ + "a.mdb", "a");
  fs::WriteAll(dir_ + "b.mdb", "b");
  std::vector<std::string> errors(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([this, i, &errors] {
      try {
        InitThread();
        InitThread();  // a second call is harmless
        const std::string name = i == 0 ? "a" : "b";
        Create("Orvelle.TestEngine")
            ->Invoke("CompactDatabase", {dir_ + name + ".mdb", dir_ + name + "-out.mdb"});
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(fs::ReadAll(dir_ + "a-out.mdb"), "a");
  EXPECT_EQ(fs::ReadAll(dir_ + "b-out.mdb"), "b");
}

class Recorder : public Object {
 public:
  explicit Recorder(std::vector<std::string>* calls) : calls_(calls) {}
  void Invoke(const std::string& method, const Args& args) override {
    std::string line = method;
    for (const auto& a : args) line += "|" + a.value_or("<omitted>");
    calls_->push_back(line);
    if (!args.empty() && args[0] == "full") throw ProviderError("Disk full. \r\n");
  }

 private:
  std::vector<std::string>* calls_;
};

TEST_F(ComEngine, ProvidersAreTriedBeforeCom) {
  std::vector<std::string> calls;
  RegisterProvider("Orvelle.TestEngine", [&calls] { return std::make_unique<Recorder>(&calls); });
  auto provided = Create("ORVELLE.TestEngine");
  provided->Invoke("CompactDatabase", {std::string("x"), std::nullopt});
  ExpectFailure(*provided, "CompactDatabase", {std::string("full")}, "Disk full", DISP_E_EXCEPTION);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"CompactDatabase|x|<omitted>", "CompactDatabase|full"}));
  EXPECT_EQ(Calls(), "") << "COM was not asked";

  RegisterProvider("Orvelle.Broken", []() -> std::unique_ptr<Object> {
    throw std::runtime_error("Engine files missing.");
  });
  RegisterProvider("Orvelle.Empty", [] { return std::unique_ptr<Object>(); });
  const struct {
    const char* prog_id;
    std::string message;
  } failures[] = {
      {"Orvelle.Broken", "Engine files missing, ProgID: \"Orvelle.Broken\""},
      {"Orvelle.Empty", "Invalid class string, ProgID: \"Orvelle.Empty\""},
  };
  for (const auto& f : failures) {
    try {
      Create(f.prog_id);
      ADD_FAILURE() << f.prog_id << " created";
    } catch (const AutomationError& e) {
      EXPECT_EQ(std::string(e.what()), f.message);
    }
  }
  UnregisterProvider("Orvelle.Broken");
  UnregisterProvider("Orvelle.Empty");
  UnregisterProvider("orvelle.testengine");

  fs::WriteAll(dir_ + "c.mdb", "c");
  Create("Orvelle.TestEngine")->Invoke("CompactDatabase", {dir_ + "c.mdb", dir_ + "d.mdb"});
  EXPECT_EQ(Calls(), "CompactDatabase|" + dir_ + "c.mdb|" + dir_ + "d.mdb\r\n");
}

TEST(AutomationWin32, TrimDescription) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"Done.", "Done"},
               {"Not found.\r\n", "Not found"},
               {"a.b. . \n", "a.b"},
               {"...", ""},
               {"", ""},
               {"x\t\x01", "x"},
               {"Stop!", "Stop!"},
               {"Größe.\r\n", "Größe"}};
  for (const auto& c : cases) EXPECT_EQ(TrimDescription(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace orvelle::automation
