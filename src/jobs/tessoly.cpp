#include "jobs/tessoly.h"

#include <memory>
#include <stdexcept>

#include "batch/batch.h"
#include "jet/compact.h"
#include "jet/compact_os.h"
#include "jobs/engine_choice.h"
#include "jobs/native_engine.h"
#include "platform/automation.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orvelle {

namespace {

const char kWorkingSuffix[] = ".orvelle.bak";
const char kPrivatePrefix[] = ".orvelle-";

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
}

// `path` is `root` or lies below it; both resolved.
bool Inside(const std::string& path, const std::string& root) {
  const bool windows = kPathDelim == '\\';
  const std::string base = IncludeTrailingDelimiter(root);
  auto same = [&](const std::string& a, const std::string& b) {
    return windows ? text::SameTextAscii(a, b) : a == b;
  };
  return same(path, root) || (path.size() > base.size() && same(path.substr(0, base.size()), base));
}

// What one compaction leaves to undo or clean up, whatever happens: a database moved to its
// working copy, and the private folder with the engine's files.
struct Work {
  std::string database;  // in place: the name the working copy came from
  std::string working;   // in place: the working copy while it is the only copy
  std::string folder;    // the private folder, with its trailing delimiter

  ~Work() { RemoveFolder(); }

  // Gives a database moved aside its name back; false (with the reason) when that name has
  // been taken meanwhile.
  bool Restore(std::string* error) {
    if (working.empty()) return true;
    if (!fs::MoveFileTo(working, database, error)) return false;
    working.clear();
    return true;
  }
  // Everything in the folder was made by this job or its engine.
  void RemoveFolder() {
    if (folder.empty()) return;
    std::vector<std::string> names;
    fs::EnumerateFolder(folder, "*", kAcceptAll, [&](const fs::DirEntry& e) {
      names.push_back(e.name);
      return true;
    });
    for (const std::string& name : names) fs::DeleteFileAt(folder + name);
    fs::RemoveFolder(folder);
    folder.clear();
  }
};

}  // namespace

TkxWorkBase* TkxTessoly::Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return new TkxTessoly(batch, count, on_done);
}

std::string TkxTessoly::WorkingCopyOf(const std::string& database) {
  return database + kWorkingSuffix;
}

void TkxTessoly::ConvertFile(TkxBatch* batch, TkxNode* node) {
  const std::string target = PlanTarget(batch, node);
  if (target.empty()) return;
  const std::string source = node->Source;
  const std::string failed = "Cannot compact " + Quoted(source) + ": ";
  auto fail = [&](const std::string& why) { return std::runtime_error(failed + why); };
  // Declared first, so the lock file is let go only after everything else.
  jet::LockFileHold lock;
  Work work;
  try {
    const bool in_place = SameFile(target, source);
    const bool replaces = !in_place && fs::FileExists(target);
    const TkxRunOptions& options = RunOptions();
    const std::string suffix = !in_place ? options.RenameSource : std::string();
    const bool deletes = !in_place && options.DeleteSource;
    if (!suffix.empty() && !IsPlainSuffix(suffix)) {
      throw fail("the RenameSource text " + Quoted(suffix) +
                 " holds a path delimiter or \"..\"; a source is only renamed within its folder");
    }
    // Nothing is moved, copied or opened before the source is known to be a regular file.
    auto in_use = [&](const std::string& lock_file, const std::string& who) {
      return fail("the database is in use (lock file " + Quoted(lock_file) + " is " + who + ")");
    };
    fs::FileInfo info = fs::Inspect(source);
    if (!info.exists && in_place) {
      // Another compactor may have moved it to its working copy: its lock file says so.
      std::string who;
      const std::string lock_file = jet::LockFileFor(source);
      if (jet::LockFileHeld(lock_file, &who)) throw in_use(lock_file, who);
      info = fs::Inspect(source);
    }
    if (!info.exists) throw fail("the file does not exist");
    if (!info.is_regular) throw fail("it is " + info.kind + ", not a database file");
    node->BytesBefore = fs::FileSize(source);

    // The file that in place, DeleteSource or RenameSource change must lie in the searched
    // folder (a listed file: its own folder), whatever links lead there. A link compacted in
    // place stays a link: the file it names is compacted.
    std::string database = source;
    if (in_place || deletes || !suffix.empty()) {
      batch->LockNodes();
      std::string root = batch->SourceDir;
      batch->UnlockNodes();
      if (root.empty() || source.compare(0, root.size(), root) != 0) {
        root = ExtractFilePath(source);
      }
      const bool follow = in_place && info.is_link;
      const std::string folder = ExtractFilePath(source);
      const std::string real_folder = fs::RealPath(folder.empty() ? "." : folder);
      const std::string real =
          follow ? fs::RealPath(source)
                 : IncludeTrailingDelimiter(real_folder) + ExtractFileName(source);
      const std::string real_root = fs::RealPath(root.empty() ? "." : root);
      if (real_root.empty() || real_folder.empty() || real.empty() || !Inside(real, real_root)) {
        throw fail("through a link it lies at " + Quoted(real) + ", outside the source folder " +
                   Quoted(root) + ", where the run rewrites, deletes and renames nothing");
      }
      if (follow) database = real;
    }

    // DAO (".120", else ".36") when one exists, else the native engine, unless the option
    // "Engine" asks for one of them; chosen at the run's first file, a new object per file.
    const auto run_engine =
        RunShared<TkxRunEngine>([&] { return std::make_shared<TkxRunEngine>(options.Engine); });
    std::unique_ptr<automation::Object> engine = run_engine->Create();
    node->Engine = IsNativeEngine(engine.get()) ? "native" : "dao";

    std::string input = source, error;
    if (in_place) {
      ClaimPath(database);
      // Held from before the move until the compacted file has the database's name, so
      // another compactor or Access sees the database in use, never missing.
      std::string who;
      const std::string lock_file = jet::LockFileFor(database);
      if (!lock.Acquire(lock_file, &who)) throw in_use(lock_file, who);
      const fs::FileInfo now = fs::Inspect(database);
      if (!now.exists) throw fail("the file does not exist");
      if (!now.is_regular) throw fail("it is " + now.kind + ", not a database file");
      const std::string working = WorkingCopyOf(database);
      ClaimPath(working);
      if (fs::Inspect(working).exists) {
        throw fail(Quoted(working) +
                   " already exists (the working copy of an interrupted run?); it is left as it "
                   "is, and the database is not compacted in place");
      }
      if (!fs::MoveFileTo(database, working, &error)) {
        throw fail("cannot move it to its working copy " + Quoted(working) + ": " + error);
      }
      work.database = database;
      work.working = working;
      if (fs::Inspect(working).identity != now.identity) {
        throw fail("it was replaced while it was moved to its working copy");
      }
      input = working;
    }

    const std::string target_folder = ExtractFilePath(target);
    work.folder = fs::CreatePrivateFolder(target_folder, kPrivatePrefix, &error);
    if (work.folder.empty()) {
      throw fail("cannot create a temporary folder in " + Quoted(target_folder) + ": " + error);
    }
    const std::string staged = work.folder + ExtractFileName(target);
    if (!in_place && !IsNativeEngine(engine.get())) {
      // DAO may write into what it compacts: it gets a copy, made where the target goes, so
      // a read-only source folder is never written to.
      input = work.folder + ExtractFileName(source) + ".bak";
      if (!fs::CopyFileTo(source, input, false, &error)) {
        throw fail("cannot make a working copy beside the target: " + error);
      }
    }

    const std::string& password = options.Password;
    try {
      if (password.empty()) {
        engine->Invoke("CompactDatabase", {input, staged});
      } else {
        engine->Invoke("CompactDatabase",
                       {input, staged, std::nullopt, std::nullopt, ";pwd=" + password});
      }
    } catch (const std::exception& e) {
      // The user knows the database and the target, not the names the engine was given.
      std::string message = e.what();
      ReplaceAll(message, input, source);
      ReplaceAll(message, staged, target);
      throw std::runtime_error(message);
    }
    engine.reset();
    if (!fs::FileExists(staged)) {
      throw std::runtime_error("The engine wrote no database at \"" + target + "\"");
    }

    const int64_t compacted_size = fs::FileSize(staged);
    // The permissions go on before the name: the result is never readable by more people
    // than the file it replaces (or, new, than its source) even for a moment.
    const std::string model = in_place                             ? work.working
                              : replaces && fs::FileExists(target) ? target
                                                                   : std::string();
    const bool applied = model.empty() ? fs::LimitPermissions(staged, source, &error)
                                       : fs::CopyPermissions(model, staged, &error);
    if (!applied) {
      const std::string whose = in_place ? database : model.empty() ? source : target;
      throw fail("the compacted file cannot be given the permissions of " + Quoted(whose) + " (" +
                 error + "); " + Quoted(in_place ? database : target) + " is left as it was");
    }
    const std::string destination = in_place ? database : target;
    if (!fs::Publish(staged, destination, replaces, &error)) {
      throw fail("cannot give the compacted file the name " + Quoted(destination) + ": " + error);
    }
    if (in_place) {
      // The working copy is now a spare copy of the original.
      fs::DeleteFileAt(work.working);
      work.working.clear();
    }
    MarkWritten(target);
    node->BytesAfter = compacted_size;
    work.RemoveFolder();
    lock.Release();
    FinishSource(batch, node, target);
    batch->Decide(node, StateSuccess, target);
    batch->AddSuccess();
  } catch (const std::exception& e) {
    std::string message = e.what();
    std::string error;
    if (!work.Restore(&error)) {
      message += "; the database is kept as " + Quoted(work.working) + " (" + error + ")";
    }
    batch->Decide(node, StateFailure, message);
    batch->AddFailure(message);
  }
}

}  // namespace orvelle
