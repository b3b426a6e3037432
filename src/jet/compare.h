// The equivalence checker: two files hold the same tables, definitions, rows, long values and
// index entries, whatever their page layout and whatever page each table definition is on.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "jet/checker.h"
#include "jet/database.h"
#include "jet/table_ids.h"

namespace orvelle::jet {

struct SourceDigests;

struct CompareReport {
  std::vector<std::string> matched;      // one line per table found equal
  std::vector<std::string> differences;  // one line per difference
  bool Equivalent() const { return differences.empty(); }
};

// How many rows of an indexed table the comparison keeps the digests of (2^18 unless changed),
// so that an index entry finds the digest of its row; beyond, the row is read again where the
// entry points. Tests set 0 to take that way on small files. Not to be changed while a
// comparison runs.
extern size_t compare_cached_rows;

// Compares table by table, tables matched by name; a table's id may differ between the files.
// The old -> new id mapping taken from the names is applied to every id the first file holds
// (TableIdHolders, and the other table of each foreign key) before comparing.
//  - definitions: every byte up to tdef_len, apart from page pointers (page header, usage-map
//    pointers, index roots) and statistics (num_rows, unique-key counts); the AutoNumber
//    seeds are compared like every other field;
//  - rows: as multisets, each row by its bytes with long-value pointers replaced by a digest
//    of the resolved value;
//  - indexes: for every physical index the multiset of (key bytes, row reached), the row by
//    its digest; an entry that reaches no live row is a difference.
// Usage maps, free space and the order of rows and pages do not matter. Throws JetError when
// either file cannot be read.
CompareReport CompareDatabases(Database& a, Database& b);

// The same, and each table of b must have exactly the id ids gives for its id in a (the id
// itself when ids does not list it): for checking a compaction against the renumbering it
// reports.
//
// ahead, when given, holds digests of a's tables taken before (DigestSource on another reader
// of the same file), used for the tables that hold no ids.
CompareReport CompareDatabases(Database& a, Database& b, const TableIdMap& ids,
                               const SourceDigests* ahead = nullptr);

// The row and index digests of every table of a that holds no table ids, which no renumbering
// changes: taken while the copy is being written, they spare the comparison reading the source
// again. Throws JetError when a cannot be read. (A compaction takes them from the source's
// check, below; this reads them on their own.)
std::shared_ptr<const SourceDigests> DigestSource(Database& a);

// The same digests taken from a structural check of a (CheckDatabase(a, digester)), which
// reads every row and index tree anyway: the file is read once for both.
class SourceDigester : public CheckObserver {
 public:
  explicit SourceDigester(Database& a);
  ~SourceDigester() override;
  bool Begin(const CatalogEntry& e, const TableDef& t) override;
  void Row(const LiveRow& r) override;
  void Index(size_t i, const IndexTree& tree) override;
  void End() override;
  // The digests, or null when one of them could not be taken (the caller then reads the
  // source itself). Meaningful only when the check found the file sound.
  std::shared_ptr<const SourceDigests> Result() const;

 private:
  struct Table;
  template <typename F>
  void Guarded(F&& f);
  Database& db_;
  std::shared_ptr<SourceDigests> out_;
  std::unique_ptr<Table> table_;  // the table being digested
  bool failed_ = false;
};

}  // namespace orvelle::jet
