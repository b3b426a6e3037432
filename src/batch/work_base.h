// The worker thread: pulls nodes from one batch and runs the per-file job on each, until the
// batch has no more work or the worker is asked to terminate. Frees itself when it ends.
#pragma once

#include "batch/thread.h"
#include "project/types.h"

namespace orvelle {

// Created suspended; after Start nobody may touch the object (it deletes itself on its own
// thread). The batch must outlive the worker, which its destructor guarantees.
class TkxWorkBase : public TkxThread {
 public:
  // `count` and `on_done` are for descendants; this class keeps only the batch.
  TkxWorkBase(TkxBatch* batch, int count, const TkxNodeEvent& on_done);
  ~TkxWorkBase() override;

  // The virtual constructor for a descriptor's JobClass.
  static TkxWorkBase* Create(TkxBatch* batch, int count, const TkxNodeEvent& on_done);

 protected:
  void Execute() override;
  // Decides Current: State, Message, the batch's counters and the owner's notification.
  // A std::exception escaping it stores its text in Current's Message; the worker goes on.
  virtual void ProcessNode() {}

  TkxBatch* const batch_;       // borrowed
  TkxNode* current_ = nullptr;  // borrowed from the batch; worker thread only
};

}  // namespace orvelle
