#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace px {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An automatic-reset event: SetEvent wakes one waiter (or the next one to come), and a wait that
// succeeds consumes the signal. Not signalled when created.
class CEvent {
 public:
  CEvent() = default;
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void SetEvent();
  // Waits up to timeoutMs (kInfinite: no limit). True when signalled; the signal is consumed.
  bool Lock(uint32_t timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

void Sleep(uint32_t ms);

enum class ThreadPriority { Normal, AboveNormal, Highest };

// Raises the calling thread's scheduling priority where the platform allows it; best effort.
void SetCurrentThreadPriority(ThreadPriority priority);

}  // namespace px
