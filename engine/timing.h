#pragma once
#include <array>
#include <cstdint>

namespace px {

// The line's speed: the port is always opened at this rate.
inline constexpr uint32_t kBaudRate = 115200;

// Every time of the update, in milliseconds. The programs use the defaults; tests scale them.
struct EngineTiming {
  uint32_t replyWaitMs = 5000;
  uint32_t updateStartPauseMs = 500;
  uint32_t resendPauseMs = 100;
  uint32_t semaphorePauseMs = 50;
  // The erase waits size / eraseBytesPerMs + eraseExtraMs for its answer.
  uint32_t eraseBytesPerMs = 33;
  uint32_t eraseExtraMs = 1000;
  // Before the file transfer and the flash transfer are trusted, the engine listens for as long
  // as the last request's own answer could still take had the answers been one ahead: as long as
  // requests of its size took to be answered in this run, plus this margin for the scheduler and
  // the radio link's jitter.
  uint32_t lastAnswerMarginMs = 30;
  // The waits for answers still owed to a resent request's earlier copies are sized the same way
  // (the time a request of its size took, plus the margin), and one answer held back by a stall
  // does not size them; false only where a benchmark measures what the old whole reply wait for
  // each of them cost.
  bool answerWaitsFromLine = true;
};

// The times that a test's time scale shrinks or stretches together (the erase rate goes the other
// way). The margin is not among them: it allows for the scheduler and the radio, whose jitter does
// not shrink with a faster run, so only a run stretched for a slower machine stretches it too.
inline std::array<uint32_t*, 5> ScaledTimes(EngineTiming& t) {
  return {&t.replyWaitMs, &t.updateStartPauseMs, &t.resendPauseMs, &t.semaphorePauseMs,
          &t.eraseExtraMs};
}

// How long the erase of `size` bytes waits for its answer.
constexpr uint32_t EraseWaitMs(const EngineTiming& t, uint32_t size) {
  return size / t.eraseBytesPerMs + t.eraseExtraMs;
}

}  // namespace px
