// The compaction job: each file is compacted by the database engine that the automation
// seam provides ("DAO.DBEngine.120", else "DAO.DBEngine.36"), through a working copy.
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

  // The working-copy path for a source: its extension replaced by ".bak", unless that names
  // the source itself or a path another job is using right now; then a further name.
  // Reserved until ReleaseWorkingPath.
  static std::string ReserveWorkingPath(const std::string& source);
  static void ReleaseWorkingPath(const std::string& path);
};

}  // namespace orvelle
