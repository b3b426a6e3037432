// The compaction job: each file is compacted, through a working copy, by the database engine
// that the automation seam provides ("DAO.DBEngine.120", else "DAO.DBEngine.36", or the
// native engine when the option "Engine" names another choice).
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

  // The working-copy path: the source with its extension replaced by ".bak", unless that
  // names the source itself, a path another job holds, or (with `must_be_free`) an existing
  // file; then the source's full name with ".bak", ".1.bak", ".2.bak" ... appended. Claimed.
  std::string ClaimWorkingPath(const std::string& source, bool must_be_free);
};

}  // namespace orvelle
