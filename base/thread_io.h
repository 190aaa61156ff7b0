#pragma once

namespace px {

// A way into one thread's blocking system call from another thread: made on the thread itself,
// it lets another thread end the call that the first one is blocked in (on Windows, a
// CreateFileA that waits for a Bluetooth connection). Where the system has no such thing it
// holds nothing and cancels nothing.
class CThreadIoCancel {
 public:
  CThreadIoCancel() = default;
  ~CThreadIoCancel();
  CThreadIoCancel(CThreadIoCancel&& other) noexcept;
  CThreadIoCancel& operator=(CThreadIoCancel&& other) noexcept;
  CThreadIoCancel(const CThreadIoCancel&) = delete;
  CThreadIoCancel& operator=(const CThreadIoCancel&) = delete;

  // Of the calling thread. Valid only while that thread runs.
  static CThreadIoCancel OfCurrentThread();

  // Asks the system to end the blocking I/O call that the thread is in now, which then fails
  // as cancelled. False when there was none to end, or the system cannot.
  bool CancelBlockingCall() const;

 private:
  void* thread_ = nullptr;  // the system's handle of the thread, where there is one
};

}  // namespace px
