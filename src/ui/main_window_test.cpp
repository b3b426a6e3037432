#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "batch/batch.h"
#include "jobs/tessoly.h"
#include "jobs/testtools/stand_in_engine.h"
#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/shell.h"
#include "platform/testtools/scripted_dialogs.h"
#include "platform/text.h"
#include "platform/ui_thread.h"
#include "product/info.h"
#include "project/match.h"
#include "project/project.h"
#include "test_support.h"
#include "ui/cfg_window.h"
#include "ui/main_texts.h"
#include "ui/testtools/ui_stand_ins.h"

namespace orvelle {
namespace {

using testing::ScriptedDialogs;
using testing::StandInDispatcher;
using testing::StandInEngine;
using testing::StandInMainView;

// Holds the engine's calls for chosen files until the test opens the gate.
class Gate {
 public:
  void Hold(const std::string& file_stem) {
    std::lock_guard<std::mutex> lock(mu_);
    held_.insert(file_stem);
  }
  void Arrive(const automation::Args& args) {
    const std::string name = args.empty() || !args[0] ? "" : ExtractFileName(*args[0]);
    std::unique_lock<std::mutex> lock(mu_);
    const std::string stem = name.substr(0, name.find('.'));
    if (!held_.count(stem)) return;
    ++waiting_;
    cv_.notify_all();
    // Wakes a test that pumps the UI queue while it waits for this arrival.
    if (UiDispatcher* ui = Ui()) ui->Post([] {});
    cv_.wait(lock, [&] { return open_; });
  }
  // True once `count` held calls are waiting (pumped by the caller while it waits).
  int Waiting() {
    std::lock_guard<std::mutex> lock(mu_);
    return waiting_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::set<std::string> held_;
  int waiting_ = 0;
  bool open_ = false;
};

class FrmMainTest : public ::testing::Test {
 protected:
  FrmMainTest() {
    const std::string exe = Sub("program/orvelle");
    test::WriteBytes(exe, "program");
    project_ = std::make_unique<TkxProject>(exe, "");
    project_->JobClass = &TkxTessoly::Create;
    project_->DefaultMask = "*.*db";
    project_->SourceFilter = "Access Database (*.mdb;*.accdb)|*.mdb;*.accdb";
    project_->ShortName = "tessoly";
    project_->ProjectExt = ".batch-tessoly";
    project_->ProjectFilter = "Orvelle Project|*.batch-tessoly";
    project_->Title = "Orvelle";
    project_->Version = "1.2";
    project_->OverwriteDefault = false;
    project_->TargetDelimiter = kPathDelim;
    info_ = std::make_unique<TkxInfo>(exe);
    saved_ = {kxProject, kxInfo, kxMatch};
    kxProject = project_.get();
    kxInfo = info_.get();
    kxMatch = &match_;
    SetDialogs(&dialogs_);
    shell::SetOpenerForTesting([this](const std::string& target) { opened_.push_back(target); });
    engine_.OnCall([this](const automation::Args& args) { gate_.Arrive(args); });
    frm_ = std::make_unique<TkxFrmTessolyMain>(view_, *project_, info_.get());
    frm_->FormCreate();
  }
  ~FrmMainTest() override {
    gate_.Open();
    if (frm_ && frm_->Busy()) ui_.PumpUntil([this] { return !frm_->Busy(); });
    frm_->FormDestroy();
    frm_.reset();
    ui_.RunPending();
    shell::SetOpenerForTesting(nullptr);
    SetDialogs(nullptr);
    kxProject = saved_.project;
    kxInfo = saved_.info;
    kxMatch = saved_.match;
  }

  // A path under the temporary folder; "/" in `relative` stands for the platform delimiter.
  std::string Sub(std::string relative) const {
    for (char& c : relative) {
      if (c == '/') c = kPathDelim;
    }
    return tmp_.Sub(relative);
  }
  std::string Dir(const std::string& relative) const { return Sub(relative) + kPathDelim; }
  std::string MakeDb(const std::string& relative) {
    const std::string path = Sub(relative);
    test::WriteBytes(path, "database " + relative);
    return path;
  }
  // Three databases a, b, c in db/ and the window pointed at them.
  void PointAtThree(int threads) {
    for (const char* name : {"db/a.mdb", "db/b.mdb", "db/c.mdb"}) MakeDb(name);
    view_.source = Dir("db") + "*.mdb";
    view_.target = Dir("out");
    project_->Options().SetValue("ThreadsCount", std::to_string(threads));
  }
  // Lists the files (in the file system's order) and holds the one the first job will take.
  void ListAndHoldFirst() {
    frm_->Execute(TkxAction::aSearch);
    frm_->Batch()->WaitFor();
    ui_.RunPending();
    ASSERT_GT(frm_->RowCount(), 0);
    const std::string name = ExtractFileName(frm_->Row(0).Path);
    gate_.Hold(name.substr(0, name.find('.')));
  }
  std::vector<std::string> SortedPaths() const {
    std::vector<std::string> out = Paths();
    std::sort(out.begin(), out.end());
    return out;
  }
  void PumpUntilIdle() {
    ASSERT_TRUE(ui_.PumpUntil([this] { return !frm_->Busy(); }));
  }
  void PumpUntilHeld(int count) {
    ASSERT_TRUE(ui_.PumpUntil([this, count] { return gate_.Waiting() >= count; }));
  }
  std::vector<std::string> Images() const {
    std::vector<std::string> out;
    for (int i = 0; i < frm_->RowCount(); ++i) out.push_back(StateWord(frm_->Row(i).Image));
    return out;
  }
  std::vector<std::string> Paths() const {
    std::vector<std::string> out;
    for (int i = 0; i < frm_->RowCount(); ++i) out.push_back(frm_->Row(i).Path);
    return out;
  }
  void ExpectIdleLook() {
    EXPECT_EQ(frm_->RunState(), TkxRunState::Idle);
    EXPECT_TRUE(view_.Enabled(TkxAction::aSearch));
    EXPECT_TRUE(view_.Enabled(TkxAction::aConvert));
    EXPECT_EQ(view_.Shows(TkxButton::bCreate), TkxAction::aConvert);
    EXPECT_FALSE(view_.SearchConvertVisible());
  }
  void ExpectRunningLook() {
    EXPECT_EQ(frm_->RunState(), TkxRunState::Running);
    EXPECT_FALSE(view_.Enabled(TkxAction::aSearch));
    EXPECT_FALSE(view_.Enabled(TkxAction::aConvert));
    EXPECT_FALSE(view_.Enabled(TkxAction::aSearchConvert));
    EXPECT_EQ(view_.Shows(TkxButton::bCreate), TkxAction::aPause);
    EXPECT_TRUE(view_.Enabled(TkxAction::aPause));
    EXPECT_EQ(view_.Shows(TkxButton::bSearchConvert), TkxAction::aStop);
    EXPECT_TRUE(view_.Enabled(TkxAction::aStop));
  }

  test::ScopedTempDir tmp_;
  std::unique_ptr<TkxProject> project_;
  std::unique_ptr<TkxInfo> info_;
  TkxMatch match_;
  struct {
    TkxProject* project;
    TkxInfo* info;
    TkxMatchBase* match;
  } saved_{};
  ScriptedDialogs dialogs_;
  std::vector<std::string> opened_;
  StandInEngine engine_;
  Gate gate_;
  StandInDispatcher ui_;
  StandInMainView view_;
  std::unique_ptr<TkxFrmMain> frm_;
};

TEST_F(FrmMainTest, CaptionFollowsTheProjectFile) {
  EXPECT_EQ(view_.caption, "Orvelle - " + project_->DefaultProjectPath());
  frm_->Execute(TkxAction::aNew);
  EXPECT_EQ(view_.caption, "Orvelle - None");
}

TEST_F(FrmMainTest, CreationBindsTheControlsAndShowsTheDefaultProject) {
  test::WriteBytes(project_->DefaultProjectPath(),
                   "Source=" + Dir("db") + "*.mdb\r\nSubdir=True\r\nTarget=" + Dir("out") + "\r\n");
  StandInMainView view;
  TkxFrmMain frm(view, *project_, info_.get());
  frm.FormCreate();
  EXPECT_EQ(view.source, Dir("db") + "*.mdb");
  EXPECT_TRUE(view.subdir);
  EXPECT_EQ(view.target, Dir("out"));
  EXPECT_EQ(view.caption, "Orvelle - " + project_->DefaultProjectPath());
}

// --- Target correction ---

struct TargetCase {
  const char* name;
  const char* target;    // under the temporary folder; "" leaves the field empty
  const char* expected;  // the field afterwards, under the temporary folder; "" for empty
  bool runs;
};

class FrmTargetTest : public FrmMainTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(FrmTargetTest, ConvertCorrectsTheTarget) {
  const TargetCase& c = GetParam();
  MakeDb("db/a.mdb");
  MakeDb("out/existing.mdb");
  view_.source = Dir("db") + "*.mdb";
#ifdef _WIN32
  // A drive colon comes first there, so a later colon never counts.
  if (std::string(c.name) == "ColonAfterTenthCharacter") GTEST_SKIP();
#endif
  view_.target = std::string(c.target).empty() ? "" : Sub(c.target);
  frm_->Execute(TkxAction::aConvert);
  EXPECT_EQ(view_.target, std::string(c.expected).empty() ? "" : Sub(c.expected));
  EXPECT_EQ(frm_->Busy(), c.runs);
  if (c.runs) {
    PumpUntilIdle();
    EXPECT_TRUE(fs::DirectoryExists(view_.target));
    EXPECT_EQ(Images(), std::vector<std::string>{"Success"});
  } else {
    EXPECT_EQ(view_.focus, std::vector<TkxField>{TkxField::eTarget});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FrmTargetTest,
    ::testing::Values(TargetCase{"ExistingFile", "out/existing.mdb", "out/", true},
                      TargetCase{"Wildcard", "out/*.mdb", "out/", true},
                      TargetCase{"QuestionMarkTwoLevels", "out/x?/y", "out/", true},
                      TargetCase{"MissingFolderGetsDelimiter", "new/data", "new/data/", true},
                      TargetCase{"ColonAfterTenthCharacter", "out/a:b", "out/", true},
                      TargetCase{"Empty", "", "", false}),
    [](const ::testing::TestParamInfo<TargetCase>& p) { return p.param.name; });

TEST_F(FrmMainTest, BareWildcardTargetLeavesNothingAndStartsNoRun) {
  MakeDb("db/a.mdb");
  view_.source = Dir("db") + "*.mdb";
  view_.target = "*.mdb";
  frm_->Execute(TkxAction::aConvert);
  EXPECT_EQ(view_.target, "");
  EXPECT_FALSE(frm_->Busy());
  EXPECT_EQ(frm_->Batch(), nullptr);
  EXPECT_EQ(view_.focus, std::vector<TkxField>{TkxField::eTarget});
}

// --- Run states ---

class FrmRunStateTest : public FrmMainTest, public ::testing::WithParamInterface<int> {};

TEST_P(FrmRunStateTest, IdleReturnsOnlyWhenTheLastJobHasEnded) {
  const int threads = GetParam();
  PointAtThree(threads);
  ExpectIdleLook();
  gate_.Hold("c");
  frm_->Execute(TkxAction::aConvert);
  ASSERT_TRUE(frm_->Busy());
  EXPECT_EQ(frm_->WorkersLeft(), threads);
  ExpectRunningLook();
  // Every job but the one holding c runs dry and ends; the window must keep running.
  PumpUntilHeld(1);
  ASSERT_TRUE(ui_.PumpUntil([&] { return frm_->WorkersLeft() == 1; }));
  ExpectRunningLook();
  gate_.Open();
  PumpUntilIdle();
  ExpectIdleLook();
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Success", "Success"}));
  EXPECT_EQ(info_->GetState("C"), "1");
  EXPECT_EQ(info_->GetState("A"), "3");
  EXPECT_EQ(info_->GetState("S"), "3");
  EXPECT_EQ(info_->GetState("F"), "0");
}

INSTANTIATE_TEST_SUITE_P(Workers, FrmRunStateTest, ::testing::Values(1, 3));

TEST_F(FrmMainTest, PauseThenConvertContinuesWithTheFilesLeft) {
  PointAtThree(1);
  ListAndHoldFirst();
  frm_->Execute(TkxAction::aConvert);
  PumpUntilHeld(1);
  frm_->Execute(TkxAction::aPause);
  EXPECT_EQ(frm_->RunState(), TkxRunState::Pausing);
  EXPECT_EQ(view_.Shows(TkxButton::bCreate), TkxAction::aPause);
  EXPECT_FALSE(view_.Enabled(TkxAction::aPause));
  EXPECT_EQ(view_.Shows(TkxButton::bSearchConvert), TkxAction::aStop);
  EXPECT_FALSE(view_.Enabled(TkxAction::aStop));
  gate_.Open();
  PumpUntilIdle();
  ExpectIdleLook();
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Running", "Running"}));
  TkxBatch* paused = frm_->Batch();
  const int clears = view_.clears;

  frm_->Execute(TkxAction::aConvert);
  PumpUntilIdle();
  EXPECT_EQ(frm_->Batch(), paused);
  EXPECT_EQ(view_.clears, clears);
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Success", "Success"}));
  EXPECT_EQ(engine_.Calls().size(), 3u);
}

TEST_F(FrmMainTest, StopThenConvertSearchesAfresh) {
  PointAtThree(1);
  ListAndHoldFirst();
  frm_->Execute(TkxAction::aConvert);
  PumpUntilHeld(1);
  frm_->Execute(TkxAction::aStop);
  EXPECT_EQ(frm_->RunState(), TkxRunState::Stopping);
  EXPECT_TRUE(frm_->Stopped());
  gate_.Open();
  PumpUntilIdle();
  ExpectIdleLook();
  EXPECT_EQ(frm_->Batch(), nullptr);
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Running", "Running"}));
  const int clears = view_.clears;

  frm_->Execute(TkxAction::aConvert);
  EXPECT_EQ(view_.clears, clears + 1);
  PumpUntilIdle();
  EXPECT_EQ(frm_->RowCount(), 3);
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Success", "Success"}));
}

TEST_F(FrmMainTest, ConvertAfterACompleteRunSearchesAgain) {
  PointAtThree(2);
  frm_->Execute(TkxAction::aConvert);
  PumpUntilIdle();
  const int clears = view_.clears;
  frm_->Execute(TkxAction::aConvert);
  EXPECT_EQ(view_.clears, clears + 1);
  PumpUntilIdle();
  EXPECT_EQ(frm_->RowCount(), 3);
  EXPECT_EQ(info_->GetState("C"), "2");
  EXPECT_EQ(info_->GetState("A"), "6");
}

TEST_F(FrmMainTest, ConvertAfterACompleteRunWithNoSourceDoesNotReportTheOldRunAgain) {
  PointAtThree(1);
  frm_->Execute(TkxAction::aConvert);
  PumpUntilIdle();
  view_.source.clear();
  frm_->Execute(TkxAction::aConvert);
  EXPECT_FALSE(frm_->Busy());
  EXPECT_EQ(view_.focus, std::vector<TkxField>{TkxField::eSource});
  EXPECT_EQ(info_->GetState("A"), "3");
  EXPECT_EQ(info_->GetState("C"), "1");
}

TEST_F(FrmMainTest, CommandsThatWouldReplaceTheBatchAreRefusedDuringARun) {
  PointAtThree(1);
  gate_.Hold("a");
  frm_->Execute(TkxAction::aConvert);
  TkxBatch* running = frm_->Batch();
  dialogs_.opens.push_back(MakeDb("other/x.mdb"));
  frm_->bSourceFileClick();
  frm_->DropFiles(TkxDropTarget::lViewer, {MakeDb("other/y.mdb")});
  frm_->Execute(TkxAction::aSearch);
  frm_->aSearchExecute();
  frm_->aConvertExecute();
  EXPECT_EQ(frm_->Batch(), running);
  EXPECT_EQ(dialogs_.open_filters.size(), 0u);
  EXPECT_EQ(info_->GetState("C"), "1");
  gate_.Open();
  PumpUntilIdle();
  EXPECT_EQ(SortedPaths(),
            (std::vector<std::string>{Sub("db/a.mdb"), Sub("db/b.mdb"), Sub("db/c.mdb")}));
}

TEST_F(FrmMainTest, ClosingDuringARunStopsItAndClosesAfterTheLastJob) {
  PointAtThree(3);
  gate_.Hold("a");
  frm_->Execute(TkxAction::aConvert);
  PumpUntilHeld(1);
  EXPECT_FALSE(frm_->FormCloseQuery());
  EXPECT_EQ(frm_->RunState(), TkxRunState::Stopping);
  EXPECT_EQ(view_.closed, 0);
  gate_.Open();
  PumpUntilIdle();
  EXPECT_EQ(view_.closed, 1);
  EXPECT_TRUE(frm_->FormCloseQuery());
}

// --- Search ---

TEST_F(FrmMainTest, HttpSourceListsOneRowAndSearchesNothing) {
  view_.source = "http://example.invalid/a.mdb";
  view_.target = Dir("out");
  frm_->Execute(TkxAction::aSearch);
  EXPECT_EQ(Paths(), std::vector<std::string>{"http://example.invalid/a.mdb"});
  EXPECT_EQ(frm_->Batch()->Count(), 1);
  EXPECT_TRUE(frm_->Batch()->SearchDone());
}

TEST_F(FrmMainTest, SearchWithAnEmptySourceFocusesItEvenWhenFocusFails) {
  view_.focus_fails = true;
  frm_->Execute(TkxAction::aSearch);
  EXPECT_EQ(view_.focus, std::vector<TkxField>{TkxField::eSource});
  EXPECT_EQ(frm_->Batch(), nullptr);
}

TEST_F(FrmMainTest, SearchWithoutATargetReachesTheHookAndKeepsNoBatch) {
  MakeDb("db/a.mdb");
  view_.source = Dir("db") + "*.mdb";
  EXPECT_THROW(frm_->aSearchExecute(), fs::FileError);
  EXPECT_EQ(frm_->Batch(), nullptr);
  EXPECT_EQ(view_.row_count, 0);
}

TEST_F(FrmMainTest, SearchConvertSearchesThenRuns) {
  PointAtThree(1);
  frm_->Execute(TkxAction::aSearchConvert);
  EXPECT_TRUE(frm_->Busy());
  PumpUntilIdle();
  EXPECT_EQ(Images(), (std::vector<std::string>{"Success", "Success", "Success"}));
}

// --- Choosers ---

TEST_F(FrmMainTest, FolderButtonAddsTheMaskAndSuggestsTheTarget) {
  view_.source = Sub("db/x.mdb");
  frm_->bSourceClick();  // cancelled
  EXPECT_EQ(dialogs_.folder_starts, std::vector<std::string>{Dir("db")});
  EXPECT_EQ(view_.source, Dir("db") + "*.*db");
  EXPECT_EQ(view_.target, Dir("db"));

  view_.source.clear();
  frm_->bSourceClick();  // cancelled from nothing
  EXPECT_EQ(view_.source, std::string(1, kPathDelim) + "*.*db");
  EXPECT_EQ(view_.target, Dir("db"));

  dialogs_.folders.push_back(Sub("chosen"));
  frm_->bSourceClick();
  EXPECT_EQ(view_.source, Dir("chosen") + "*.*db");
}

TEST_F(FrmMainTest, FilesButtonListsEveryChosenFile) {
  const std::string a = MakeDb("db/a.mdb");
  const std::string b = MakeDb("db/b.mdb");
  view_.source = "typed";
  dialogs_.opens.push_back(a + "\r\n" + b + "\r\n");
  frm_->bSourceFileClick();
  EXPECT_EQ(dialogs_.open_filters, std::vector<std::string>{project_->SourceFilter});
  EXPECT_EQ(view_.source, "typed");
  EXPECT_EQ(Paths(), (std::vector<std::string>{a, b}));
  EXPECT_EQ(view_.target, Dir("db"));

  dialogs_.opens.push_back(" " + b + "\r\n");
  frm_->bSourceFileClick();
  EXPECT_EQ(view_.source, b);
  EXPECT_EQ(Paths(), std::vector<std::string>{b});

  const int clears = view_.clears;
  frm_->bSourceFileClick();  // cancelled
  EXPECT_EQ(view_.clears, clears);
  EXPECT_EQ(Paths(), std::vector<std::string>{b});
}

TEST_F(FrmMainTest, TargetButtonKeepsItsTextWhenCancelled) {
  view_.target = Sub("out");
  frm_->bTargetClick();
  EXPECT_EQ(view_.target, Dir("out"));
  dialogs_.folders.push_back(Sub("elsewhere"));
  frm_->bTargetClick();
  EXPECT_EQ(view_.target, Dir("elsewhere"));
  view_.target.clear();
  frm_->bTargetClick();
  EXPECT_EQ(view_.target, "");
}

// --- Drops ---

struct DropCase {
  const char* name;
  TkxDropTarget target;
  std::vector<std::string> files;  // relative; ".batch-tessoly" names are projects
  std::vector<std::string> rows;   // relative paths listed afterwards
  const char* source;              // relative; "" unchanged
  bool opens_project;
};

class FrmDropTest : public FrmMainTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(FrmDropTest, DropsAreRoutedByTheControlUnderThem) {
  const DropCase& c = GetParam();
  test::WriteBytes(Sub("jobs/p.batch-tessoly"), "Target=" + Dir("fromproject") + "\r\n");
  const std::string before = MakeDb("old/z.mdb");
  dialogs_.opens.push_back(before);
  frm_->bSourceFileClick();  // one row that a drop may replace
  view_.target.clear();
  view_.source = "before";
  const int clears = view_.clears;

  std::vector<std::string> paths;
  for (const auto& f : c.files)
    paths.push_back(f.find(".batch-") != std::string::npos ? Sub(f) : MakeDb(f));
  frm_->DropFiles(c.target, paths);

  std::vector<std::string> expected_rows;
  for (const auto& r : c.rows) expected_rows.push_back(Sub(r));
  EXPECT_EQ(Paths(), expected_rows);
  EXPECT_EQ(
      view_.clears,
      clears +
          (c.target == TkxDropTarget::lViewer && !c.opens_project && !c.files.empty() ? 1 : 0));
  if (c.opens_project) {
    EXPECT_EQ(view_.caption, "Orvelle - " + Sub("jobs/p.batch-tessoly"));
    EXPECT_EQ(view_.target, Dir("fromproject"));
    EXPECT_EQ(view_.source, "");  // the project has no source
  } else {
    EXPECT_EQ(view_.source, std::string(c.source).empty() ? "before" : Sub(c.source));
    EXPECT_EQ(view_.caption, "Orvelle - " + project_->DefaultProjectPath());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drops, FrmDropTest,
    ::testing::Values(
        DropCase{"ThreeFilesOnTheList",
                 TkxDropTarget::lViewer,
                 {"d1/a.mdb", "d2/b.mdb", "d1/c.mdb"},
                 {"d1/a.mdb", "d2/b.mdb", "d1/c.mdb"},
                 "",
                 false},
        DropCase{"TwoFilesOnTheSource",
                 TkxDropTarget::eSource,
                 {"d1/a.mdb", "d2/b.mdb"},
                 {"old/z.mdb"},
                 "d1/a.mdb",
                 false},
        DropCase{"ProjectOnTheList",
                 TkxDropTarget::lViewer,
                 {"jobs/p.batch-tessoly"},
                 {"old/z.mdb"},
                 "",
                 true},
        DropCase{"ProjectOnTheSource",
                 TkxDropTarget::eSource,
                 {"jobs/p.batch-tessoly"},
                 {"old/z.mdb"},
                 "",
                 true},
        DropCase{"ProjectAmongFilesIsListed",
                 TkxDropTarget::lViewer,
                 {"d1/a.mdb", "jobs/p.batch-tessoly"},
                 {"d1/a.mdb", "jobs/p.batch-tessoly"},
                 "",
                 false},
        DropCase{"FilesOnAButton", TkxDropTarget::None, {"d1/a.mdb"}, {"old/z.mdb"}, "", false}),
    [](const ::testing::TestParamInfo<DropCase>& p) { return p.param.name; });

TEST_F(FrmMainTest, DropOnTheTargetSetsItAndOnAnEmptyTargetSuggestsTheFolder) {
  const std::string a = MakeDb("d1/a.mdb");
  frm_->DropFiles(TkxDropTarget::eSource, {a});
  EXPECT_EQ(view_.target, Dir("d1"));
  frm_->DropFiles(TkxDropTarget::eTarget, {Sub("out")});
  EXPECT_EQ(view_.target, Sub("out"));
}

// --- Rows ---

TEST_F(FrmMainTest, RowsStayInNodeOrderWhenNoticesArriveOutOfOrder) {
  dialogs_.opens.push_back(MakeDb("d/a.mdb"));
  frm_->bSourceFileClick();
  TkxBatch* batch = frm_->Batch();
  TkxNodeEvent on_add = batch->OnAdd;
  batch->OnAdd = nullptr;
  batch->AddFile(MakeDb("d/b.mdb"));
  batch->AddFile(MakeDb("d/c.mdb"));
  batch->AddFile(MakeDb("d/e.mdb"));
  std::vector<TkxNode*> nodes;
  for (const auto& node : batch->LockNodes()) nodes.push_back(node.get());
  batch->UnlockNodes();
  ASSERT_EQ(nodes.size(), 4u);

  on_add(batch, nodes[3]);
  on_add(batch, nodes[1]);
  ui_.RunPending();
  EXPECT_EQ(Paths(), (std::vector<std::string>{Sub("d/a.mdb"), Sub("d/b.mdb"), Sub("d/c.mdb"),
                                               Sub("d/e.mdb")}));
  EXPECT_EQ(view_.row_count, 4);

  // A late listing notice after the result never takes the row back to "Running".
  batch->Decide(nodes[2], StateFailure, "broken");
  on_add(batch, nodes[2]);
  ui_.RunPending();
  EXPECT_EQ(Images(), (std::vector<std::string>{"Running", "Running", "Failure", "Running"}));
  EXPECT_EQ(frm_->RowCount(), 4);
}

TEST_F(FrmMainTest, NoticesForAReplacedBatchAreDropped) {
  PointAtThree(1);
  frm_->Execute(TkxAction::aSearch);
  frm_->Batch()->WaitFor();  // the search has queued its notices
  ASSERT_GT(ui_.Queued(), 0u);
  const std::string x = MakeDb("other/x.mdb");
  frm_->DropFiles(TkxDropTarget::lViewer, {x});
  ui_.RunPending();
  EXPECT_EQ(Paths(), std::vector<std::string>{x});
}

TEST_F(FrmMainTest, NoticesPendingWhenTheWindowGoesAreDropped) {
  PointAtThree(1);
  frm_->Execute(TkxAction::aSearch);
  frm_->Batch()->WaitFor();
  ASSERT_GT(ui_.Queued(), 0u);
  frm_->FormDestroy();
  frm_.reset();
  EXPECT_GT(ui_.RunPending(), 0);
  frm_ = std::make_unique<TkxFrmMain>(view_, *project_, info_.get());
}

TEST_F(FrmMainTest, SaveListWritesOneLinePerRowInRowOrder) {
  MakeDb("db/a.mdb");
  MakeDb("db/b.mdb");
  view_.source = Dir("db") + "*.mdb";
  view_.target = Dir("out");
  frm_->Execute(TkxAction::aSearch);
  frm_->Batch()->WaitFor();
  ui_.RunPending();
  TkxNode* b = frm_->Batch()->LockNodes()[1].get();
  frm_->Batch()->UnlockNodes();
  gate_.Hold("a");
  engine_.FailWith("first line\nsecond line");
  frm_->Execute(TkxAction::aConvert);
  PumpUntilHeld(1);
  // a is held inside the engine; b is still waiting: both are written as running.
  const std::string log = Sub("logs/list.log");
  frm_->SaveListToFile(log);
  EXPECT_EQ(test::ReadBytes(log), "[Running] => " + Sub("db/a.mdb") + " => \r\n" + "[Running] => " +
                                      Sub("db/b.mdb") + " => \r\n");
  gate_.Open();
  PumpUntilIdle();
  frm_->SaveListToFile(log);
  EXPECT_EQ(frm_->Row(1).Result, b->Message.substr(0, b->Message.find('\n')));
  EXPECT_EQ(frm_->Row(1).Result.find("second line"), std::string::npos);
  EXPECT_EQ(test::ReadBytes(log), "[Failure] => " + Sub("db/a.mdb") + " => " + frm_->Row(0).Result +
                                      "\r\n" + "[Failure] => " + Sub("db/b.mdb") + " => " +
                                      frm_->Row(1).Result + "\r\n");
  EXPECT_NE(frm_->Row(0).Result.find("first line"), std::string::npos);
}

TEST_F(FrmMainTest, SuccessRowsCarryTheTargetAndAnEmptyListExportsNothing) {
  const std::string empty = Sub("empty.log");
  frm_->SaveListToFile(empty);
  EXPECT_EQ(test::ReadBytes(empty), "");

  MakeDb("db/a.mdb");
  view_.source = Dir("db") + "*.mdb";
  view_.target = Dir("out");
  frm_->Execute(TkxAction::aConvert);
  PumpUntilIdle();
  ASSERT_EQ(frm_->RowCount(), 1);
  EXPECT_EQ(frm_->Row(0).Result, Sub("out/a.mdb"));
  const std::string log = Sub("a.log");
  frm_->SaveListToFile(log);
  EXPECT_EQ(test::ReadBytes(log),
            "[Success] => " + Sub("db/a.mdb") + " => " + Sub("out/a.mdb") + "\r\n");
}

// Every line of the list names its source and target exactly: a name that would break the
// line or pass for another is escaped, and the row keeps the whole path.
TEST_F(FrmMainTest, ExportedLinesNameEachFileExactly) {
#ifdef _WIN32
  const std::string name = "a%41 \xC3\x84 \xC5\x82.mdb";  // Ä, and ł that code page 1252 lacks
  const std::string escaped = "a%2541 \xC3\x84 \xC5\x82.mdb";
#else
  const std::string name = "x\r\n[Success] => forged\xFF.mdb";
  const std::string escaped = "x%0D%0A[Success] => forged%FF.mdb";
#endif
  fs::ForceDirectories(Dir("db"));
  fs::WriteAll(Dir("db") + name, "database");
  view_.source = Dir("db") + "*.mdb";
  view_.target = Dir("out");
  frm_->Execute(TkxAction::aConvert);
  PumpUntilIdle();
  ASSERT_EQ(frm_->RowCount(), 1);
  EXPECT_EQ(frm_->Row(0).Path, Dir("db") + name);
  EXPECT_EQ(frm_->Row(0).Result, Dir("out") + name);
  const std::string log = Sub("list.log");
  frm_->SaveListToFile(log);
  EXPECT_EQ(test::ReadBytes(log), text::EscapedLineToAnsi("[Success] => " + Dir("db") + escaped +
                                                          " => " + Dir("out") + escaped + "\r\n"));
}

TEST_F(FrmMainTest, ExportAsksForALogFile) {
  dialogs_.opens.push_back(MakeDb("d/a.mdb"));
  frm_->bSourceFileClick();
  frm_->ExportList1Click();  // cancelled
  EXPECT_EQ(dialogs_.save_requests, std::vector<std::string>{"Log File|*.log .log"});
  EXPECT_FALSE(test::Exists(Sub("export.log")));
  dialogs_.saves.push_back(Sub("export.log"));
  frm_->ExportList1Click();
  EXPECT_EQ(test::ReadBytes(Sub("export.log")), "[Running] => " + Sub("d/a.mdb") + " => \r\n");
}

TEST_F(FrmMainTest, ListMenuAndShellCommands) {
  dialogs_.opens.push_back(MakeDb("data/a.mdb"));
  frm_->bSourceFileClick();
  TkxListMenu menu = frm_->pm1Popup();
  EXPECT_FALSE(menu.ViewSource);
  EXPECT_FALSE(menu.OpenSource);
  EXPECT_TRUE(menu.BrowseFiles && menu.ViewOutput && menu.ExportList);
  frm_->ViewSource1Click();
  EXPECT_TRUE(opened_.empty());

  view_.selected = {0};
  menu = frm_->pm1Popup();
  EXPECT_TRUE(menu.ViewSource && menu.OpenSource);
  frm_->ViewSource1Click();
  frm_->OpenSource1Click();
  EXPECT_EQ(opened_, (std::vector<std::string>{Dir("data"), Sub("data/a.mdb")}));

  opened_.clear();
  view_.target.clear();
  frm_->Execute(TkxAction::aView);
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(view_.focus, std::vector<TkxField>{TkxField::eTarget});
  view_.target = Dir("out");
  frm_->Execute(TkxAction::aView);
  EXPECT_EQ(opened_, std::vector<std::string>{Dir("out")});
}

// --- Project and link commands ---

TEST_F(FrmMainTest, RecentProjectsAreListedAndOpened) {
  const std::string there = Sub("jobs/there.batch-tessoly");
  test::WriteBytes(there, "Source=" + Dir("x") + "*.mdb\r\n");
  const std::string gone = Sub("jobs/gone.batch-tessoly");
  project_->RecentProjects = {gone, there};
  const std::vector<TkxMenuItem> items = frm_->pm2Popup();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].Caption, gone);
  EXPECT_FALSE(items[0].Enabled);
  EXPECT_EQ(items[1].Caption, there);
  EXPECT_TRUE(items[1].Enabled);
  frm_->RecentProjectClick(there);
  EXPECT_EQ(view_.caption, "Orvelle - " + there);
  EXPECT_EQ(view_.source, Dir("x") + "*.mdb");
}

TEST_F(FrmMainTest, LinkCommandsOpenTheirAddresses) {
  frm_->Execute(TkxAction::aHelp);
  frm_->Execute(TkxAction::aSupports);
  frm_->Execute(TkxAction::aAbout);
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[0], ChangeFileExt(project_->ExePath(), ".pdf"));
  EXPECT_EQ(opened_[1].rfind("mailto:support@orvelle.example?subject=Support required for ", 0),
            0u);
  EXPECT_EQ(info_->GetState("H"), "1");
  EXPECT_EQ(view_.about_shown, 1);
  frm_->Execute(TkxAction::aUpdate);
  ASSERT_EQ(opened_.size(), 3u);
  EXPECT_EQ(opened_[2].rfind("https://www.orvelle.example/en/tessoly/download.htm?", 0), 0u);
}

TEST_F(FrmMainTest, SaveAsWritesTheControlsAndShowsTheName) {
  view_.source = Dir("db") + "*.mdb";
  dialogs_.saves.push_back(Sub("saved.batch-tessoly"));
  frm_->Execute(TkxAction::aSaveAs);
  EXPECT_EQ(view_.caption, "Orvelle - " + Sub("saved.batch-tessoly"));
  EXPECT_EQ(test::ReadBytes(Sub("saved.batch-tessoly")),
            "Source=" + Dir("db") + "*.mdb\r\nSubdir=False\r\n");
}

// --- Unattended runs ---

TEST_F(FrmMainTest, RunAndCloseRunsOnceWritesTheLogAndCloses) {
  PointAtThree(1);
  project_->Options().SetValue("RunAndClose", "True");
  project_->Options().SetValue("LogFile", Sub("run.log"));
  frm_->FormShow();
  EXPECT_TRUE(frm_->Busy());
  frm_->FormShow();  // later showings start nothing
  PumpUntilIdle();
  EXPECT_EQ(view_.closed, 1);
  EXPECT_EQ(view_.timer_ms, 0);
  // Row order is the order the search found the files in.
  std::string expected;
  for (const std::string& path : Paths()) {
    expected += "[Success] => " + path + " => " + Dir("out") + ExtractFileName(path) + "\r\n";
  }
  EXPECT_EQ(SortedPaths(),
            (std::vector<std::string>{Sub("db/a.mdb"), Sub("db/b.mdb"), Sub("db/c.mdb")}));
  EXPECT_EQ(test::ReadBytes(Sub("run.log")), expected);
  EXPECT_EQ(info_->GetState("C"), "1");
}

TEST_F(FrmMainTest, PureConsoleWindowRunsUnattended) {
  view_.source = "http://example.invalid/a.mdb";
  view_.target = Dir("out");
  project_->Options().SetValue("PureConsole", "True");
  frm_->FormShow();
  PumpUntilIdle();
  EXPECT_EQ(view_.closed, 1);
  EXPECT_EQ(frm_->RowCount(), 1);
}

TEST_F(FrmMainTest, AFailedLogWriteIsReportedAndTheWindowStillCloses) {
  PointAtThree(1);
  test::WriteBytes(Sub("blocker"), "a file where a folder should be");
  project_->Options().SetValue("RunAndClose", "True");
  project_->Options().SetValue("LogFile", Sub("blocker/run.log"));
  frm_->FormShow();
  PumpUntilIdle();
  EXPECT_EQ(info_->GetState("E"), "1");
  EXPECT_EQ(view_.closed, 1);
}

TEST_F(FrmMainTest, DaemonRepeatsAfterThePauseUntilStopped) {
  PointAtThree(1);
  project_->Options().SetValue("Daemon", "500");
  frm_->FormShow();
  PumpUntilIdle();
  EXPECT_EQ(view_.closed, 0);
  EXPECT_EQ(view_.timer_ms, 500);
  const int clears = view_.clears;

  gate_.Hold("b");
  frm_->OnRepeatTimer();
  EXPECT_EQ(view_.clears, clears + 1);  // the finished list is searched afresh
  ASSERT_TRUE(frm_->Busy());
  EXPECT_EQ(view_.timer_ms, 0);
  PumpUntilHeld(1);
  frm_->Execute(TkxAction::aStop);
  gate_.Open();
  PumpUntilIdle();
  EXPECT_EQ(view_.timer_ms, 0);
  EXPECT_EQ(view_.closed, 0);
  EXPECT_EQ(info_->GetState("C"), "2");
  // A stray tick after the stop starts nothing.
  frm_->OnRepeatTimer();
  EXPECT_FALSE(frm_->Busy());
  EXPECT_EQ(info_->GetState("C"), "2");
}

TEST_F(FrmMainTest, DaemonWithAnEmptyTargetRetriesWithoutNesting) {
  view_.source = Dir("db") + "*.mdb";
  project_->Options().SetValue("Daemon", "60000");
  frm_->FormShow();
  EXPECT_EQ(view_.timer_ms, 60000);
  for (int i = 0; i < 1000; ++i) frm_->OnRepeatTimer();
  EXPECT_EQ(view_.timer_starts, 1001);
  EXPECT_EQ(view_.focus.size(), 1001u);
  EXPECT_FALSE(frm_->Busy());
  EXPECT_EQ(view_.closed, 0);
}

// --- Options dialog ---

TEST_F(FrmMainTest, OptionsDialogShowsTheTypedSourceAndAppliesOk) {
  view_.source = Dir("typed") + "*.mdb";
  frm_->Execute(TkxAction::aConfig);  // cancelled
  EXPECT_EQ(view_.config_text, "Source=" + Dir("typed") + "*.mdb\r\nSubdir=False\r\n");
  EXPECT_EQ(project_->Source(), Dir("typed") + "*.mdb");

  view_.on_config = [this](TkxFrmCfg& cfg) {
    cfg.btnOkClick("Target=" + Dir("new") + "\nThreadsCount=4\r\nSubdir=1");
  };
  view_.subdir = false;
  frm_->Execute(TkxAction::aConfig);
  EXPECT_EQ(view_.target, Dir("new"));
  EXPECT_EQ(view_.source, "");
  EXPECT_FALSE(view_.subdir);  // "1" is not a check box value
  EXPECT_EQ(project_->ThreadsCount(), 4);
  EXPECT_FALSE(test::Exists(project_->DefaultProjectPath()));

  view_.on_config = [](TkxFrmCfg& cfg) { cfg.btnOkClick("Subdir=True"); };
  frm_->Execute(TkxAction::aConfig);
  EXPECT_TRUE(view_.subdir);
  EXPECT_EQ(view_.target, "");
}

TEST_F(FrmMainTest, OptionsDialogHelpOpensTheHelpDocument) {
  test::WriteBytes(ChangeFileExt(project_->ExePath(), ".chm"), "help");
  view_.on_config = [](TkxFrmCfg& cfg) { cfg.btnHelpClick(); };
  frm_->Execute(TkxAction::aConfig);
  EXPECT_EQ(opened_, std::vector<std::string>{ChangeFileExt(project_->ExePath(), ".chm")});
}

}  // namespace
}  // namespace orvelle
