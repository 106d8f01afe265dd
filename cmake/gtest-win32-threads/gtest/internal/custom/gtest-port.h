// GoogleTest for the win32-thread mingw-w64 compiler, which lacks std::mutex
// and std::condition_variable: GoogleTest's own Win32 mutexes stay, and the
// one class it builds on std::mutex, which only starts the threads of
// GoogleTest's own thread tests, waits on an atomic flag instead.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : notified_(false) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_ = true; }
  void WaitForNotification() {
    while (!notified_) {
    }
  }

 private:
  std::atomic<bool> notified_;
};

}  // namespace internal
}  // namespace testing
