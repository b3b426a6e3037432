#include "ui/main_texts.h"

namespace orvelle {

TkxMainTexts MainTexts() {
  TkxMainTexts t;
  auto set = [&t](TkxAction a, const char* caption, const char* hint) {
    t.ActionCaption[static_cast<int>(a)] = caption;
    t.ActionHint[static_cast<int>(a)] = hint;
  };
  set(TkxAction::aOpen, "&Open", "Open a batch project");
  set(TkxAction::aNew, "&New", "New a batch project");
  set(TkxAction::aConfig, "Config", "Config the options of the batch project");
  set(TkxAction::aSave, "Sa&ve", "Save the batch project");
  set(TkxAction::aSaveAs, "Save &As", "Save the batch project as ...");
  set(TkxAction::aUpdate, "Check &Update", "");
  set(TkxAction::aHelp, "&Help", "");
  set(TkxAction::aHomePage, "Home", "");
  set(TkxAction::aSupports, "Support", "Send us e-mail for support");
  set(TkxAction::aAbout, "About", "");
  set(TkxAction::aSearch, "Search", "Search files from the source folder");
  set(TkxAction::aConvert, "&Convert", "Convert the file(s) instantly");
  set(TkxAction::aSearchConvert, "Start", "");
  set(TkxAction::aPause, "Pause", "");
  set(TkxAction::aStop, "Sto&p", "");
  set(TkxAction::aView, "View", "View the convert result");

  t.pSourceHint = "Choose or drag & drop source folder or file(s)";
  t.eSourceLabel = "&Source";
  t.bSourceCaption = "Folder";
  t.bSourceHint = "Choose a folder and click \"Search\" to list files";
  t.bSourceFileCaption = "Files";
  t.bSourceFileHint = "Choose file(s) and click \"Convert\" to convert them";
  t.cSubdirCaption = "Su&b folders";
  t.pTargetHint = "Choose or drag & drop target folder";
  t.eTargetLabel = "&Target";
  t.bTargetCaption = "Folder";
  t.bTargetHint = "Choose a target folder to save the converted file(s)";
  t.bCreateHint = t.Hint(TkxAction::aConvert);
  t.bViewHint = t.Hint(TkxAction::aView);
  t.lViewerHint = "Drag & drop file(s) here and click \"Convert\" to convert them";

  t.ColumnCaption = {"@", "File Name", "Result"};
  t.ColumnWidth = {30, 370, 370};

  t.BrowseFiles1 = "Browse Files";
  t.ViewSource1 = "View  Source";
  t.OpenSource1 = "Open Source";
  t.ViewOutput1 = "View  Output";
  t.ExportList1 = "Export the List";
  return t;
}

TkxMainTexts TessolyMainTexts() {
  TkxMainTexts t = MainTexts();
  t.ActionCaption[static_cast<int>(TkxAction::aConvert)] = "&Compact";
  t.bSourceFileHint = "Choose file(s) and click \"Compact\" to compact them";
  t.bTargetHint = "Choose a target folder to save the compacted file(s)";
  t.bCreateHint = "Compact the file(s) instantly";
  t.bViewHint = "View the compact result";
  t.lViewerHint = "Drag & drop file(s) here and click \"Compact\" to compact them";
  return t;
}

}  // namespace orvelle
