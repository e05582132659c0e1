// Put in front of every GoogleTest translation unit of the Windows build.
//
// GoogleTest's Notification (a one-shot signal between threads, used only by
// its own thread tests) is built on std::mutex, which the compiler's win32
// thread model lacks; GoogleTest lets a build provide its own instead. This
// one spins on an atomic flag, which is all that rare use needs.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { notified_.store(true); }
  void WaitForNotification() {
    while (!notified_.load()) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
