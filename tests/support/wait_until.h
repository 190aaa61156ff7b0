#pragma once
// Waiting for events in tests: a condition is polled until it holds or its deadline passes.
// The deadline is only there to turn a hang into a failure that says what never happened; no
// test passes or fails by how fast the machine is.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace px::test {

// Generous enough for a loaded 2-core machine running sanitizer builds.
inline constexpr std::chrono::milliseconds kEventDeadline{30000};

// Polls predicate (every millisecond at first, then less often) until it returns true or
// deadline has passed. The failure names what was waited for:
//   ASSERT_TRUE(WaitUntil([&] { return dev.Count("FileDelete") > 0; }, kEventDeadline,
//                         "the worker to send FileDelete"));
template <class Predicate>
::testing::AssertionResult WaitUntil(Predicate&& predicate, std::chrono::milliseconds deadline,
                                     const std::string& what) {
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + deadline;
  std::chrono::microseconds pause{500};
  for (;;) {
    if (predicate()) return ::testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() >= until) {
      return ::testing::AssertionFailure()
             << "gave up after " << deadline.count() << " ms waiting for " << what;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
  }
}

template <class Predicate>
::testing::AssertionResult WaitUntil(Predicate&& predicate, const std::string& what) {
  return WaitUntil(std::forward<Predicate>(predicate), kEventDeadline, what);
}

}  // namespace px::test
