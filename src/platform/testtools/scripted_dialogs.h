// Test tool: a dialog service that answers the choosers from a script and records what each
// was shown. Install it with SetDialogs for the test's length.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace orvelle::testing {

class ScriptedDialogs : public DialogService {
 public:
  // Answers, first in first out, one per call of that chooser; when its queue is empty,
  // `answer` (when not empty) answers instead, else the chooser is cancelled.
  std::deque<std::string> folders, opens, saves;
  std::string answer;
  // When not empty, a cancelled open or save chooser leaves this in `current`, as a real one
  // may leave its text: the callers must not use it.
  std::string scribble;

  // Every call in order: "folder:START", "open:FILTER:CURRENT:single" (or ":multi"),
  // "save:FILTER:EXT:CURRENT".
  std::vector<std::string> shown;
  // What the calls of one chooser were given: the start folders, the open filters, or
  // "FILTER EXT" of the save calls.
  std::vector<std::string> folder_starts, open_filters, save_requests;

  std::string BrowseForFolder(const std::string& folder) override {
    shown.push_back("folder:" + folder);
    folder_starts.push_back(folder);
    std::string chosen;
    return Next(folders, chosen) ? chosen : folder;
  }
  bool SelectOpenFiles(const std::string& filter, std::string& current, bool multiple) override {
    shown.push_back("open:" + filter + ":" + current + (multiple ? ":multi" : ":single"));
    open_filters.push_back(filter);
    return Answer(opens, current);
  }
  bool SelectSaveFile(const std::string& filter, const std::string& default_ext,
                      std::string& current) override {
    shown.push_back("save:" + filter + ":" + default_ext + ":" + current);
    save_requests.push_back(filter + " " + default_ext);
    return Answer(saves, current);
  }

 private:
  bool Next(std::deque<std::string>& queue, std::string& chosen) {
    if (!queue.empty()) {
      chosen = queue.front();
      queue.pop_front();
      return true;
    }
    chosen = answer;
    return !answer.empty();
  }
  bool Answer(std::deque<std::string>& queue, std::string& current) {
    std::string chosen;
    if (!Next(queue, chosen)) {
      if (!scribble.empty()) current = scribble;
      return false;
    }
    current = chosen;
    return true;
  }
};

}  // namespace orvelle::testing
