// Forward declarations and the event types that connect a run's owner, batch and workers.
#pragma once

#include <functional>

namespace orvelle {

class TkxBatch;
struct TkxNode;
class TkxWorkBase;
class TkxProject;
class TkxMatchBase;
class TkxControl;

// Per-file result notification (OnNodeDone) and the batch's OnAdd: the owner's context is
// captured by the function.
using TkxNodeEvent = std::function<void(TkxBatch* batch, TkxNode* node)>;
// Parameterless notification (OnFinish).
using TkxEvent = std::function<void()>;
// The virtual constructor of a worker class: (batch, count, OnNodeDone) -> new worker,
// created suspended. The descriptor's JobClass holds one.
using TkxWorkClass = TkxWorkBase* (*)(TkxBatch* batch, int count, const TkxNodeEvent& on_done);

}  // namespace orvelle
