#include "hostservices/Platform.h"

#include <mutex>

#include "hostservices/LocalPlatform.h"

namespace kzhost {

namespace {

// The installed platform. Read lock-free on every host call; swapped under the mutex.
std::atomic<Platform*> g_current{nullptr};

std::mutex& installMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

Platform& Platform::current() {
  Platform* p = g_current.load(std::memory_order_acquire);
  if (p) return *p;
  std::lock_guard<std::mutex> lock(installMutex());
  p = g_current.load(std::memory_order_acquire);
  if (!p) {
    // Kept for the life of the process (reachable through g_current), so late callers
    // during static destruction still find a platform.
    p = new LocalPlatform();
    g_current.store(p, std::memory_order_release);
  }
  return *p;
}

std::unique_ptr<Platform> Platform::install(std::unique_ptr<Platform> p) {
  std::lock_guard<std::mutex> lock(installMutex());
  return std::unique_ptr<Platform>(g_current.exchange(p.release(), std::memory_order_acq_rel));
}

}  // namespace kzhost
