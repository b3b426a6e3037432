#include "jobs/engine_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// A run tries the engines once: later files get a new object of the engine chosen first, and
// a choice that failed fails every file alike without trying again.
TEST(EngineChoice, RunEngineChoosesOnceAndMakesAnObjectPerFile) {
  const std::string k120 = "DAO.DBEngine.120", k36 = "DAO.DBEngine.36";
  const struct {
    const char* option;
    std::vector<std::string> available;
    std::vector<std::string> tried;  // over three files
  } cases[] = {
      {"auto", {k36}, {k120, k36, k36, k36}},
      {"auto", {}, {k120, k36, kNativeEngineProgId, kNativeEngineProgId, kNativeEngineProgId}},
      {"dao", {}, {k120, k36}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    std::vector<std::string> tried;
    TkxRunEngine run(c.option, [&](const std::string& id) -> std::unique_ptr<automation::Object> {
      tried.push_back(id);
      const bool there = id == kNativeEngineProgId ||
                         std::find(c.available.begin(), c.available.end(), id) != c.available.end();
      if (!there) throw automation::AutomationError("no " + id, static_cast<long>(0x800401F3));
      return std::make_unique<Tagged>(id);
    });
    std::vector<std::unique_ptr<automation::Object>> objects;
    for (int file = 0; file < 3; ++file) {
      try {
        objects.push_back(run.Create());
      } catch (const automation::AutomationError& e) {
        EXPECT_STREQ(e.what(), "no DAO.DBEngine.36");
      }
    }
    EXPECT_EQ(tried, c.tried);
    if (!objects.empty()) {
      ASSERT_EQ(objects.size(), 3u);
      EXPECT_NE(objects[0], objects[1]);
      EXPECT_NE(objects[1], objects[2]);
    }
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
