#include "ui/main_texts.h"

#include <gtest/gtest.h>

namespace orvelle {
namespace {

TEST(UiMainTexts, TheCompactionWindowRenamesConvert) {
  const TkxMainTexts base = MainTexts();
  const TkxMainTexts t = TessolyMainTexts();
  EXPECT_EQ(base.Caption(TkxAction::aConvert), "&Convert");
  EXPECT_EQ(t.Caption(TkxAction::aConvert), "&Compact");
  EXPECT_EQ(t.bSourceFileHint, "Choose file(s) and click \"Compact\" to compact them");
  EXPECT_EQ(t.bTargetHint, "Choose a target folder to save the compacted file(s)");
  EXPECT_EQ(t.bCreateHint, "Compact the file(s) instantly");
  EXPECT_EQ(t.bViewHint, "View the compact result");
  EXPECT_EQ(t.lViewerHint, "Drag & drop file(s) here and click \"Compact\" to compact them");
  EXPECT_EQ(base.bCreateHint, "Convert the file(s) instantly");
  EXPECT_EQ(t.Caption(TkxAction::aStop), "Sto&p");
  EXPECT_EQ(t.ViewSource1, "View  Source");
}

}  // namespace
}  // namespace orvelle
