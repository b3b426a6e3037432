#include "batch/work_base.h"

#include <exception>

#include "batch/batch.h"

namespace orvelle {

TkxWorkBase::TkxWorkBase(TkxBatch* batch, int count, const TkxNodeEvent& on_done)
    : TkxThread(true), FBatch(batch) {
  // The batch waits in its destructor until this worker is gone.
  FBatch->AttachWorker();
  AddAfterFree([batch] { batch->DetachWorker(); });
}

TkxWorkBase::~TkxWorkBase() = default;

TkxWorkBase* TkxWorkBase::Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return new TkxWorkBase(batch, count, on_done);
}

void TkxWorkBase::Execute() {
  while (!Terminated()) {
    FCurrent = FBatch->NextNode();
    if (!FCurrent) {
      Terminate();
      break;
    }
    try {
      ProcessNode();
    } catch (const std::exception& e) {
      // The node keeps its State; no counter changes and no notification.
      FBatch->SetMessage(FCurrent, e.what());
    }
  }
  FCurrent = nullptr;
}

}  // namespace orvelle
