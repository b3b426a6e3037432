#include <gtest/gtest.h>

#include "platform/automation.h"

namespace orvelle::automation {
namespace {

class Failing : public Object {
 public:
  explicit Failing(std::string text) : text_(std::move(text)) {}
  void Invoke(const std::string&, const Args&) override { throw ProviderError(text_); }

 private:
  std::string text_;
};

TEST(AutomationPosixTest, MissingClassFailsWithTheProgId) {
  try {
    Create("DAO.DBEngine.36");
    FAIL() << "created";
  } catch (const AutomationError& e) {
    EXPECT_STREQ(e.what(), "Invalid class string, ProgID: \"DAO.DBEngine.36\"");
    EXPECT_EQ(static_cast<unsigned long>(e.Code()) & 0xFFFFFFFFul, 0x800401F3ul);
  }
}

TEST(AutomationPosixTest, ProviderErrorsAreTrimmed) {
  RegisterProvider("Test.Failing", [] { return std::make_unique<Failing>("Disk full. \r\n.."); });
  auto object = Create("test.FAILING");  // ProgIDs ignore letter case
  try {
    object->Invoke("CompactDatabase", {std::string("a"), std::nullopt});
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_STREQ(e.what(), "Disk full");
  }
  UnregisterProvider("Test.Failing");
  EXPECT_THROW(Create("Test.Failing"), AutomationError);
}

TEST(AutomationPosixTest, TrimDescriptionTable) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"Done.", "Done"},     {"a.b. . \n", "a.b"},
               {"...", ""},           {"", ""},
               {"x\t\x01", "x"},      {"Not a database!", "Not a database!"},
               {"1.5 MB\n", "1.5 MB"}};
  for (const auto& c : cases) EXPECT_EQ(TrimDescription(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace orvelle::automation
