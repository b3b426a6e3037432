#include "project/prop_list.h"

#include <gtest/gtest.h>

#include "project/testtools/fake_control.h"

namespace orvelle {
namespace {

TEST(PropListTest, CheckBoxTakesOnlyMemberNames) {
  struct Case {
    const char* value;
    bool before;
    bool after;
  };
  const Case cases[] = {
      {"1", false, false},   {"1", true, true},      {"", true, false},   {"true", false, true},
      {"TRUE", false, true}, {"False", true, false}, {"yes", true, true}, {"True ", false, false},
  };
  for (const auto& c : cases) {
    test::FakeControl box("cSubdir", "Checked");
    box.checked = c.before;
    TkxPropList(&box).SetProp("checked", c.value);
    EXPECT_EQ(box.checked, c.after) << '"' << c.value << '"';
  }
}

TEST(PropListTest, GetPropGivesMemberNameOrText) {
  test::FakeControl box("cSubdir", "Checked");
  TkxPropList box_props(&box);
  EXPECT_EQ(box_props.GetProp("Checked"), "False");
  box.checked = true;
  EXPECT_EQ(box_props.GetProp("CHECKED"), "True");

  test::FakeControl edit("eSource", "Text");
  TkxPropList edit_props(&edit);
  edit_props.SetProp("text", "D:\\Db\\*.mdb");
  EXPECT_EQ(edit.text, "D:\\Db\\*.mdb");
  EXPECT_EQ(edit_props.GetProp("Text"), "D:\\Db\\*.mdb");
  EXPECT_EQ(edit_props.GetProp("Name"), "eSource");
  edit_props.SetProp("Text", "");
  EXPECT_EQ(edit.text, "");
}

TEST(PropListTest, MissingPropertiesAndFailuresAreSwallowed) {
  test::FakeControl edit("eTarget", "Text");
  edit.text = "keep";
  TkxPropList props(&edit);
  EXPECT_EQ(props.GetProp("Caption"), "");
  props.SetProp("Caption", "x");
  EXPECT_EQ(edit.text, "keep");

  edit.fail = true;
  EXPECT_EQ(props.GetProp("Text"), "");
  props.SetProp("Text", "x");
  edit.fail = false;
  EXPECT_EQ(edit.text, "keep");

  TkxPropList none(nullptr);
  EXPECT_EQ(none.GetProp("Text"), "");
  none.SetProp("Text", "x");
}

}  // namespace
}  // namespace orvelle
