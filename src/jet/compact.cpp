#include "jet/compact.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <streambuf>

#include "jet/checker.h"
#include "jet/compact_full.h"
#include "jet/compact_os.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/rc4.h"
#include "jet/values.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace orvelle::jet {

namespace {

constexpr uint8_t kHeaderMaskKey[4] = {0xC7, 0xDA, 0x39, 0x6B};
constexpr size_t kMaskStart = 0x18;
constexpr size_t kPasswordAt = 0x42;
constexpr size_t kCreationDateAt = 0x72;

// Splits "dir/name.ext" into "dir/name" and ".ext" (lower case); no extension gives "".
std::pair<std::string, std::string> SplitExtension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return {path, std::string()};
  }
  return {path.substr(0, dot), text::LowerAscii(path.substr(dot))};
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Removes the temporary file unless it was published.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) RemoveFile(path_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }
  void Set(std::string path) { path_ = std::move(path); }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// Gathers the page-sized writes into large ones, written straight to the output file.
class GatheringBuffer : public std::streambuf {
 public:
  // Left uninitialised: a small database touches only the start of the buffer.
  explicit GatheringBuffer(NewFile& sink) : sink_(sink), buffer_(new char[kSize]) {
    setp(buffer_.get(), buffer_.get() + kSize);
  }
  // The system's text for the first write that failed; empty while all succeeded.
  const std::string& Error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    if (pptr() > pbase() && error_.empty()) {
      sink_.Write(pbase(), static_cast<size_t>(pptr() - pbase()), &error_);
      unflushed_ += static_cast<size_t>(pptr() - pbase());
      if (unflushed_ >= kWriteback) {
        sink_.StartWriteback();
        unflushed_ = 0;
      }
    }
    setp(buffer_.get(), buffer_.get() + kSize);
    return error_.empty() ? 0 : -1;
  }

 private:
  static constexpr size_t kSize = size_t{1} << 20;
  static constexpr size_t kWriteback = size_t{16} << 20;  // started on the disk past this
  NewFile& sink_;
  std::unique_ptr<char[]> buffer_;
  size_t unflushed_ = 0;
  std::string error_;
};

// Gathers runs of consecutive pages into large positioned writes: the full compactor puts most
// pages in order and the few it completes last where they belong.
class PagedOutput : public PageSink {
 public:
  PagedOutput(NewFile& sink, uint32_t page_size)
      : sink_(sink), page_size_(page_size), buffer_(new char[kSize]) {}
  void Put(uint32_t position, const uint8_t* page) override {
    if (used_ > 0 && (position != first_ + used_ / page_size_ || used_ + page_size_ > kSize)) {
      Drain();
    }
    if (used_ == 0) first_ = position;
    std::memcpy(buffer_.get() + used_, page, page_size_);
    used_ += page_size_;
  }
  // Writes what is gathered; false, with Error() set, when a write failed.
  bool Finish() {
    Drain();
    return error_.empty();
  }
  const std::string& Error() const { return error_; }

 private:
  void Drain() {
    if (used_ > 0 && error_.empty()) {
      sink_.WriteAt(uint64_t{first_} * page_size_, buffer_.get(), used_, &error_);
      unflushed_ += used_;
      if (unflushed_ >= kWriteback) {
        sink_.StartWriteback();
        unflushed_ = 0;
      }
    }
    used_ = 0;
  }
  static constexpr size_t kSize = size_t{1} << 20;
  static constexpr size_t kWriteback = size_t{16} << 20;
  NewFile& sink_;
  const uint32_t page_size_;
  size_t unflushed_ = 0;
  std::unique_ptr<char[]> buffer_;
  uint32_t first_ = 0;
  size_t used_ = 0;
  std::string error_;
};

// A fresh name beside the target that nobody can guess, created exclusively: a link planted
// at a predictable name can never make the compactor write elsewhere.
std::string CreateTempBeside(const std::string& target, NewFile& file, std::string* error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = target + "." + fs::RandomToken() + ".orvelle-tmp";
    if (file.Create(path, error)) return path;
    if (PathExists(path)) continue;  // taken, however unlikely: another name
    return std::string();
  }
  return std::string();
}

}  // namespace

std::vector<std::string> LockFileCandidates(const std::string& source) {
  auto [stem, ext] = SplitExtension(source);
  if (ext == ".mdb") return {stem + ".ldb"};
  if (ext == ".accdb") return {stem + ".laccdb"};
  std::vector<std::string> out = {stem + ".ldb", stem + ".laccdb"};
  // A working copy named after the whole source ("a.mdb.bak", "a.mdb.1.bak") stands for it.
  while (!ext.empty() && ext != ".mdb" && ext != ".accdb") {
    std::tie(stem, ext) = SplitExtension(stem);
  }
  if (ext == ".mdb") out.push_back(stem + ".ldb");
  if (ext == ".accdb") out.push_back(stem + ".laccdb");
  return out;
}

std::string LockFileFor(const std::string& source) {
  auto [stem, ext] = SplitExtension(source);
  std::string s = stem, e = ext;
  while (!e.empty() && e != ".mdb" && e != ".accdb") std::tie(s, e) = SplitExtension(s);
  if (e == ".accdb") return s + ".laccdb";
  if (e == ".mdb") return s + ".ldb";
  return stem + ".ldb";
}

std::string StoredPassword(const std::string& page0) {
  if (page0.size() < kMaskStart + 128) return std::string();
  const uint8_t version = static_cast<uint8_t>(page0[0x14]);
  if (version > 0x01) return std::string();  // ACE: a password means encryption
  const bool jet3 = version == 0x00;
  std::vector<uint8_t> h(page0.begin(), page0.begin() + kMaskStart + 128);
  Rc4Apply(kHeaderMaskKey, 4, h.data() + kMaskStart, jet3 ? 126 : 128);
  if (jet3) {
    std::string bytes(reinterpret_cast<const char*>(h.data() + kPasswordAt), 20);
    bytes.resize(strnlen(bytes.data(), bytes.size()));
    return CodePageToUtf8(bytes, Le16(h.data() + 0x3C));
  }
  double created = 0;
  std::memcpy(&created, h.data() + kCreationDateAt, sizeof created);
  uint32_t mask = 0;
  if (std::isfinite(created) && std::fabs(created) < 2147483647.0) {
    mask = static_cast<uint32_t>(static_cast<int32_t>(created));
  }
  std::vector<uint8_t> pwd(h.begin() + kPasswordAt, h.begin() + kPasswordAt + 40);
  for (size_t i = 0; i < pwd.size(); ++i) pwd[i] ^= static_cast<uint8_t>(mask >> (8 * (i % 4)));
  size_t len = 0;
  while (len + 1 < pwd.size() && (pwd[len] | pwd[len + 1])) len += 2;
  return Utf16ToUtf8(pwd.data(), len);
}

CompactResult CompactDatabase(const std::string& source, const std::string& target,
                              const CompactOptions& options) {
  const std::string prefix = "Cannot compact " + Quoted(source) + ": ";
  auto fail = [&](const std::string& why) { return CompactError(prefix + why); };

  if (PathExists(target)) throw fail("the target " + Quoted(target) + " already exists");
  // A lock file this process holds is held for this compaction (the job holds it in place).
  auto in_use = [&](const std::string& lock, const std::string& who) {
    return fail("the database is in use (lock file " + Quoted(lock) + " is " + who + ")");
  };
  auto check_in_use = [&] {
    for (const std::string& lock : LockFileCandidates(source)) {
      std::string who;
      if (!LockFileHeldHere(lock) && LockFileHeld(lock, &who)) throw in_use(lock, who);
    }
  };
  check_in_use();
  LockFileHold hold;
  const std::string lock = LockFileFor(source);
  if (!LockFileHeldHere(lock)) {
    std::string who;
    if (!hold.Acquire(lock, &who)) throw in_use(lock, who);
  }
  // Opening a named pipe or a device would block or read without end.
  const fs::FileInfo kind = fs::Inspect(source);
  if (kind.exists && !kind.is_regular) throw fail("it is " + kind.kind + ", not a database file");

  // A password-encrypted ACE file is decrypted with the password as it is read, and its copy is
  // encrypted with the same keys as it is written (Database::EncodeOutputPage).
  const std::string password = options.password.value_or(std::string());
  std::unique_ptr<Database> in;
  try {
    in = Database::OpenFile(source, password);
  } catch (const PasswordError&) {
    throw CompactError("Not a valid password.");
  } catch (const JetError& e) {
    throw fail(e.Detail());
  }
  CompactResult result;
  result.page_size = in->PageSize();
  result.pages_before = in->PageCount();
  result.bytes_before =
      static_cast<uint64_t>(in->PageCount()) * in->PageSize() + in->TrailingBytes();

  Page page0 = in->ReadPage(0, "header");
  std::string stored = StoredPassword(std::string(page0->begin(), page0->end()));
  if (!stored.empty() && stored != options.password.value_or(std::string())) {
    throw CompactError("Not a valid password.");
  }

  // The structural check of the source runs on its own reader while the first copy is written:
  // no copy is verified, let alone published, before it passed, and its verdict comes before
  // whatever the writer made of a damaged file.
  // The check also digests the tables it reads, for the comparison: a source that passed is
  // read once on that reader.
  std::shared_ptr<const SourceDigests> ahead;
  std::future<std::string> source_damage = std::async(std::launch::async, [&]() -> std::string {
    try {
      auto reader = Database::OpenFile(source, password, *in);
      SourceDigester digests(*reader);
      CheckReport report = CheckDatabase(*reader, digests);
      for (const Finding& f : report.findings) {
        if (f.severity == Severity::kError) return f.Describe();
      }
      ahead = digests.Result();
      return std::string();
    } catch (const JetError& e) {
      return e.Detail();
    } catch (const std::exception& e) {
      return e.what();
    }
  });
  std::string damage;
  bool source_checked = false;
  auto check_source = [&] {
    if (!source_checked) {
      damage = source_damage.get();
      source_checked = true;
    }
    if (!damage.empty()) throw fail("the database is damaged: " + damage);
  };

  // Declared before the file, so that the file is closed before it is removed (Windows).
  TempFile temp("");
  // The tables the copy being verified renumbers.
  TableIdMap ids;
  // Writes a copy with write, flushes and verifies it; returns its page count. Throws
  // CompactError, with the temporary file removed.
  // write puts the pages to the file and returns their count, with the system's text for a
  // failed write in its second argument.
  auto attempt = [&](const std::function<uint32_t(NewFile&, std::string&)>& write) {
    if (!temp.Path().empty()) {
      RemoveFile(temp.Path());
      temp.Set("");
    }
    NewFile output;
    std::string create_error;
    temp.Set(CreateTempBeside(target, output, &create_error));
    if (temp.Path().empty()) {
      check_source();
      throw fail("cannot create a temporary file beside " + Quoted(target) + ": " + create_error);
    }
    uint32_t written = 0;
    {
      std::string write_error;
      try {
        written = write(output, write_error);
      } catch (const JetError& e) {
        check_source();
        throw fail("the pages cannot be moved: " + e.Detail());
      } catch (const CompactError&) {
        check_source();
        throw;
      }
      check_source();
      if (write_error.empty()) output.Close(&write_error);
      if (!write_error.empty()) {
        throw fail("cannot write the compacted copy beside " + Quoted(target) + ": " + write_error);
      }
    }
    // The flush waits on the disk while the verification below works on the processor: both
    // run at once, and the file is published only when both have succeeded. The future joins
    // the flush on every way out, before the temporary file is removed.
    // The test seam runs before the flush starts: on Windows the flush's handle lets nobody
    // else write the file.
    if (options.before_verify) options.before_verify(temp.Path());
    std::string sync_error;
    std::future<bool> synced = std::async(
        std::launch::async, [&sync_error, &temp] { return SyncFile(temp.Path(), &sync_error); });

    // Nothing counts as compacted before it has been read back and found equal to the source.
    // The structural check and the comparison run at once, each on its own reader; the check's
    // verdict comes first, as a comparison of a broken copy may fail in any way.
    try {
      // Page 0 is copied as it is, so the copy's page keys are the source's: derived once (for
      // a password-encrypted file that takes up to a second), for every reader of either.
      auto out = Database::OpenFile(temp.Path(), password, *in);
      if (out->GetHeader().office.has_value() != in->GetHeader().office.has_value()) {
        throw fail("the compacted copy is not encrypted as the database is");
      }
      std::future<CheckReport> checked = std::async(std::launch::async, [&] {
        auto reader = Database::OpenFile(temp.Path(), password, *in);
        return CheckDatabase(*reader);
      });
      std::optional<CompareReport> compared;
      std::exception_ptr compare_error;
      try {
        compared = CompareDatabases(*in, *out, ids, ahead.get());
      } catch (...) {
        compare_error = std::current_exception();
      }
      CheckReport report = checked.get();
      for (const Finding& f : report.findings) {
        if (f.severity != Severity::kWarning) {
          throw fail("the compacted copy failed the structural check: " + f.Describe());
        }
      }
      if (compare_error) std::rethrow_exception(compare_error);
      const CompareReport& same = *compared;
      if (!same.Equivalent()) {
        throw fail("the compacted copy differs from the database: " + same.differences.front());
      }
      result.pages_after = out->PageCount();
      result.bytes_after = static_cast<uint64_t>(out->PageCount()) * out->PageSize();
    } catch (const JetError& e) {
      throw fail("the compacted copy cannot be read back: " + e.Detail());
    }
    if (result.pages_after != written) {
      throw fail("the compacted copy has " + std::to_string(result.pages_after) + " pages, " +
                 std::to_string(written) + " were written");
    }
    if (!synced.get()) throw fail("cannot flush " + Quoted(temp.Path()) + ": " + sync_error);
  };

  // The full compactor first; whatever stops it, the page slide.
  FullCompactStats stats;
  try {
    attempt([&](NewFile& file, std::string& write_error) {
      try {
        PagedOutput out(file, in->PageSize());
        uint32_t pages = WriteFullyCompacted(*in, out, &stats);
        if (!out.Finish()) write_error = out.Error();
        ids = stats.moved;
        return pages;
      } catch (const FullCompactionRefused& e) {
        throw fail(e.what());
      } catch (const std::exception& e) {
        throw fail(std::string("the full compactor failed: ") + e.what());
      }
    });
    result.full = true;
    result.tables_moved = static_cast<uint32_t>(stats.moved.size());
    result.tables_pinned = stats.pinned_tables;
    result.pinned = stats.pinned;
  } catch (const CompactError& e) {
    if (source_checked && !damage.empty()) throw;
    result.fallback = e.what();
    const size_t cut = result.fallback.rfind(prefix, 0) == 0 ? prefix.size() : 0;
    result.fallback.erase(0, cut);
  }
  if (!result.full) {
    ids.clear();
    Relocation plan;
    PageInventory inv;
    try {
      inv = CollectInventory(*in);
      plan = PackDown(inv);
    } catch (const JetError& e) {
      throw fail("the database cannot be compacted: " + e.Detail());
    } catch (const std::exception& e) {
      throw fail(std::string("the database cannot be compacted: ") + e.what());
    }
    attempt([&](NewFile& file, std::string& write_error) {
      try {
        GatheringBuffer gather(file);
        std::ostream out(&gather);
        const uint32_t pages = WriteRelocated(*in, inv, plan, out);
        out.flush();
        write_error = gather.Error();
        return pages;
      } catch (const JetError&) {
        throw;
      } catch (const std::exception& e) {
        throw fail(std::string("the pages cannot be moved: ") + e.what());
      }
    });
  }
  check_in_use();
  std::string error;
  if (!RenameNoReplace(temp.Path(), target, &error)) {
    throw fail("cannot rename " + Quoted(temp.Path()) + " to " + Quoted(target) + ": " + error);
  }
  temp.Release();
  return result;
}

}  // namespace orvelle::jet
