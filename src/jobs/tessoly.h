// The compaction job: each file is compacted by the database engine that the automation seam
// provides ("DAO.DBEngine.120", else "DAO.DBEngine.36", or the native engine when the option
// "Engine" names another choice).
//
// The engine writes into a private folder beside the target (".orvelle-<random>", made
// exclusively); the result gets the permissions it must have and only then takes the target's
// name in one rename, so an old target stays until its replacement is complete. In place the
// database is first moved to its working copy "NAME.EXT.orvelle.bak" beside it, while its lock
// file is held; into another folder the source is only read: DAO compacts a copy made in the
// private folder, the native engine reads the source itself. Whatever happens, the private
// folder goes, and a database moved aside gets its name back after a failure.
#pragma once

#include <string>

#include "jobs/convertor.h"

namespace orvelle {

class TkxTessoly : public TkxConvertor {
 public:
  using TkxConvertor::TkxConvertor;
  // The descriptor's JobClass.
  static TkxWorkBase* Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done);

  void ConvertFile(TkxBatch* batch, TkxNode* node) override;

  // The name of a database's working copy in place: its full name with ".orvelle.bak", so
  // that a.mdb and a.accdb never share one.
  static std::string WorkingCopyOf(const std::string& database);
};

}  // namespace orvelle
