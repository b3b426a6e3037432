#include "batch/work_base.h"

#include <exception>

#include "batch/batch.h"

namespace orvelle {

TkxWorkBase::TkxWorkBase(TkxBatch* batch, int count, const TkxNodeEvent& on_done)
    : TkxThread(true), batch_(batch) {
  // The batch waits in its destructor until this worker is gone.
  batch_->AttachWorker();
  AddAfterFree([batch] { batch->DetachWorker(); });
}

TkxWorkBase::~TkxWorkBase() = default;

TkxWorkBase* TkxWorkBase::Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return new TkxWorkBase(batch, count, on_done);
}

void TkxWorkBase::Execute() {
  while (!Terminated()) {
    current_ = batch_->NextNode();
    if (!current_) {
      Terminate();
      break;
    }
    try {
      ProcessNode();
    } catch (const std::exception& e) {
      // The node keeps its State; no counter changes and no notification.
      batch_->SetMessage(current_, e.what());
    }
  }
  current_ = nullptr;
}

}  // namespace orvelle
