#include "foundation/FileFaults.h"

#include <atomic>
#include <mutex>

namespace qv {
namespace {

std::atomic<bool> g_installed{false};

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

FileFaultHook& Hook() {
  static FileFaultHook* hook = new FileFaultHook;  // lives to the end of the process
  return *hook;
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  g_installed = static_cast<bool>(hook);
  Hook() = std::move(hook);
}

int InjectedFileFault(FileStep step, const std::string& fileName) {
  if (!g_installed) return 0;
  FileFaultHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  return hook ? hook(step, fileName) : 0;
}

}  // namespace qv
