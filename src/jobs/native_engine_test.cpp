#include "jobs/native_engine.h"

#include <gtest/gtest.h>

#include "jet/checker.h"
#include "jet/database.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle {
namespace {

using automation::Args;
using orvelle::test::ReadBytes;
using orvelle::test::ScopedTempDir;
using orvelle::test::WriteBytes;

std::string Failure(automation::Object& engine, const Args& args) {
  try {
    engine.Invoke("CompactDatabase", args);
  } catch (const automation::AutomationError& e) {
    return e.what();
  }
  return "(no error)";
}

// The calls the compaction job makes, with and without the password argument.
TEST(NativeEngine, CompactsThroughTheAutomationSeam) {
  std::string fixture = jet::test::Fixture("V2000-test2V2000.mdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  ScopedTempDir tmp;
  std::string bytes = ReadBytes(fixture);
  std::string plain = tmp.Sub("plain.bak"), locked = tmp.Sub("locked.bak");
  WriteBytes(plain, bytes);
  jet::test::SetStoredPassword(bytes, "pa;ss");
  WriteBytes(locked, bytes);
  RegisterNativeEngine();
  auto engine = automation::Create(kNativeEngineProgId);

  engine->Invoke("CompactDatabase", {plain, tmp.Sub("plain.mdb")});
  EXPECT_EQ(Failure(*engine, {locked, tmp.Sub("locked.mdb")}), "Not a valid password");
  EXPECT_EQ(
      Failure(*engine, {locked, tmp.Sub("locked.mdb"), std::nullopt, std::nullopt, ";pwd=pa"}),
      "Not a valid password");
  engine->Invoke("CompactDatabase",
                 {locked, tmp.Sub("locked.mdb"), std::nullopt, std::nullopt, ";pwd=pa;ss"});
  for (const char* out : {"plain.mdb", "locked.mdb"}) {
    auto db = jet::Database::OpenFile(tmp.Sub(out));
    EXPECT_TRUE(jet::CheckDatabase(*db).Consistent()) << out;
    EXPECT_LT(ReadBytes(tmp.Sub(out)).size(), bytes.size()) << out;
  }
}

// The job gives DAO a copy of the source but lets the native engine read the source itself;
// that needs the engine recognised through the seam's wrapper.
TEST(NativeEngine, IsKnownThroughTheAutomationSeam) {
  RegisterNativeEngine();
  const auto native = automation::Create(kNativeEngineProgId);
  EXPECT_TRUE(IsNativeEngine(native.get()));
  automation::RegisterProvider("Orvelle.Test.Other", [] { return NewNativeEngine(); });
  EXPECT_TRUE(IsNativeEngine(automation::Create("Orvelle.Test.Other").get()));
  automation::UnregisterProvider("Orvelle.Test.Other");
  struct Other : automation::Object {
    void Invoke(const std::string&, const Args&) override {}
  } other;
  EXPECT_FALSE(IsNativeEngine(&other));
  EXPECT_FALSE(IsNativeEngine(nullptr));
}

TEST(NativeEngine, ReportsWhyNothingWasWritten) {
  ScopedTempDir tmp;
  WriteBytes(tmp.Sub("short.mdb"), std::string(8192, 'x'));
  RegisterNativeEngine();
  auto engine = automation::Create(kNativeEngineProgId);
  const std::string missing = tmp.Sub("missing.mdb"), bad = tmp.Sub("short.mdb");
  const std::string out = tmp.Sub("out.mdb");
  struct Case {
    Args args;
    std::string message;
  };
  const Case cases[] = {
      {{missing, out}, "Cannot compact \"" + missing + "\": cannot open the file for reading"},
      {{bad, out},
       "Cannot compact \"" + bad + "\": page 0: header: signature 0x78787878, expected 0x100"},
      {{bad}, "CompactDatabase needs the source and target names and at most five arguments"},
      {{bad, std::nullopt},
       "CompactDatabase needs the source and target names and at most five arguments"},
      {{bad, out, std::string(";LANGID=0x0409;CP=1252;COUNTRY=0")},
       "The native engine compacts without changing the locale or the format; the third and "
       "fourth arguments must be omitted"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Failure(*engine, c.args), c.message);
    EXPECT_FALSE(orvelle::test::Exists(out));
  }
}

}  // namespace
}  // namespace orvelle
