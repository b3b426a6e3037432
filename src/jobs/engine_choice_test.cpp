#include "jobs/engine_choice.h"

#include <gtest/gtest.h>

#include "jobs/native_engine.h"

namespace orvelle {
namespace {

struct Tagged : automation::Object {
  explicit Tagged(std::string id) : prog_id(std::move(id)) {}
  void Invoke(const std::string&, const automation::Args&) override {}
  std::string prog_id;
};

TEST(EngineChoice, ReadsTheOption) {
  const std::pair<const char*, EngineChoice> cases[] = {
      {"dao", EngineChoice::kDao},         {"DAO", EngineChoice::kDao},
      {" Native ", EngineChoice::kNative}, {"native", EngineChoice::kNative},
      {"auto", EngineChoice::kAuto},       {"", EngineChoice::kAuto},
      {"jet", EngineChoice::kAuto},
  };
  for (const auto& [text, choice] : cases) EXPECT_EQ(ParseEngineChoice(text), choice) << text;
}

TEST(EngineChoice, TriesTheEnginesInOrder) {
  const std::string k120 = "DAO.DBEngine.120", k36 = "DAO.DBEngine.36",
                    kNative = kNativeEngineProgId;
  struct Case {
    const char* option;
    std::vector<std::string> available;
    std::vector<std::string> tried;
    std::string chosen;  // empty: the creation error is expected
  };
  const Case cases[] = {
      {"dao", {k120, k36}, {k120}, k120},
      {"dao", {k36}, {k120, k36}, k36},
      {"dao", {kNative}, {k120, k36}, ""},
      {"native", {k120, k36, kNative}, {kNative}, kNative},
      {"auto", {k120, kNative}, {k120}, k120},
      {"auto", {k36, kNative}, {k120, k36}, k36},
      {"auto", {kNative}, {k120, k36, kNative}, kNative},
      {"", {kNative}, {k120, k36, kNative}, kNative},
      {"unknown", {k36, kNative}, {k120, k36}, k36},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " with " + std::to_string(c.available.size()));
    std::vector<std::string> tried;
    auto create = [&](const std::string& id) -> std::unique_ptr<automation::Object> {
      tried.push_back(id);
      for (const std::string& a : c.available) {
        if (a == id) return std::make_unique<Tagged>(id);
      }
      throw automation::AutomationError("Invalid class string, ProgID: \"" + id + "\"",
                                        static_cast<long>(0x800401F3));
    };
    if (c.chosen.empty()) {
      try {
        CreateCompactionEngine(c.option, create);
        ADD_FAILURE() << "an engine was created";
      } catch (const automation::AutomationError& e) {
        EXPECT_STREQ(e.what(), "Invalid class string, ProgID: \"DAO.DBEngine.36\"");
      }
    } else {
      auto object = CreateCompactionEngine(c.option, create);
      EXPECT_EQ(dynamic_cast<Tagged&>(*object).prog_id, c.chosen);
    }
    EXPECT_EQ(tried, c.tried);
  }
}

// The native choice goes through the seam: the engine registers itself and answers calls.
TEST(EngineChoice, NativeEngineIsRegisteredWithTheSeam) {
  auto engine = CreateCompactionEngine("native");
  try {
    engine->Invoke("Repair", {"a.mdb"});
    ADD_FAILURE() << "no error";
  } catch (const automation::AutomationError& e) {
    EXPECT_STREQ(e.what(), "The native engine has no method \"Repair\"");
  }
}

}  // namespace
}  // namespace orvelle
