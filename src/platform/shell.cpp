#include "platform/shell.h"

#include <mutex>
#include <utility>

namespace orvelle::shell {
namespace {

std::mutex g_opener_mu;
Opener g_opener;  // guarded by g_opener_mu

}  // namespace

void Open(const std::string& target) {
  Opener opener;
  {
    std::lock_guard<std::mutex> lock(g_opener_mu);
    opener = g_opener;
  }
  if (opener) {
    opener(target);
    return;
  }
  if (!target.empty()) OpenWithDesktop(target);
}

void SetOpenerForTesting(Opener opener) {
  std::lock_guard<std::mutex> lock(g_opener_mu);
  g_opener = std::move(opener);
}

}  // namespace orvelle::shell
