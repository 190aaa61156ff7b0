// Ending another thread's blocking system call, as the closing window does with a worker whose
// port is still connecting: here a synchronous read of a pipe that nobody writes.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "base/thread_io.h"
#include "wait_until.h"

namespace px {
namespace {

TEST(ThreadIoCancel, EndsTheCallThatTheThreadIsBlockedIn) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  CThreadIoCancel cancel;
  std::atomic<bool> ready{false};
  std::atomic<bool> read{true};
  std::atomic<DWORD> error{0};
  std::thread reader([&] {
    cancel = CThreadIoCancel::OfCurrentThread();
    ready = true;
    char byte = 0;
    DWORD count = 0;
    read = ReadFile(readEnd, &byte, 1, &count, nullptr) != FALSE;
    error = GetLastError();
  });
  ASSERT_TRUE(test::WaitUntil([&] { return ready.load(); }, "the reader to start"));
  // Until the reader is inside ReadFile there is nothing to cancel.
  const bool cancelled =
      test::WaitUntil([&] { return cancel.CancelBlockingCall(); }, "the read to be cancelled");
  if (!cancelled) {
    WriteFile(writeEnd, "x", 1, nullptr, nullptr);  // so that the reader can be joined
  }
  reader.join();
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(read.load());
  EXPECT_EQ(error.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  CloseHandle(readEnd);
  CloseHandle(writeEnd);
}

TEST(ThreadIoCancel, AThreadThatIsNotBlockedHasNothingToCancel) {
  EXPECT_FALSE(CThreadIoCancel::OfCurrentThread().CancelBlockingCall());
  EXPECT_FALSE(CThreadIoCancel().CancelBlockingCall());
}

}  // namespace
}  // namespace px
